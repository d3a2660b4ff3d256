"""The walls a real account puts in front of a launch, played from the knobs: the On-Demand
Standard vCPU quota (and Service Quotas' answer about it), instance types a zone does not offer,
subnets running out of addresses, zones out of capacity, a region still being verified, and VPC
Block Public Access as DescribeSubnets and DescribeVpcBlockPublicAccessOptions report it.

The checks on state (vCPUs in use, a subnet's free addresses, a subnet's zone) run inside moto's
call, under its lock, so that two launches at once cannot both take the last vCPU."""
import datetime
import functools
import json
import re

from . import launches, protocol

_knobs = {"config": None}
_free_base = {"setting": None, "taken": {}}  # subnet_free_addresses: addresses taken when the count started
_capacity = launches.Picker("insufficient_capacity")

VCPU_QUOTA_CODE = "L-1216C47A"
VCPU_QUOTA_NAME = "Running On-Demand Standard (A, C, D, H, I, M, R, T, Z) instances"
AWS_DEFAULT_VCPU_QUOTA = 5.0
# Families whose letter is a standard one but which AWS counts in buckets of their own.
_OWN_BUCKETS = {"dl", "hpc", "inf", "mac", "trn"}
BPA_MODES = ("off", "block-bidirectional", "block-ingress")
PENDING_VERIFICATION = (
    "Your request for accessing resources in this region is being validated, and you will not be able to launch "
    "additional resources in this region until the validation is complete. We will notify you by email once your "
    "request has been validated. While normally resolved within minutes, please allow up to 4 hours for this "
    "process to complete. If the issue still persists, please let us know by writing to aws-verification@amazon.com "
    "for further assistance.")


def _cfg(key, default=None):
    config = _knobs["config"]
    return config.get(key) if config is not None else default


# ---- knobs -----------------------------------------------------------------------------------------
def _json(value):
    return json.loads(value) if isinstance(value, str) else value


def parse_zones(value):
    """unoffered_zones: {"t3.micro": ["us-east-1b"], ...}."""
    value = _json(value) or {}
    if not isinstance(value, dict) or not all(isinstance(k, str) and isinstance(v, list) and
                                              all(isinstance(z, str) for z in v) for k, v in value.items()):
        raise ValueError('unoffered_zones must be {"instance type": ["zone", ...]}')
    return {k: list(v) for k, v in value.items()}


def parse_free_addresses(value):
    """subnet_free_addresses: {"subnet-…": N}."""
    value = _json(value) or {}
    if not isinstance(value, dict) or not all(
            isinstance(k, str) and isinstance(v, int) and not isinstance(v, bool) and v >= 0 for k, v in value.items()):
        raise ValueError('subnet_free_addresses must be {"subnet-…": N} with integers N >= 0')
    return dict(value)


def parse_bpa_mode(value):
    if value not in BPA_MODES:
        raise ValueError(f"block_public_access must be one of {', '.join(BPA_MODES)}")
    return value


def parse_exclusions(value):
    value = _json(value) or []
    if not isinstance(value, list) or not all(isinstance(v, str) and v.startswith(("subnet-", "vpc-"))
                                              for v in value):
        raise ValueError('block_public_access_exclusions must be a list of "subnet-…" or "vpc-…" ids')
    return list(value)


# ---- vCPUs -----------------------------------------------------------------------------------------
@functools.lru_cache(maxsize=None)
def standard_family(instance_type):
    """Whether the type counts against the On-Demand Standard quota (families A, C, D, H, I, M, R,
    T, Z, but not DL, HPC, Inf, Mac or Trn, which have buckets of their own)."""
    family = re.match(r"[a-z]*", (instance_type or "").lower()).group(0)
    return bool(family) and family[0] in "acdhimrtz" and family not in _OWN_BUCKETS


@functools.lru_cache(maxsize=None)
def vcpus(instance_type):
    from moto.ec2.models.instance_types import INSTANCE_TYPES
    return int(((INSTANCE_TYPES.get(instance_type) or {}).get("VCpuInfo") or {}).get("DefaultVCpus", 1))


def _vcpus_in_use(backend):
    used = 0
    for reservation in backend.reservations.values():
        for instance in reservation.instances:
            if instance._state.name in ("pending", "running") and standard_family(instance.instance_type):
                used += vcpus(instance.instance_type)
    return used


def _number(value):
    return f"{value:g}" if isinstance(value, float) else str(value)


# ---- zones -----------------------------------------------------------------------------------------
def offered_zones(backend, instance_type):
    """Zones of the backend's region offering the type, less those unoffered_zones takes away."""
    from moto.ec2.models.instance_types import INSTANCE_TYPE_OFFERINGS
    gone = set((_cfg("unoffered_zones") or {}).get(instance_type, []))
    offers = INSTANCE_TYPE_OFFERINGS["availability-zone"].get(backend.region_name, [])
    return sorted(o["Location"] for o in offers if o["InstanceType"] == instance_type and o["Location"] not in gone)


def _launch_zone(backend, kwargs):
    """The zone a RunInstances call asks for (its subnet's, or Placement), or None."""
    subnet_id = kwargs.get("subnet_id")
    for nic in kwargs.get("nics") or []:
        if int(nic.get("DeviceIndex", 0)) == 0:
            if nic.get("NetworkInterfaceId"):
                return backend.get_network_interface(nic["NetworkInterfaceId"]).subnet.availability_zone
            subnet_id = subnet_id or nic.get("SubnetId")
    if subnet_id:
        return backend.get_subnet(subnet_id).availability_zone
    return kwargs.get("placement")


def _subnets_taken_from(kwargs, count):
    """{subnet id: addresses} a launch takes: one per new interface per instance."""
    taken = {}
    if kwargs.get("subnet_id"):
        taken[kwargs["subnet_id"]] = count
    for nic in kwargs.get("nics") or []:
        if nic.get("SubnetId") and not nic.get("NetworkInterfaceId"):
            taken[nic["SubnetId"]] = taken.get(nic["SubnetId"], 0) + count
    return taken


def _free_addresses(subnet):
    """The subnet's AvailableIpAddressCount under subnet_free_addresses, or None if not limited."""
    limits = _cfg("subnet_free_addresses") or {}
    if subnet.id not in limits:
        return None
    if limits is not _free_base["setting"]:  # a new setting: count from what is taken now
        _free_base["setting"], _free_base["taken"] = limits, {}
    taken = subnet._available_ip_addresses - subnet.sandbox_moto_free
    base = _free_base["taken"].setdefault(subnet.id, taken)
    return max(0, limits[subnet.id] - (taken - base))


# ---- moto patches -----------------------------------------------------------------------------------
def install(config):
    _knobs["config"] = config
    if getattr(install, "done", False):
        return
    install.done = True
    server_side_errors()
    launch_walls()
    interface_needs_an_address()
    subnet_reports()
    offerings_without_unoffered_zones()


def forget():
    _free_base["setting"], _free_base["taken"] = None, {}


def server_side_errors():
    """An exception with `sandbox_status` is answered with that HTTP status; moto answers every EC2
    error it has no model for with 400."""
    import moto.core.serialize as serialize
    from moto.core.errors import ErrorShape

    original = serialize.get_error_model

    def get_error_model(exception, service_model):
        shape = original(exception, service_model)
        status = getattr(exception, "sandbox_status", None)
        if status is None:
            return shape
        return ErrorShape(shape_name=shape.name, shape_model={
            "exception": True, "type": "structure", "members": {},
            "error": {"code": exception.code, "httpStatusCode": status, "senderFault": status < 500}})

    serialize.get_error_model = get_error_model


def launch_walls():
    """RunInstances is refused, before anything is made, when the type is not offered in the
    zone (Unsupported), when it would take the running standard instances past the vCPU quota
    (VcpuLimitExceeded), when a limited subnet lacks the addresses (InsufficientFreeAddressesInSubnet),
    or when insufficient_capacity picks it (500 InsufficientInstanceCapacity)."""
    from moto.ec2.exceptions import EC2ClientError
    from moto.ec2.models.instances import InstanceBackend

    class NoCapacity(EC2ClientError):
        sandbox_status = 500

    original = InstanceBackend.run_instances

    def run_instances(self, image_id, count, user_data, security_group_names, **kwargs):
        if _knobs["config"] is not None:
            instance_type = kwargs.get("instance_type") or "m1.small"
            zone = _launch_zone(self, kwargs)
            unoffered = (_cfg("unoffered_zones") or {}).get(instance_type, [])
            if zone and zone in unoffered:
                others = ", ".join(offered_zones(self, instance_type))
                raise EC2ClientError("Unsupported",
                                     f"Your requested instance type ({instance_type}) is not supported in your "
                                     f"requested Availability Zone ({zone}). Please retry your request by not "
                                     f"specifying an Availability Zone or choosing {others}.")
            if standard_family(instance_type):
                quota = _cfg("vcpu_quota")
                if _vcpus_in_use(self) + count * vcpus(instance_type) > quota:
                    raise EC2ClientError(
                        "VcpuLimitExceeded",
                        f"You have requested more vCPU capacity than your current vCPU limit of {_number(quota)} "
                        "allows for the instance bucket that the specified instance type belongs to. Please visit "
                        "http://aws.amazon.com/contact-us/ec2-request to request an adjustment to this limit.")
            for subnet_id, need in _subnets_taken_from(kwargs, count).items():
                free = _free_addresses(self.get_subnet(subnet_id))
                if free is not None and free < need:
                    raise EC2ClientError("InsufficientFreeAddressesInSubnet",
                                         f"There are not enough free addresses in subnet '{subnet_id}' to satisfy "
                                         "the requested number of instances.")
            short = _cfg("insufficient_capacity")
            if short and zone in short["zones"] and _capacity.pick(short, int(_cfg("seed"))):
                others = ", ".join(z for z in offered_zones(self, instance_type) if z not in short["zones"])
                raise NoCapacity("InsufficientInstanceCapacity",
                                 f"We currently do not have sufficient {instance_type} capacity in the Availability "
                                 f"Zone you requested ({zone}). Our system will be working on provisioning "
                                 f"additional capacity. You can currently get {instance_type} capacity by not "
                                 f"specifying an Availability Zone in your request or choosing {others}.")
        return original(self, image_id, count, user_data, security_group_names, **kwargs)

    InstanceBackend.run_instances = run_instances


def interface_needs_an_address():
    """CreateNetworkInterface in a limited subnet without a free address is refused."""
    from moto.ec2.exceptions import EC2ClientError
    from moto.ec2.models.elastic_network_interfaces import NetworkInterfaceBackend

    original = NetworkInterfaceBackend.create_network_interface

    def create_network_interface(self, subnet, *args, **kwargs):
        free = _free_addresses(subnet) if _knobs["config"] is not None else None
        if free is not None and free < 1:
            raise EC2ClientError("InsufficientFreeAddressesInSubnet",
                                 "The specified subnet does not have enough free addresses to satisfy the request.")
        return original(self, subnet, *args, **kwargs)

    NetworkInterfaceBackend.create_network_interface = create_network_interface


def subnet_reports():
    """DescribeSubnets: AvailableIpAddressCount as subnet_free_addresses plays it, and each subnet's
    (and VPC's) BlockPublicAccessStates."""
    from moto.ec2.models.subnets import Subnet
    from moto.ec2.models.vpcs import VPC

    moto_count = Subnet.available_ip_address_count
    Subnet.sandbox_moto_free = moto_count

    def available(self):
        free = _free_addresses(self) if _knobs["config"] is not None else None
        return moto_count.fget(self) if free is None else free

    Subnet.available_ip_address_count = property(available)

    def states(*ids):
        excluded = set(_cfg("block_public_access_exclusions") or []) & set(ids)
        mode = _cfg("block_public_access", "off")
        return {"InternetGatewayBlockMode": "off" if excluded else mode}

    Subnet.block_public_access_states = property(lambda self: states(self.id, self.vpc_id))
    VPC.block_public_access_states = property(lambda self: states(self.id))


def offerings_without_unoffered_zones():
    """DescribeInstanceTypeOfferings by zone (name or id) leaves out what unoffered_zones removes."""
    from moto.ec2.models.instance_types import InstanceTypeOfferingBackend

    original = InstanceTypeOfferingBackend.describe_instance_type_offerings

    def describe_instance_type_offerings(self, location_type=None, filters=None):
        offers = original(self, location_type, filters)
        gone = _cfg("unoffered_zones") or {}
        if not gone or location_type not in ("availability-zone", "availability-zone-id"):
            return offers
        names = {z.zone_id: z.name for z in self.describe_availability_zones()}
        return [o for o in offers
                if names.get(o["Location"], o["Location"]) not in gone.get(o["InstanceType"], [])]

    InstanceTypeOfferingBackend.describe_instance_type_offerings = describe_instance_type_offerings


# ---- answers the proxy gives itself -----------------------------------------------------------------
def service_quota_answer(op, body, region, account, partition):
    """Service Quotas GetServiceQuota and GetAWSDefaultServiceQuota for the EC2 Standard vCPU quota."""
    try:
        request = json.loads(body or b"{}")
    except ValueError:
        request = {}
    if request.get("ServiceCode") != "ec2":
        return protocol.error_response("servicequotas", 400, "NoSuchResourceException",
                                       "The request failed because the specified service does not exist.")
    applied = op == "GetServiceQuota"
    if request.get("QuotaCode") != VCPU_QUOTA_CODE or (applied and not _cfg("vcpu_quota_applied", True)):
        # AWS has no applied value for a quota nobody changed, and says nothing more.
        return protocol.error_response("servicequotas", 400, "NoSuchResourceException", "")
    quota = {
        "ServiceCode": "ec2", "ServiceName": "Amazon Elastic Compute Cloud (Amazon EC2)",
        "QuotaArn": f"arn:{partition}:servicequotas:{region}:{account if applied else ''}:ec2/{VCPU_QUOTA_CODE}",
        "QuotaCode": VCPU_QUOTA_CODE, "QuotaName": VCPU_QUOTA_NAME,
        "Value": float(_cfg("vcpu_quota")) if applied else AWS_DEFAULT_VCPU_QUOTA,
        "Unit": "None", "Adjustable": True, "GlobalQuota": False,
        "UsageMetric": {"MetricNamespace": "AWS/Usage", "MetricName": "ResourceCount",
                        "MetricDimensions": {"Class": "Standard/OnDemand", "Resource": "vCPU", "Service": "EC2",
                                             "Type": "Resource"},
                        "MetricStatisticRecommendation": "Maximum"},
    }
    if applied:
        quota["QuotaAppliedAtLevel"] = "ACCOUNT"
    return 200, {"Content-Type": "application/x-amz-json-1.1", "x-amzn-RequestId": protocol.request_id()}, \
        json.dumps({"Quota": quota}).encode()


def pending_verification_answer():
    return protocol.error_response("ec2", 400, "PendingVerification", PENDING_VERIFICATION)


def block_public_access_answer(region, account, updated):
    """EC2 DescribeVpcBlockPublicAccessOptions: the account's mode; `default-state` until set."""
    mode = _cfg("block_public_access", "off")
    state = "default-state" if mode == "off" and not _cfg("block_public_access_exclusions") else "update-complete"
    stamp = datetime.datetime.fromtimestamp(updated, datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.000Z")
    body = ('<?xml version="1.0" encoding="UTF-8"?>\n<DescribeVpcBlockPublicAccessOptionsResponse '
            'xmlns="http://ec2.amazonaws.com/doc/2016-11-15/">'
            f"<requestId>{protocol.request_id()}</requestId><vpcBlockPublicAccessOptions>"
            f"<awsAccountId>{account}</awsAccountId><awsRegion>{region}</awsRegion><state>{state}</state>"
            f"<internetGatewayBlockMode>{mode}</internetGatewayBlockMode>"
            f"<lastUpdateTimestamp>{stamp}</lastUpdateTimestamp><managedBy>account</managedBy>"
            "<exclusionsAllowed>allowed</exclusionsAllowed></vpcBlockPublicAccessOptions>"
            "</DescribeVpcBlockPublicAccessOptionsResponse>")
    return 200, {"Content-Type": "text/xml;charset=UTF-8"}, body.encode()
