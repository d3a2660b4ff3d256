"""Adjustments to moto, made once before serving, where moto differs from AWS in a way the
tool depends on. Each function restores one AWS behaviour; sandbox/README.md lists them.

The time-based ones (pending, status checks, stopping, shutting-down, interfaces released
late) read the knobs and the clock given to install(). moto is called one request at a time
(motohost's lock); at the start of each call begin_call() fixes "now" for the whole call and
runs the state changes that have come due, so no answer sees half a transition."""
import copy
import heapq
import itertools
import re
import sys
import traceback
from datetime import datetime, timedelta, timezone

from . import launches

_knobs = {"config": None, "clock": None, "frozen": None}
_due = []                 # heap of (nominal time, sequence, function): state changes to come
_sequence = itertools.count()
_releasing = {}           # interface id -> (group ids, nominal time it lets go of them)
_pickers = {"launch_failure": launches.Picker("launch_failure"), "impaired": launches.Picker("impaired")}


def _cfg(key):
    config = _knobs["config"]
    return config.get(key) if config is not None else 0.0


def _setting(key):
    config = _knobs["config"]
    return config.get(key) if config is not None else None


def _now():
    if _knobs["frozen"] is not None:
        return _knobs["frozen"]
    clock = _knobs["clock"]
    return clock.now() if clock is not None else 0.0


def at(due, fn):
    """Runs fn at the first moto call at or after nominal time `due`."""
    heapq.heappush(_due, (due, next(_sequence), fn))


def begin_call():
    """Fixes the call's "now" and applies every state change due by then (motohost's lock held)."""
    clock = _knobs["clock"]
    now = clock.now() if clock is not None else 0.0
    _knobs["frozen"] = now
    while _due and _due[0][0] <= now:
        _, _, fn = heapq.heappop(_due)
        try:
            fn()
        except Exception:  # one broken transition must not break every later call
            traceback.print_exc(file=sys.stderr)


def end_call():
    _knobs["frozen"] = None


def forget():
    """Drops pending state changes and held groups (moto was reset)."""
    _due.clear()
    _releasing.clear()


def install(config, clock):
    _knobs["config"], _knobs["clock"] = config, clock
    if getattr(install, "done", False):
        return
    install.done = True
    eip_reports_instance_of_interface()
    dependency_violations()
    interfaces_follow_termination()
    filter_errors_like_aws()
    profiles_for_missing_role()
    remove_role_not_in_profile()
    launch_interfaces_get_their_tags()
    distinct_image_dates()
    images_support_imdsv2_only()
    instance_timing()
    start_stop_timing()
    address_quota()
    account_attributes()
    attach_in_same_zone()
    images_in_other_partitions()
    direct_tag_lookup()


def eip_reports_instance_of_interface():
    """DescribeAddresses names the instance of an address associated through its interface."""
    from moto.ec2.models.elastic_ip_addresses import ElasticAddress

    def owner(address):
        if address.instance is not None:
            return address.instance
        return address.eni.instance if address.eni is not None else None

    ElasticAddress.instance_id = property(lambda self: owner(self).id if owner(self) else "")
    original = ElasticAddress.get_filter_value

    def get_filter_value(self, filter_name, method_name=None):
        if filter_name == "instance-id":
            inst = owner(self)
            return inst.id if inst else None
        return original(self, filter_name, method_name)

    ElasticAddress.get_filter_value = get_filter_value


def dependency_violations():
    """A group still used by an interface, and an attached interface, cannot be deleted."""
    from moto.ec2.exceptions import EC2ClientError
    from moto.ec2.models.elastic_network_interfaces import NetworkInterfaceBackend
    from moto.ec2.models.security_groups import SecurityGroupBackend

    original_sg = SecurityGroupBackend.delete_security_group

    def delete_security_group(self, name=None, group_id=None):
        group = self.get_security_group_by_name_or_id(group_id or name) if (group_id or name) else None
        if group is not None:
            held = any(group in set(eni.group_set) for eni in list(getattr(self, "enis", {}).values()))
            now = _now()
            for eni_id, (groups, until) in list(_releasing.items()):
                if until <= now:
                    del _releasing[eni_id]
                elif group.id in groups:
                    held = True
            if held:
                raise EC2ClientError("DependencyViolation", f"resource {group.id} has a dependent object")
        return original_sg(self, name=name, group_id=group_id)

    SecurityGroupBackend.delete_security_group = delete_security_group
    original_eni = NetworkInterfaceBackend.delete_network_interface

    def delete_network_interface(self, eni_id):
        eni = self.enis.get(eni_id)
        if eni is not None and eni.instance is not None:
            raise EC2ClientError("InvalidNetworkInterface.InUse", f"Interface: [{eni_id}] in use.")
        return original_eni(self, eni_id)

    NetworkInterfaceBackend.delete_network_interface = delete_network_interface


def _finish_termination(instance):
    """What AWS does once an instance is terminated: interfaces made at launch are deleted (their
    groups stay held for eni_release_lag_s), the others detached, Elastic IPs disassociated."""
    backend = instance.ec2_backend
    lag, now = _cfg("eni_release_lag_s"), _now()
    for nic in list(instance.nics.values()):
        for address in backend.addresses:
            if address.eni is nic:
                address.eni, address.instance, address.association_id = None, None, None
                nic.public_ip = None
        delete = nic.delete_on_termination
        nic.stop()
        instance.detach_eni(nic)
        if delete:
            backend.enis.pop(nic.id, None)
            for entry in nic.private_ip_addresses:
                nic.subnet.del_subnet_ip(entry["PrivateIpAddress"])
            if lag > 0:
                _releasing[nic.id] = ({g.id for g in nic.group_set}, now + lag)


def interfaces_follow_termination():
    """Interfaces made at launch are deleted with the instance once it is terminated (not while it
    is shutting down; DeleteOnTermination defaults to true there); interfaces attached later are
    detached and left "available"; an Elastic IP on any of them is disassociated."""
    from moto.ec2.models.instances import Instance

    original_prep = Instance.prep_nics

    def prep_nics(self, nic_spec, *args, **kwargs):
        original_prep(self, nic_spec, *args, **kwargs)
        by_index = {int(s.get("DeviceIndex", 0)): s for s in (nic_spec or [])}
        for index, nic in self.nics.items():
            spec = by_index.get(index, {})
            explicit = spec.get("DeleteOnTermination")
            if spec.get("NetworkInterfaceId"):
                continue
            nic.delete_on_termination = explicit not in (False, "false", "False")

    Instance.prep_nics = prep_nics
    original_terminate = Instance.terminate

    def terminate(self):
        if self._state.name in ("shutting-down", "terminated"):
            return copy.copy(self._state)
        self.sandbox_user_terminated = True
        nics, self.nics = self.nics, {}  # moto's own clean-up of interfaces is replaced below
        try:
            previous = original_terminate(self)
        finally:
            self.nics = nics
        delay = _cfg("terminate_s")
        if delay > 0:
            due = _now() + delay
            self._state = TimedState("shutting-down", 32, ("terminated", 48), due)
            at(due, lambda: _finish_termination(self))
        else:
            _finish_termination(self)
        return previous

    Instance.terminate = terminate

    def primary(attr):
        return property(lambda self: getattr(self.nics[0], attr) if 0 in self.nics else None)

    Instance.private_ip = primary("private_ip_address")
    Instance.private_ip_address = primary("private_ip_address")
    Instance.public_ip = primary("public_ip")
    Instance.public_ip_address = primary("public_ip")
    original_subnet = Instance.subnet_id
    # A terminated instance no longer sits in a subnet (nor, through it, in a VPC).
    Instance.subnet_id = property(lambda self: None if self._state.name == "terminated"
                                  else original_subnet.fget(self))
    original_dns = Instance.private_dns_name
    Instance.private_dns_name = property(lambda self: original_dns.fget(self) if self.private_ip else "")


_FILTER_NAME = re.compile(r"[Ff]ilter.*?'([^']+)'|'([^']+)' .*[Ff]ilter")


def filter_errors_like_aws():
    """A filter moto does not know answers InvalidParameterValue, not HTTP 500 with HTML."""
    from moto.core.responses import ActionResult, BaseResponse
    from moto.ec2.exceptions import EC2ClientError

    original_call = BaseResponse.call_action

    def call_action(self):
        try:
            return original_call(self)
        except NotImplementedError as exc:
            m = _FILTER_NAME.search(str(exc))
            if not m or "ilter" not in str(exc):
                raise
            error = EC2ClientError("InvalidParameterValue", f"The filter '{m.group(1) or m.group(2)}' is invalid")
            status, headers, body = self.serialized(ActionResult(error))
            headers, body = self._enrich_response(headers, body)
            return status, headers, body

    BaseResponse.call_action = call_action


def profiles_for_missing_role():
    """ListInstanceProfilesForRole of a role that does not exist answers NoSuchEntity."""
    from moto.iam.exceptions import NotFoundException
    from moto.iam.models import IAMBackend

    original = IAMBackend.get_instance_profiles_for_role

    def get_instance_profiles_for_role(self, role_name):
        if not any(role.name == role_name for role in self.get_roles()):
            raise NotFoundException(f"The role with name {role_name} cannot be found.")
        return original(self, role_name)

    IAMBackend.get_instance_profiles_for_role = get_instance_profiles_for_role


def remove_role_not_in_profile():
    """RemoveRoleFromInstanceProfile of a role the profile does not hold (or of a profile or role
    that does not exist) answers NoSuchEntity; moto fails inside on the first."""
    from moto.iam.exceptions import NotFoundException
    from moto.iam.models import IAMBackend

    def remove_role_from_instance_profile(self, profile_name, role_name):
        profile = next((p for p in self.get_instance_profiles() if p.name == profile_name), None)
        if profile is None:
            raise NotFoundException(f"Instance Profile {profile_name} cannot be found.")
        role = next((r for r in profile.roles if r.name == role_name), None)
        if role is None:
            raise NotFoundException(f"The role with name {role_name} cannot be found.")
        profile.roles.remove(role)

    IAMBackend.remove_role_from_instance_profile = remove_role_from_instance_profile


def launch_interfaces_get_their_tags():
    """RunInstances tags the interfaces it creates with its "network-interface" TagSpecifications
    entry; moto applies only the "instance" and "volume" entries."""
    from moto.ec2.models.instances import InstanceBackend

    original = InstanceBackend.run_instances

    def run_instances(self, image_id, count, user_data, security_group_names, **kwargs):
        tags = (kwargs.get("tags") or {}).get("network-interface") or {}
        given = {nic.get("NetworkInterfaceId") for nic in kwargs.get("nics") or []}
        reservation = original(self, image_id, count, user_data, security_group_names, **kwargs)
        if tags:
            for instance in reservation.instances:
                for nic in instance.nics.values():
                    if nic.id not in given:
                        nic.add_tags(tags)
        return reservation

    InstanceBackend.run_instances = run_instances


_AL2023 = re.compile(r"^al2023-ami-2023\.\d+\.(\d{8})\.\d+-kernel-(\d+)\.(\d+)-(x86_64|arm64)$")


def image_date(name, fallback):
    """Creation date for a default Amazon Linux 2023 image: its build day from the name, x86_64
    builds at 12:00 and arm64 at 06:00, plus one minute per kernel minor version, so that every
    image has its own date and the newest image per architecture is well defined."""
    m = _AL2023.match(name or "")
    if not m:
        return fallback
    day = datetime.strptime(m.group(1), "%Y%m%d").replace(tzinfo=timezone.utc)
    hour = 12 if m.group(4) == "x86_64" else 6
    return day + timedelta(hours=hour, minutes=int(m.group(3)))


def distinct_image_dates():
    """moto stamps every default image with its start time; AWS images each have their own."""
    from moto.ec2.models.amis import AmiBackend

    original = AmiBackend._load_amis

    def load(self):
        original(self)
        for ami in self.amis.values():
            ami.creation_date = image_date(ami.name, ami.creation_date)

    AmiBackend._load_amis = load


def images_support_imdsv2_only():
    """Amazon Linux 2023 images report ImdsSupport "v2.0" (instances launched from them require
    IMDSv2 tokens by default), as AWS's do; moto reports no ImdsSupport."""
    from moto.ec2.models.amis import AmiBackend

    original = AmiBackend._load_amis

    def load(self):
        original(self)
        for ami in self.amis.values():
            if (ami.name or "").startswith("al2023-ami-"):
                ami.imds_support = "v2.0"

    AmiBackend._load_amis = load


class TimedState:
    """An instance state that moves on to its next state when the sandbox clock reaches `due`."""

    def __init__(self, name, code, then=None, due=None):
        self._name, self._code, self._then, self._due = name, code, then, due

    def _settle(self):
        if self._then is not None and _now() >= self._due:
            self._name, self._code = self._then
            self._then = None

    @property
    def name(self):
        self._settle()
        return self._name

    @name.setter
    def name(self, value):
        self._name, self._then = value, None

    @property
    def code(self):
        self._settle()
        return self._code

    @code.setter
    def code(self, value):
        self._code, self._then = value, None

    def __copy__(self):
        self._settle()
        return TimedState(self._name, self._code, self._then, self._due)


def _launch_outcome(instance, now, delay):
    """Applies the knobs launch_failure and impaired to a new instance."""
    from moto.ec2.models.instances import StateReason

    seed = int(_cfg("seed"))
    bad = _pickers["impaired"].pick(_setting("impaired"), seed)
    instance.sandbox_impaired = bad["check"] if bad else None
    fail = _pickers["launch_failure"].pick(_setting("launch_failure"), seed)
    if not fail:
        return
    due = now + max(delay, 0)
    instance._state = TimedState("pending", 0, ("terminated", 48), due)

    def die():
        if getattr(instance, "sandbox_user_terminated", False) or instance._state.name != "terminated":
            return
        instance.state_reason = StateReason(fail["message"], fail["code"])
        instance._reason = fail["message"]
        _finish_termination(instance)

    if due <= now:
        instance.state_reason = StateReason(fail["message"], fail["code"])
    at(due, die)


def instance_timing():
    """pending -> running after launch_s; status checks "initializing" for status_ok_s more, then
    "ok" (or "impaired"); launches chosen by launch_failure go pending -> terminated instead."""
    from moto.ec2.models.instances import Instance

    original_init = Instance.__init__

    def init(self, *args, **kwargs):
        original_init(self, *args, **kwargs)
        delay = _cfg("launch_s")
        now = _now()
        if delay > 0:
            self._state = TimedState("pending", 0, ("running", 16), now + delay)
        else:
            self._state = TimedState("running", 16)
        self.sandbox_running_at = now + max(delay, 0)
        _launch_outcome(self, now, delay)

    Instance.__init__ = init

    def status(self, check):
        if self.state_code != 16:
            return {"Status": "not-applicable"}
        if _now() < getattr(self, "sandbox_running_at", 0) + _cfg("status_ok_s"):
            return {"Details": [{"Name": "reachability", "Status": "initializing"}], "Status": "initializing"}
        if getattr(self, "sandbox_impaired", None) in (check, "both"):
            return {"Details": [{"Name": "reachability", "Status": "failed"}], "Status": "impaired"}
        return {"Details": [{"Name": "reachability", "Status": "passed"}], "Status": "ok"}

    Instance.instance_status = property(lambda self: status(self, "instance"))
    Instance.system_status = property(lambda self: status(self, "system"))


def start_stop_timing():
    """StopInstances: stopping for stop_s, then stopped; StartInstances: pending for launch_s,
    then running with fresh status checks. Their answers show the state of that moment, and a
    state that cannot be started or stopped is refused with IncorrectInstanceState."""
    from moto.core.responses import ActionResult
    from moto.ec2.exceptions import EC2ClientError
    from moto.ec2.models.instances import Instance, StateReason
    from moto.ec2.responses.instances import InstanceResponse

    original_stop = Instance.stop

    def refuse(instance, verb):
        raise EC2ClientError("IncorrectInstanceState",
                             f"The instance '{instance.id}' is not in a state from which it can be {verb}.")

    def stop(self):
        state = self._state.name
        if state in ("stopping", "stopped"):
            return copy.copy(self._state)
        if state != "running":
            refuse(self, "stopped")
        previous = original_stop(self)
        delay = _cfg("stop_s")
        if delay > 0:
            self._state = TimedState("stopping", 64, ("stopped", 80), _now() + delay)
        return previous

    def start(self):
        state = self._state.name
        if state in ("pending", "running"):
            return copy.copy(self._state)
        if state != "stopped":
            refuse(self, "started")
        previous = copy.copy(self._state)
        for nic in self.nics.values():
            nic.start()
        delay, now = _cfg("launch_s"), _now()
        self._state = TimedState("pending", 0, ("running", 16), now + delay) if delay > 0 else TimedState("running", 16)
        self.sandbox_running_at = now + max(delay, 0)
        self._reason = ""
        self.state_reason = StateReason()
        return previous

    Instance.stop, Instance.start = stop, start

    def answer(key, method):
        def respond(self):
            instance_ids = self._get_param("InstanceIds", [])
            self.error_on_dryrun()
            changed = getattr(self.ec2_backend, method)(instance_ids)
            return ActionResult({key: [{
                "InstanceId": instance.id,
                "CurrentState": {"Code": instance.state_code, "Name": instance.state},
                "PreviousState": previous} for instance, previous in changed]})
        return respond

    InstanceResponse.stop_instances = answer("StoppingInstances", "stop_instances")
    InstanceResponse.start_instances = answer("StartingInstances", "start_instances")


def address_quota():
    """AllocateAddress beyond the region's Elastic IP quota (eip_quota) is AddressLimitExceeded."""
    from moto.ec2.exceptions import EC2ClientError
    from moto.ec2.models.elastic_ip_addresses import ElasticAddressBackend

    original = ElasticAddressBackend.allocate_address

    def allocate_address(self, *args, **kwargs):
        if _knobs["config"] is not None and len(self.addresses) >= int(_cfg("eip_quota")):
            raise EC2ClientError("AddressLimitExceeded", "The maximum number of addresses has been reached.")
        return original(self, *args, **kwargs)

    ElasticAddressBackend.allocate_address = allocate_address


def account_attributes():
    """DescribeAccountAttributes answers the Elastic IP quota the sandbox plays, the region's
    default VPC, and only the attributes asked for (AttributeName.N), as AWS does."""
    from moto.core.responses import ActionResult
    from moto.ec2.responses.account_attributes import AccountAttributes

    def describe_account_attributes(self):
        quota = str(int(_cfg("eip_quota"))) if _knobs["config"] is not None else "5"
        default_vpc = self.ec2_backend.get_default_vpc()
        values = {
            "supported-platforms": ["VPC"],
            "vpc-max-security-groups-per-interface": ["5"],
            "max-instances": ["20"],
            "max-elastic-ips": [quota],
            "vpc-max-elastic-ips": [quota],
            "default-vpc": [default_vpc.id if default_vpc else "none"],
        }
        wanted = self._get_param("AttributeNames", []) or list(values)
        return ActionResult({"AccountAttributes": [
            {"AttributeName": name, "AttributeValues": [{"AttributeValue": v} for v in values[name]]}
            for name in wanted if name in values]})

    AccountAttributes.describe_account_attributes = describe_account_attributes


def attach_in_same_zone():
    """AttachNetworkInterface of an interface in another availability zone than the instance is
    refused with InvalidParameterCombination; moto attaches across zones."""
    from moto.ec2.exceptions import EC2ClientError
    from moto.ec2.models.elastic_network_interfaces import NetworkInterfaceBackend

    original = NetworkInterfaceBackend.attach_network_interface

    def attach_network_interface(self, eni_id, instance_id, device_index):
        eni = self.get_network_interface(eni_id)
        instance = self.get_instance(instance_id)
        if eni.subnet is not None and eni.subnet.availability_zone != instance._placement.zone:
            raise EC2ClientError("InvalidParameterCombination",
                                 "You may not attach a network interface to an instance if they are not in the "
                                 "same availability zone")
        return original(self, eni_id, instance_id, device_index)

    NetworkInterfaceBackend.attach_network_interface = attach_network_interface


_PARTITION_REGION = re.compile(r"/(cn|us-gov)-[a-z]+-\d\.json$")


def images_in_other_partitions():
    """moto ships its default images and their SSM "latest" parameters for the aws partition's
    regions only, so a China or GovCloud region has no image to launch. Those regions get
    us-east-1's, as their own equivalents."""
    import moto.ec2.models.amis as amis
    import moto.ssm.models as ssm

    for module in (amis, ssm):
        original = module.load_resource

        def load_resource(package, path, *args, _original=original, **kwargs):
            try:
                return _original(package, path, *args, **kwargs)
            except FileNotFoundError:
                if not _PARTITION_REGION.search(path):
                    raise
                return _original(package, _PARTITION_REGION.sub("/us-east-1.json", path), *args, **kwargs)

        module.load_resource = load_resource


def direct_tag_lookup():
    """Speed, not behaviour: a resource reads its own tags from the tag store by id instead of
    scanning every tag of the account. moto's scan makes each filtered Describe call cost
    O(resources x tags), which dominated runs of a hundred entries and more."""
    from moto.ec2.models.core import TaggedEC2Resource
    from moto.ec2.utils import EC2_PREFIX_TO_RESOURCE, get_prefix

    def get_tags(self):
        if not self.id:
            return []
        tags = self.ec2_backend.tags.get(self.id) or {}
        kind = EC2_PREFIX_TO_RESOURCE.get(get_prefix(self.id), "")
        return [{"resource_id": self.id, "key": k, "value": v, "resource_type": kind} for k, v in tags.items()]

    TaggedEC2Resource.get_tags = get_tags
