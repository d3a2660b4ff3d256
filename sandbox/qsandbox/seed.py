"""Seeds the topology a test run needs and describes it as the tool's test configuration.

Everything goes through the reference SDK against moto's own port, so the seeded resources
are exactly what an AWS account set up by hand would show."""
import json

SANDBOX_KEY = "quenfold-sandbox-key"
BUCKET = "quenfold-sandbox-results"
WORKFLOW_ROLE = "quenfold-workflow-role"
DEPLOY_ROLE = "quenfold-deploy-role"
SECRET_PREFIX = "/quenfold/workflow/secrets/"


def _tags(name):
    return [{"Key": "Name", "Value": name}]


def seed(clients, account, pairs=3):
    """Creates the VPC, subnets, gateways, bucket, key secret and roles; returns the facts."""
    ec2, s3, ssm, iam = clients["ec2"], clients["s3"], clients["ssm"], clients["iam"]
    vpc = ec2.create_vpc(CidrBlock="10.0.0.0/16", TagSpecifications=[
        {"ResourceType": "vpc", "Tags": _tags("quenfold-sandbox-vpc")}])["Vpc"]["VpcId"]
    ec2.modify_vpc_attribute(VpcId=vpc, EnableDnsHostnames={"Value": True})
    igw = ec2.create_internet_gateway(TagSpecifications=[
        {"ResourceType": "internet-gateway", "Tags": _tags("quenfold-sandbox-igw")}])["InternetGateway"]["InternetGatewayId"]
    ec2.attach_internet_gateway(InternetGatewayId=igw, VpcId=vpc)
    public_rt = ec2.create_route_table(VpcId=vpc)["RouteTable"]["RouteTableId"]
    ec2.create_route(RouteTableId=public_rt, DestinationCidrBlock="0.0.0.0/0", GatewayId=igw)
    zones = [z["ZoneName"] for z in ec2.describe_availability_zones()["AvailabilityZones"]]
    entries = []
    for i in range(1, pairs + 1):
        zone = zones[(i - 1) % len(zones)]
        gw_subnet = ec2.create_subnet(VpcId=vpc, CidrBlock=f"10.0.{i}.0/24", AvailabilityZone=zone,
                                      TagSpecifications=[{"ResourceType": "subnet",
                                                          "Tags": _tags(f"quenfold-sandbox-gw-{i}")}])["Subnet"]["SubnetId"]
        ec2.associate_route_table(RouteTableId=public_rt, SubnetId=gw_subnet)
        private_cidr = f"10.0.{100 + i}.0/24"
        private_subnet = ec2.create_subnet(VpcId=vpc, CidrBlock=private_cidr, AvailabilityZone=zone,
                                           TagSpecifications=[{"ResourceType": "subnet",
                                                               "Tags": _tags(f"quenfold-sandbox-private-{i}")}])["Subnet"]["SubnetId"]
        gw_ip = f"10.0.{i}.10"
        gateway = ec2.create_network_interface(
            SubnetId=gw_subnet, PrivateIpAddress=gw_ip, Description="spoke gateway",
            TagSpecifications=[{"ResourceType": "network-interface",
                                "Tags": _tags(f"quenfold-sandbox-spoke{i}-gw")}])["NetworkInterface"]["NetworkInterfaceId"]
        entries.append({"gw_name": f"spoke{i}", "gw_subnet_id": gw_subnet, "private_subnet_id": private_subnet,
                        "gw_private_ip": gw_ip, "nat_gw_id": gateway, "private_subnet_cidr": private_cidr})
    s3.create_bucket(Bucket=BUCKET)
    key = ec2.create_key_pair(KeyName=SANDBOX_KEY, KeyType="rsa", KeyFormat="pem")
    ssm.put_parameter(Name=SECRET_PREFIX + SANDBOX_KEY, Value=key["KeyMaterial"], Type="SecureString",
                      Description="private key of the sandbox's existing key pair")
    trust = json.dumps({"Version": "2012-10-17", "Statement": [
        {"Effect": "Allow", "Principal": {"AWS": f"arn:aws:iam::{account}:root"}, "Action": "sts:AssumeRole"}]})
    roles = {}
    for name in (WORKFLOW_ROLE, DEPLOY_ROLE):
        roles[name] = iam.create_role(RoleName=name, AssumeRolePolicyDocument=trust)["Role"]["Arn"]
    return {"vpc_id": vpc, "internet_gateway_id": igw, "zones": zones[:pairs], "entries": entries,
            "bucket": BUCKET, "key_name": SANDBOX_KEY, "key_parameter": SECRET_PREFIX + SANDBOX_KEY,
            "workflow_role": WORKFLOW_ROLE, "workflow_role_arn": roles[WORKFLOW_ROLE],
            "deploy_role": DEPLOY_ROLE, "deploy_role_arn": roles[DEPLOY_ROLE]}


def skip_entry(facts):
    """An extra entry without a private test subnet, for the tool's skip path."""
    first = facts["entries"][0]
    return {"gw_name": "spoke-no-test", "gw_subnet_id": first["gw_subnet_id"], "private_subnet_id": "",
            "gw_private_ip": "10.0.1.11", "nat_gw_id": "quenfold-sandbox-unpaired-gw", "private_subnet_cidr": ""}
