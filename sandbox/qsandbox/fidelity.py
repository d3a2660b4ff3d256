"""Adjustments to moto, made once before serving, where moto differs from AWS in a way the
tool depends on. Each function restores one AWS behaviour; sandbox/README.md lists them.

The time-based ones (pending, status checks, shutting-down) read the knobs and the clock
given to install()."""
import re
from datetime import datetime, timedelta, timezone

_knobs = {"config": None, "clock": None}


def _cfg(key):
    config = _knobs["config"]
    return config.get(key) if config is not None else 0.0


def _now():
    clock = _knobs["clock"]
    return clock.now() if clock is not None else 0.0


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
    instance_timing()
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
            for eni in list(getattr(self, "enis", {}).values()):
                if group in set(eni.group_set):
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


def interfaces_follow_termination():
    """Interfaces made at launch are deleted with the instance (DeleteOnTermination defaults to
    true there); interfaces attached later are detached and left "available"; an Elastic IP on
    any of them is disassociated."""
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
        backend = self.ec2_backend
        for nic in list(self.nics.values()):
            for address in backend.addresses:
                if address.eni is nic:
                    address.eni, address.instance, address.association_id = None, None, None
                    nic.public_ip = None
            delete = nic.delete_on_termination
            nic.stop()
            self.detach_eni(nic)
            if delete:
                backend.enis.pop(nic.id, None)
                for entry in nic.private_ip_addresses:
                    nic.subnet.del_subnet_ip(entry["PrivateIpAddress"])
        previous = original_terminate(self)
        delay = _cfg("terminate_s")
        if delay > 0:
            self._state = TimedState("shutting-down", 32, ("terminated", 48), _now() + delay)
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


def instance_timing():
    """pending -> running after launch_s; status checks "initializing" for status_ok_s more."""
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

    Instance.__init__ = init

    def status(self):
        if self.state_code != 16:
            return {"Status": "not-applicable"}
        ready = _now() >= getattr(self, "sandbox_running_at", 0) + _cfg("status_ok_s")
        word = "passed" if ready else "initializing"
        return {"Details": [{"Name": "reachability", "Status": word}], "Status": "ok" if ready else "initializing"}

    Instance.instance_status = property(status)
    Instance.system_status = property(status)



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
