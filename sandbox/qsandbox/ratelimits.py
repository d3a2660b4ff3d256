"""EC2's request-rate model: token buckets per region and action, as EC2 throttles an account.

Every EC2 call takes one token from its action's request bucket; RunInstances, StartInstances,
StopInstances and TerminateInstances also take one token per instance from a resource bucket
(both or neither). An empty bucket answers 503 RequestLimitExceeded, the same code EC2 gives
for either kind of bucket. Buckets start full and refill continuously in the sandbox clock's
nominal seconds, so the time scale and POST /_sandbox/advance apply to them as to every knob.

The knob `ec2_rate_limits` is "off", "documented", or a JSON object overriding entries of
DOCUMENTED (same form: category pairs, and per-action pairs under "actions" and "resources";
each pair is [capacity, refill per second])."""
import json
import math
import threading
from collections import Counter

from . import protocol

NON_MUTATING_PREFIXES = ("Describe", "List", "Get", "Search")

# Called with neither a filter nor pagination, these take from a smaller bucket of their own.
UNFILTERED_LIMITED = frozenset({
    "DescribeInstances", "DescribeInstanceStatus", "DescribeNetworkInterfaces", "DescribeSecurityGroups",
    "DescribeSnapshots", "DescribeSpotInstanceRequests", "DescribeVolumes"})

RESOURCE_INTENSIVE = frozenset({
    "AcceptVpcPeeringConnection", "AuthorizeSecurityGroupIngress", "CancelSpotInstanceRequests", "CreateKeyPair",
    "CreateVpcPeeringConnection", "DeleteVpcPeeringConnection", "RejectVpcPeeringConnection",
    "RevokeSecurityGroupIngress", "RequestSpotInstances"})

DOCUMENTED = {
    "non_mutating": [100, 20],
    "unfiltered": [50, 10],
    "mutating": [50, 5],
    "resource_intensive": [50, 5],
    # Actions EC2 gives figures of their own (those around instances, interfaces, addresses,
    # volumes, images and tags); any other action gets its category's figures.
    "actions": {
        "AssignIpv6Addresses": [100, 5], "AssignPrivateIpAddresses": [100, 5],
        "AssociateIamInstanceProfile": [100, 5], "CopyImage": [100, 1],
        "CreateLaunchTemplateVersion": [100, 5], "CreateNatGateway": [10, 1],
        "CreateNetworkInterface": [100, 5], "CreateSnapshot": [100, 5], "CreateSnapshots": [100, 5],
        "CreateTags": [100, 10], "CreateVolume": [100, 5], "CreateVpcEndpoint": [4, 0.3],
        "DeleteNatGateway": [10, 1], "DeleteNetworkInterface": [100, 5], "DeleteSnapshot": [100, 5],
        "DeleteTags": [100, 10], "DeleteVolume": [100, 5], "DeleteVpcEndpoints": [4, 0.3],
        "DeregisterImage": [100, 5], "DescribeSecurityGroupReferences": [20, 5],
        "DescribeStaleSecurityGroups": [20, 5], "DisassociateIamInstanceProfile": [100, 5],
        "ModifyImageAttribute": [100, 5], "ModifyInstanceMetadataOptions": [100, 5],
        "ModifyNetworkInterfaceAttribute": [100, 5], "ModifySnapshotAttribute": [100, 5],
        "RunInstances": [5, 2], "StartInstances": [5, 2], "TerminateInstances": [100, 5],
        "UnassignPrivateIpAddresses": [100, 5],
    },
    # Instances per second, beside the request bucket.
    "resources": {
        "RunInstances": [1000, 2], "StartInstances": [1000, 2],
        "StopInstances": [1000, 20], "TerminateInstances": [1000, 20],
    },
}
_PAIR_KEYS = ("non_mutating", "unfiltered", "mutating", "resource_intensive")


def refusal():
    """(status, headers, body) of an empty bucket: EC2's 503 RequestLimitExceeded."""
    return protocol.throttle_response("ec2")


# ---- the knob ------------------------------------------------------------------------------
def _pair(where, value):
    if (not isinstance(value, (list, tuple)) or len(value) != 2
            or not all(isinstance(x, (int, float)) and not isinstance(x, bool) for x in value)):
        raise ValueError(f"ec2_rate_limits: {where} must be [capacity, refill per second]")
    capacity, rate = float(value[0]), float(value[1])
    if not (math.isfinite(capacity) and math.isfinite(rate)) or capacity < 0 or rate < 0:
        raise ValueError(f"ec2_rate_limits: {where} must be two numbers >= 0")
    return [capacity, rate]


def parse_setting(value):
    """The knob's value checked: "off", "documented", or an override table (also as JSON text)."""
    if isinstance(value, str):
        text = value.strip()
        if text in ("off", "documented"):
            return text
        if not text.startswith("{"):
            raise ValueError('ec2_rate_limits must be "off", "documented" or a JSON object')
        try:
            value = json.loads(text)
        except ValueError:
            raise ValueError("ec2_rate_limits: the table is not valid JSON") from None
    if not isinstance(value, dict):
        raise ValueError('ec2_rate_limits must be "off", "documented" or a JSON object')
    clean = {}
    for key, entry in value.items():
        if key in _PAIR_KEYS:
            clean[key] = _pair(key, entry)
        elif key in ("actions", "resources"):
            if not isinstance(entry, dict):
                raise ValueError(f"ec2_rate_limits: {key} must map action names to pairs")
            for action in entry:
                if key == "resources" and action not in DOCUMENTED["resources"]:
                    raise ValueError(f"ec2_rate_limits: {action} has no resource bucket")
            clean[key] = {action: _pair(f"{key}.{action}", pair) for action, pair in entry.items()}
        else:
            raise KeyError(f"ec2_rate_limits: unknown key {key}")
    return clean


def table_for(setting):
    """The figures in force for a checked setting, or None when the model is off."""
    if setting == "off":
        return None
    table = {k: list(v) for k, v in DOCUMENTED.items() if k in _PAIR_KEYS}
    table["actions"] = dict(DOCUMENTED["actions"])
    table["resources"] = dict(DOCUMENTED["resources"])
    if isinstance(setting, dict):
        for key, entry in setting.items():
            if key in _PAIR_KEYS:
                table[key] = entry
            else:
                table[key].update(entry)
    return table


# ---- which buckets a call takes from -------------------------------------------------------
def classify(action, params):
    """[(bucket key, tokens)] for one EC2 call: its request bucket, and a resource bucket where
    the action has one. Keys: "Action", "Action:unfiltered", "Action:resource"."""
    if action in UNFILTERED_LIMITED and not _filtered_or_paginated(params):
        return [(action + ":unfiltered", 1)]
    if action == "RunInstances":
        return [(action, 1), (action + ":resource", _int(params.get("MaxCount"), 1))]
    if action in ("TerminateInstances", "StartInstances", "StopInstances"):
        return [(action, 1), (action + ":resource", sum(1 for k in params if k.startswith("InstanceId.")))]
    return [(action, 1)]


def _filtered_or_paginated(params):
    # An id list alone (InstanceId.N, GroupId.N, ...) still counts as unfiltered.
    if "MaxResults" in params or "NextToken" in params:
        return True
    return any(k.startswith("Filter.") for k in params)


def _int(text, default):
    try:
        return max(0, int(text))
    except (TypeError, ValueError):
        return default


def figures(table, key):
    """[capacity, refill per second] of a bucket key under a table."""
    action, _, kind = key.partition(":")
    if kind == "resource":
        return table["resources"][action]
    if kind == "unfiltered":
        return table["unfiltered"]
    if action in table["actions"]:
        return table["actions"][action]
    if action.startswith(NON_MUTATING_PREFIXES):
        return table["non_mutating"]
    if action in RESOURCE_INTENSIVE:
        return table["resource_intensive"]
    return table["mutating"]


# ---- buckets -------------------------------------------------------------------------------
class TokenBucket:
    """Starts full; refills continuously at `rate` per second of clock() up to `capacity`.
    Not locked: the registry serialises access."""
    __slots__ = ("capacity", "rate", "tokens", "_clock", "_stamp")

    def __init__(self, capacity, rate, clock):
        self.capacity, self.rate = float(capacity), float(rate)
        self.tokens = self.capacity
        self._clock = clock
        self._stamp = clock()

    def level(self):
        now = self._clock()
        if now > self._stamp:
            self.tokens = min(self.capacity, self.tokens + (now - self._stamp) * self.rate)
            self._stamp = now
        return self.tokens

    def take(self, amount=1):
        return take_together([(self, amount)]) is None


_EPSILON = 1e-9  # refills add up in floating point; a token that is 0.9999999999 counts


def take_together(wants):
    """Takes every (bucket, amount) or none; returns the first bucket that is short, or None."""
    for bucket, amount in wants:
        if bucket.level() + _EPSILON < amount:
            return bucket
    for bucket, amount in wants:
        bucket.tokens = max(0.0, bucket.tokens - amount)
    return None


class RateLimits:
    """Every bucket of the account, made on first use per (region, key), and the throttle counts."""

    def __init__(self, clock):
        self._clock = clock
        self._lock = threading.Lock()
        self._setting = "off"
        self._table = None
        self._buckets = {}
        self._throttled = Counter()

    @property
    def active(self):
        return self._table is not None

    def configure(self, setting):
        """Applies a checked setting; every bucket starts full again."""
        with self._lock:
            self._setting = setting
            self._table = table_for(setting)
            self._buckets.clear()
            self._throttled.clear()

    def refill(self):
        with self._lock:
            self._buckets.clear()
            self._throttled.clear()

    def reset_counts(self):
        with self._lock:
            self._throttled.clear()

    def take(self, region, action, params):
        """None if the call may go on, else the name of the bucket that refused it."""
        wants = classify(action, params)
        with self._lock:
            table = self._table
            if table is None:
                return None
            pairs = []
            for key, amount in wants:
                bucket = self._buckets.get((region, key))
                if bucket is None:
                    capacity, rate = figures(table, key)
                    bucket = self._buckets[(region, key)] = TokenBucket(capacity, rate, self._clock)
                pairs.append((bucket, amount))
            short = take_together(pairs)
            if short is None:
                return None
            name = next(f"{region}/{key}" for (key, _), (bucket, _) in zip(wants, pairs) if bucket is short)
            self._throttled[name] += 1
            return name

    def dump(self):
        with self._lock:
            buckets = {}
            for (region, key), bucket in sorted(self._buckets.items(), key=lambda kv: (str(kv[0][0]), kv[0][1])):
                name = f"{region}/{key}"
                buckets[name] = {"capacity": bucket.capacity, "refill_per_s": bucket.rate,
                                 "tokens": round(bucket.level(), 3), "throttled": self._throttled[name]}
            return {"setting": self._setting, "buckets": buckets}
