"""Seeds the topology a test run needs and describes it as the tool's test configuration."""
import json

from . import partition
from .rawaws import RawAws, tag_spec

SANDBOX_KEY = "quenfold-sandbox-key"
BUCKET = "quenfold-sandbox-results"
WORKFLOW_ROLE = "quenfold-workflow-role"
DEPLOY_ROLE = "quenfold-deploy-role"
SECRET_PREFIX = "/quenfold/workflow/secrets/"


MAX_PAIRS = 1000
CROSS_ZONE_NAME = "spoke-cross-zone"


def subnet_plan(i, pairs):
    """(gateway CIDR, gateway address, private CIDR) of pair i (from 1) in the VPC 10.0.0.0/16.

    Up to 100 pairs use /24s (gateway 10.0.i.0, private 10.0.(100+i).0); up to 500 use /26s and
    up to 1,000 /27s, the gateway subnets in 10.0.0.0/17 and the private ones in 10.0.128.0/17."""
    if not 1 <= i <= pairs <= MAX_PAIRS:
        raise ValueError(f"pairs must be 1..{MAX_PAIRS}, got {pairs}")
    if pairs <= 100:
        return f"10.0.{i}.0/24", f"10.0.{i}.10", f"10.0.{100 + i}.0/24"
    size = 64 if pairs <= 500 else 32
    prefix = 26 if size == 64 else 27
    third, fourth = divmod((i - 1) * size, 256)
    return (f"10.0.{third}.{fourth}/{prefix}", f"10.0.{third}.{fourth + 10}",
            f"10.0.{128 + third}.{fourth}/{prefix}")


def cross_zone_plan(pairs):
    """(gateway CIDR, gateway address, private CIDR) of the extra pair whose private subnet lies
    in another zone: room the numbered pairs never use."""
    if pairs <= 100:
        return "10.0.250.0/24", "10.0.250.10", "10.0.251.0/24"
    return "10.0.127.224/27", "10.0.127.234", "10.0.255.224/27"


def seed(moto, account, region, key, pairs=3, map_public_ip=False, bucket_region=None, igw=True,
         unrouted_pairs=()):
    """Creates the VPC, subnets, gateways, bucket, key secret and roles; returns the facts.

    map_public_ip: gateway subnets give instances public addresses (MapPublicIpOnLaunch), as a
    default VPC's subnets do. bucket_region: the results bucket's region (default: region).
    igw false: the VPC has no internet gateway (the gateway subnets' route table only its local
    route). unrouted_pairs: numbers of pairs whose gateway subnet gets a route table of its own
    without the route to the internet gateway."""
    if not all(1 <= i <= pairs for i in unrouted_pairs):
        raise ValueError(f"unrouted pairs must be numbers of pairs 1..{pairs}, got {list(unrouted_pairs)}")
    aws = RawAws(moto, region, key)

    def ec2(action, **params):
        return aws.query("ec2", action, params)

    vpc = ec2("CreateVpc", CidrBlock="10.0.0.0/16", **tag_spec("vpc", "quenfold-sandbox-vpc")).findtext("vpc/vpcId")
    ec2("ModifyVpcAttribute", VpcId=vpc, **{"EnableDnsHostnames.Value": "true"})
    public_rt = ec2("CreateRouteTable", VpcId=vpc, **tag_spec("route-table", "quenfold-sandbox-public-rt")).findtext(
        "routeTable/routeTableId")
    gateway_id = None
    if igw:
        gateway_id = ec2("CreateInternetGateway", **tag_spec("internet-gateway", "quenfold-sandbox-igw")).findtext(
            "internetGateway/internetGatewayId")
        ec2("AttachInternetGateway", InternetGatewayId=gateway_id, VpcId=vpc)
        ec2("CreateRoute", RouteTableId=public_rt, DestinationCidrBlock="0.0.0.0/0", GatewayId=gateway_id)
    unrouted_rt = None
    if unrouted_pairs:
        unrouted_rt = ec2("CreateRouteTable", VpcId=vpc, **tag_spec("route-table", "quenfold-sandbox-unrouted-rt")
                          ).findtext("routeTable/routeTableId")
    zones = [z.findtext("zoneName") for z in ec2("DescribeAvailabilityZones").find("availabilityZoneInfo")]
    # Pairs go only into zones that offer the default instance type, as a real topology's test
    # subnets do (AWS offers t3 in all of us-east-1's zones but us-east-1e). Where moto lists no
    # offering at all for the region, every zone is used.
    offers = ec2("DescribeInstanceTypeOfferings", LocationType="availability-zone",
                 **{"Filter.1.Name": "instance-type", "Filter.1.Value.1": "t3.micro"})
    offered = {o.findtext("location") for o in offers.iter() if o.tag.endswith("item") and o.findtext("location")}
    if offered:
        zones = [z for z in zones if z in offered] or zones

    from moto.ec2.models import ec2_backends
    backend = ec2_backends[account][region]

    def pair(name, plan, gw_zone, private_zone):
        # Straight into moto's backend: a thousand pairs through its HTTP front would take minutes.
        gw_cidr, gw_ip, private_cidr = plan
        gw_subnet = backend.create_subnet(vpc_id=vpc, cidr_block=gw_cidr, availability_zone=gw_zone,
                                          tags={"subnet": {"Name": f"quenfold-sandbox-gw-{name}"}})
        backend.associate_route_table(unrouted_rt if name in unrouted_pairs else public_rt, subnet_id=gw_subnet.id)
        if map_public_ip:
            backend.modify_subnet_attribute(gw_subnet.id, "map_public_ip_on_launch", True)
        private_subnet = backend.create_subnet(vpc_id=vpc, cidr_block=private_cidr, availability_zone=private_zone,
                                               tags={"subnet": {"Name": f"quenfold-sandbox-private-{name}"}})
        gateway = backend.create_network_interface(gw_subnet, gw_ip, description="spoke gateway",
                                                   tags={"Name": f"quenfold-sandbox-spoke{name}-gw"})
        return {"gw_name": f"spoke{name}", "gw_subnet_id": gw_subnet.id, "private_subnet_id": private_subnet.id,
                "gw_private_ip": gw_ip, "nat_gw_id": gateway.id, "private_subnet_cidr": private_cidr}

    entries = []
    with moto.lock:
        # CreateSubnet checks the new CIDR against every subnet of the VPC, and AssociateRouteTable
        # looks for an existing association, each through moto's generic filter: quadratic, and
        # minutes for a thousand pairs. The plan's subnets never overlap and new subnets have no
        # association yet, so both lookups answer "none" while seeding.
        backend.describe_subnets = lambda subnet_ids=None, filters=None: []
        backend.describe_route_tables = lambda route_table_ids=None, filters=None: []
        try:
            for i in range(1, pairs + 1):
                zone = zones[(i - 1) % len(zones)]
                entries.append(pair(i, subnet_plan(i, pairs), zone, zone))
            cross = pair("-cross-zone", cross_zone_plan(pairs), zones[0], zones[1])
        finally:
            del backend.describe_subnets, backend.describe_route_tables
    aws.s3_create_bucket(BUCKET, bucket_region or region)
    material = ec2("CreateKeyPair", KeyName=SANDBOX_KEY, KeyType="rsa", KeyFormat="pem").findtext("keyMaterial")
    aws.ssm("PutParameter", {"Name": SECRET_PREFIX + SANDBOX_KEY, "Value": material, "Type": "SecureString",
                             "Description": "private key of the sandbox's existing key pair"})
    trust = json.dumps({"Version": "2012-10-17", "Statement": [
        {"Effect": "Allow", "Principal": {"AWS": f"arn:{partition.of(region)}:iam::{account}:root"},
         "Action": "sts:AssumeRole"}]})
    roles = {}
    for name in (WORKFLOW_ROLE, DEPLOY_ROLE):
        roles[name] = aws.query("iam", "CreateRole", {"RoleName": name, "AssumeRolePolicyDocument": trust}).findtext(
            "CreateRoleResult/Role/Arn")
    unrouted = [e["gw_subnet_id"] for i, e in enumerate(entries, start=1) if i in unrouted_pairs]
    return {"vpc_id": vpc, "internet_gateway_id": gateway_id, "public_route_table_id": public_rt,
            "unrouted_gw_subnets": unrouted, "zones": zones[:pairs], "entries": entries,
            "cross_zone_entry": cross, "cross_zone_zones": [zones[0], zones[1]],
            "map_public_ip": bool(map_public_ip), "partition": partition.of(region),
            "bucket": BUCKET, "bucket_region": bucket_region or region,
            "key_name": SANDBOX_KEY, "key_parameter": SECRET_PREFIX + SANDBOX_KEY,
            "workflow_role": WORKFLOW_ROLE, "workflow_role_arn": roles[WORKFLOW_ROLE],
            "deploy_role": DEPLOY_ROLE, "deploy_role_arn": roles[DEPLOY_ROLE]}


def skip_entry(facts):
    """An extra entry without a private test subnet, for the tool's skip path."""
    first = facts["entries"][0]
    return {"gw_name": "spoke-no-test", "gw_subnet_id": first["gw_subnet_id"], "private_subnet_id": "",
            "gw_private_ip": "10.0.1.11", "nat_gw_id": "quenfold-sandbox-unpaired-gw", "private_subnet_cidr": ""}
