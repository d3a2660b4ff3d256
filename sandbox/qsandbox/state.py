"""A JSON summary of the resources in the sandbox, for tests to assert on after a tool run.

Read through moto's own port (no faults, no call counting), in AWS's own words, trimmed to
what a test of the tool looks at."""
import json


def _tags(item):
    return {t["Key"]: t["Value"] for t in item.get("Tags") or item.get("TagSet") or []}


def summary(clients, vpc_id):
    ec2, iam, s3, ssm = clients["ec2"], clients["iam"], clients["s3"], clients["ssm"]
    instances = []
    for res in ec2.describe_instances()["Reservations"]:
        for inst in res["Instances"]:
            instances.append({
                "id": inst["InstanceId"], "state": inst["State"]["Name"], "tags": _tags(inst),
                "subnet_id": inst.get("SubnetId"), "vpc_id": inst.get("VpcId"),
                "image_id": inst.get("ImageId"), "instance_type": inst.get("InstanceType"),
                "key_name": inst.get("KeyName"), "public_ip": inst.get("PublicIpAddress"),
                "private_ip": inst.get("PrivateIpAddress"),
                "iam_instance_profile": (inst.get("IamInstanceProfile") or {}).get("Arn"),
                "security_groups": [g["GroupId"] for g in inst.get("SecurityGroups", [])],
                "network_interfaces": [{
                    "id": n["NetworkInterfaceId"], "subnet_id": n.get("SubnetId"),
                    "device_index": (n.get("Attachment") or {}).get("DeviceIndex"),
                    "delete_on_termination": (n.get("Attachment") or {}).get("DeleteOnTermination"),
                    "private_ip": n.get("PrivateIpAddress")} for n in inst.get("NetworkInterfaces", [])],
            })
    interfaces = [{
        "id": n["NetworkInterfaceId"], "status": n["Status"], "subnet_id": n["SubnetId"], "vpc_id": n["VpcId"],
        "description": n.get("Description"), "tags": _tags(n), "private_ip": n.get("PrivateIpAddress"),
        "groups": [g["GroupId"] for g in n.get("Groups", [])],
        "attachment": {k: n["Attachment"].get(k) for k in ("InstanceId", "DeviceIndex", "DeleteOnTermination")}
        if n.get("Attachment") else None,
        "public_ip": (n.get("Association") or {}).get("PublicIp"),
    } for n in ec2.describe_network_interfaces()["NetworkInterfaces"]]
    groups = [{
        "id": g["GroupId"], "name": g["GroupName"], "vpc_id": g.get("VpcId"), "description": g.get("Description"),
        "tags": _tags(g), "ingress": g.get("IpPermissions", []),
    } for g in ec2.describe_security_groups()["SecurityGroups"] if g["GroupName"] != "default"]
    key_pairs = [{"name": k["KeyName"], "id": k.get("KeyPairId"), "type": k.get("KeyType"), "tags": _tags(k)}
                 for k in ec2.describe_key_pairs()["KeyPairs"]]
    addresses = [{k: a.get(k) or None for k in ("AllocationId", "PublicIp", "InstanceId", "NetworkInterfaceId",
                                                "AssociationId")} | {"tags": _tags(a)}
                 for a in ec2.describe_addresses()["Addresses"]]
    policies = []
    for p in iam.list_policies(Scope="Local")["Policies"]:
        version = iam.get_policy_version(PolicyArn=p["Arn"], VersionId=p["DefaultVersionId"])["PolicyVersion"]
        document = version["Document"]
        policies.append({"name": p["PolicyName"], "arn": p["Arn"], "attachment_count": p.get("AttachmentCount"),
                         "description": iam.get_policy(PolicyArn=p["Arn"])["Policy"].get("Description"),
                         "tags": _tags(iam.get_policy(PolicyArn=p["Arn"])["Policy"]),
                         "document": document if isinstance(document, dict) else json.loads(document)})
    roles = []
    for r in iam.list_roles()["Roles"]:
        attached = iam.list_attached_role_policies(RoleName=r["RoleName"])["AttachedPolicies"]
        roles.append({"name": r["RoleName"], "arn": r["Arn"], "description": r.get("Description"),
                      "trust": r.get("AssumeRolePolicyDocument"),
                      "attached_policies": [a["PolicyArn"] for a in attached]})
    profiles = [{"name": p["InstanceProfileName"], "arn": p["Arn"], "tags": _tags(p),
                 "roles": [r["RoleName"] for r in p.get("Roles", [])]}
                for p in iam.list_instance_profiles()["InstanceProfiles"]]
    buckets = {}
    for b in s3.list_buckets()["Buckets"]:
        objects = s3.list_objects_v2(Bucket=b["Name"]).get("Contents", [])
        buckets[b["Name"]] = [{"key": o["Key"], "size": o["Size"]} for o in objects]
    parameters = [p["Name"] for p in ssm.describe_parameters()["Parameters"]]
    return {"vpc_id": vpc_id, "instances": instances, "network_interfaces": interfaces,
            "security_groups": groups, "key_pairs": key_pairs, "addresses": addresses,
            "iam": {"policies": policies, "roles": roles, "instance_profiles": profiles},
            "s3": buckets, "ssm_parameters": parameters}
