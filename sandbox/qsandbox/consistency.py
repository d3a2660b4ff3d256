"""EC2's eventual consistency: a resource just created is, for a while, unknown to the calls
that name it and missing from filtered Describe answers.

The proxy learns the ids that successful create calls return (with their time on the sandbox
clock); while one is younger than the knob `consistency_lag_s`, a call naming it answers the
resource's NotFound error, and filtered Describe answers leave it out."""
import re
import threading
import xml.etree.ElementTree as ET

from . import protocol

EC2_NS = "http://ec2.amazonaws.com/doc/2016-11-15"
ET.register_namespace("", EC2_NS)  # rewritten answers keep moto's default namespace, unprefixed

# kind -> (error code, message with the id in it), in AWS's words.
NOT_FOUND = {
    "instance": ("InvalidInstanceID.NotFound", "The instance ID '{}' does not exist"),
    "interface": ("InvalidNetworkInterfaceID.NotFound", "The networkInterface ID '{}' does not exist"),
    "allocation": ("InvalidAllocationID.NotFound", "The allocation ID '{}' does not exist"),
    "group": ("InvalidGroup.NotFound", "The security group '{}' does not exist"),
    "key_pair": ("InvalidKeyPair.NotFound", "The key pair '{}' does not exist"),
}

# The last name part of a parameter (indices dropped) that carries a resource id, whatever the
# action: InstanceId.1, NetworkInterface.1.SecurityGroupId.2, IpPermissions.1.Groups.1.GroupId...
ID_PARAMETERS = frozenset({"InstanceId", "NetworkInterfaceId", "AllocationId", "GroupId", "SecurityGroupId",
                           "ResourceId", "KeyPairId"})
# A key pair's name names it only where the action takes an existing key pair.
KEY_NAME_ACTIONS = frozenset({"RunInstances", "DeleteKeyPair", "DescribeKeyPairs"})


def named_ids(action, params):
    """The parameter values of one EC2 call that may name an existing resource, in request order."""
    found = []
    for key, value in params.items():
        names = [part for part in key.split(".") if not part.isdigit()]
        last = names[-1] if names else ""
        if last in ID_PARAMETERS or (last == "KeyName" and action in KEY_NAME_ACTIONS):
            if value:
                found.append(value)
    return found


def _all(tag, body):
    return re.findall(rf"<{tag}>([^<]+)</{tag}>".encode(), body or b"")


def created_ids(action, params, body):
    """[(id, kind)] of the resources a successful create call made, read from its answer."""
    if action == "RunInstances":
        given = {v for k, v in params.items() if k.endswith(".NetworkInterfaceId")}
        made = [(x.decode(), "instance") for x in _all("instanceId", body)]
        made += [(x.decode(), "interface") for x in _all("networkInterfaceId", body) if x.decode() not in given]
        return list(dict.fromkeys(made))
    single = {"CreateNetworkInterface": [("networkInterfaceId", "interface")],
              "AllocateAddress": [("allocationId", "allocation")],
              "CreateSecurityGroup": [("groupId", "group")],
              "CreateKeyPair": [("keyName", "key_pair"), ("keyPairId", "key_pair")]}.get(action, [])
    made = []
    for tag, kind in single:
        ids = _all(tag, body)
        if ids:
            made.append((ids[0].decode(), kind))
    return made


def not_found(kind, resource_id):
    """(status, headers, body): EC2's 400 answer for a resource it does not know (yet)."""
    code, message = NOT_FOUND[kind]
    return protocol.error_response("ec2", 400, code, message.format(resource_id))


# Filtered Describe calls whose answers leave young resources out: the path from the root to
# the listed items, and the children of an item that carry its id.
LISTS = {
    "DescribeInstances": (("reservationSet", "item", "instancesSet"), ("instanceId",)),
    "DescribeInstanceStatus": (("instanceStatusSet",), ("instanceId",)),
    "DescribeNetworkInterfaces": (("networkInterfaceSet",), ("networkInterfaceId",)),
    "DescribeSecurityGroups": (("securityGroupInfo",), ("groupId",)),
    "DescribeAddresses": (("addressesSet",), ("allocationId",)),
    "DescribeKeyPairs": (("keySet",), ("keyPairId", "keyName")),
}


def filtered(params):
    return any(k.startswith("Filter.") for k in params)


def _local(tag):
    return tag.rsplit("}", 1)[-1]


def _children(node, name):
    return [c for c in node if _local(c.tag) == name]


def hide(action, body, is_young):
    """(body, number of items removed): the answer without the items whose id is young."""
    path, id_fields = LISTS[action]
    try:
        root = ET.fromstring(body)
    except ET.ParseError:
        return body, 0
    removed = 0
    holders = [root]
    for step in path:
        holders = [c for h in holders for c in _children(h, step)]
    for holder in holders:
        for item in _children(holder, "item"):
            if any(is_young((c.text or "").strip()) for c in item if _local(c.tag) in id_fields):
                holder.remove(item)
                removed += 1
    if not removed:
        return body, 0
    if action == "DescribeInstances":  # a reservation left without instances is not listed
        for reservations in _children(root, "reservationSet"):
            for reservation in _children(reservations, "item"):
                if not any(len(s) for s in _children(reservation, "instancesSet")):
                    reservations.remove(reservation)
    declaration = body[:body.index(b"?>") + 2] + b"\n" if body.startswith(b"<?xml") else b""
    return declaration + ET.tostring(root, encoding="utf-8", xml_declaration=False), removed


class Ledger:
    """Ids of resources created while the lag is on, with their creation time (nominal s)."""

    def __init__(self):
        self._lock = threading.Lock()
        self._born = {}  # id -> (kind, time)

    def learn(self, made, now, lag):
        with self._lock:
            for resource_id, kind in made:
                self._born[resource_id] = (kind, now)
            # Entries past the lag are forgotten (they stay visible if the lag is raised later).
            for resource_id in [r for r, (_, t) in self._born.items() if now - t >= lag]:
                del self._born[resource_id]

    def young(self, resource_id, now, lag):
        """The kind of a resource younger than lag, or None."""
        with self._lock:
            entry = self._born.get(resource_id)
        if entry is None or now - entry[1] >= lag:
            return None
        return entry[0]

    def __len__(self):
        with self._lock:
            return len(self._born)

    def clear(self):
        with self._lock:
            self._born.clear()
