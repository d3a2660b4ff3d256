"""The proxy's knobs: one record, settable at start and at run time (POST /_sandbox/config)."""
import math
import threading

from . import faults, launches, policy, ratelimits, walls

DEFAULTS = {
    "seed": 0,
    "latency_ms": 0.0,          # nominal latency added to every AWS call
    "latency_jitter_ms": 0.0,   # plus a reproducible draw in [0, jitter)
    "throttle_share": 0.0,      # share of calls answered with the service's throttling error
    "error_share": 0.0,         # share answered 500 or 503
    "drop_share": 0.0,          # share whose connection is closed without an answer
    "fault_ops": [],            # "service:Operation" or "service:*"; empty means every call
    "verify_sigv4": True,
    "clock_skew_s": 0.0,        # the sandbox's idea of "now" differs from real time by this much
    "profile_delay_s": 15.0,    # a new instance profile is refused by RunInstances this long
    "strict_assume_role": True, # AssumeRole of a role that does not exist is refused
    "sso_duration_s": 3600.0,   # credentials from the SSO portal expire this long after issue
    "launch_s": 0.0,            # pending -> running
    "status_ok_s": 0.0,         # running: status checks "initializing" -> "ok"
    "terminate_s": 0.0,         # shutting-down -> terminated
    "stop_s": 0.0,              # stopping -> stopped
    "launch_failure": None,     # {"share": S} or {"count": K}: launches that go pending -> terminated
    "impaired": None,           # same shape: instances whose status checks report "impaired"
    "eip_quota": 5,             # Elastic IPs per region (AWS's default quota)
    "eni_release_lag_s": 5.0,   # a terminated instance's interfaces still hold their groups this long
    "iam_lag_s": 0.0,           # a new IAM role, instance profile or policy is NoSuchEntity this long
    "sts_duration_s": 3600.0,   # lifetime of credentials STS issues (AssumeRole's DurationSeconds capped)
    "inject": [],               # scripted errors: {"op", "code", "status", "message", "count"}
    "ec2_rate_limits": "off",   # "off", "documented" or an override table (ratelimits.py)
    "describe_page_size": 0,    # paged Describe answers list at most this many items (0: as MaxResults asks)
    "consistency_lag_s": 0.0,   # new EC2 resources are NotFound / left out of filtered lists this long
    "kill_after_calls": None,   # {"pid": P, "calls": k}: SIGKILL P once the k-th AWS call is served
    "deny_actions": [],         # "service:Action": refused as an explicit deny in a service control policy
    "require_imdsv2": False,    # RunInstances without MetadataOptions.HttpTokens "required" is denied
    "require_tags": [],         # tag keys every tagged create call must carry, else denied
    "require_permissions_boundary": None,  # ARN: CreateRole without this boundary is denied
    "pending_verification": False,  # RunInstances: the region is still being verified for the account
    "insufficient_capacity": None,  # {"zones": [...], "count": K | "share": S}: launches there find no capacity
    "vcpu_quota": 100000,       # On-Demand Standard vCPUs per region (AWS gives new accounts 5)
    "vcpu_quota_applied": True, # false: GetServiceQuota has no applied value (NoSuchResourceException)
    "unoffered_zones": {},      # {"t3.micro": ["us-east-1b"]}: zones that do not offer the type
    "subnet_free_addresses": {},  # {"subnet-…": N}: the subnet has N free addresses from now on
    "block_public_access": "off",  # VPC Block Public Access: off, block-bidirectional, block-ingress
    "block_public_access_exclusions": [],  # subnet and VPC ids excluded from it
    "imds_require_token": False,
    "imds_identity_status": 200,
    "echo_ip": "203.0.113.7",
    "echo_status": 200,
}

_TYPES = {k: type(v) for k, v in DEFAULTS.items()}
_PARSERS = {"deny_actions": policy.parse_actions, "require_tags": policy.parse_tag_keys,
            "require_permissions_boundary": policy.parse_boundary, "unoffered_zones": walls.parse_zones,
            "subnet_free_addresses": walls.parse_free_addresses, "block_public_access": walls.parse_bpa_mode,
            "block_public_access_exclusions": walls.parse_exclusions}


class Config:
    def __init__(self, **overrides):
        self._lock = threading.Lock()
        self._values = dict(DEFAULTS)
        self._values["fault_ops"] = []
        self._values["inject"] = []
        self.update(overrides)

    def update(self, changes):
        """Applies known keys, converting to the default's type; unknown keys are an error."""
        clean = {}
        for key, value in (changes or {}).items():
            if key not in DEFAULTS:
                raise KeyError(f"unknown sandbox knob: {key}")
            kind = _TYPES[key]
            if key == "ec2_rate_limits":
                value = ratelimits.parse_setting(value)
            elif key == "kill_after_calls":
                value = faults.parse_kill(value)
            elif key in ("launch_failure", "impaired", "insufficient_capacity"):
                value = launches.parse(value, key)
            elif key in _PARSERS:
                value = _PARSERS[key](value)
            elif kind is float:
                value = float(value)
            elif kind is int:
                value = int(value)
            elif kind is bool:
                if isinstance(value, str):
                    value = value.lower() in ("1", "true", "yes", "on")
                value = bool(value)
            elif kind is list:
                value = list(value)
            clean[key] = value
        for key in ("throttle_share", "error_share", "drop_share"):
            if key in clean and not 0.0 <= clean[key] <= 1.0:
                raise ValueError(f"{key} must lie in [0, 1]")
        for key in ("consistency_lag_s", "stop_s", "eni_release_lag_s", "iam_lag_s"):
            if key in clean and not (math.isfinite(clean[key]) and clean[key] >= 0):
                raise ValueError(f"{key} must be a number >= 0")
        if "sts_duration_s" in clean and not (math.isfinite(clean["sts_duration_s"]) and clean["sts_duration_s"] > 0):
            raise ValueError("sts_duration_s must be a number > 0")
        for key in ("eip_quota", "vcpu_quota", "describe_page_size"):
            if key in clean and clean[key] < 0:
                raise ValueError(f"{key} must be an integer >= 0")
        with self._lock:
            self._values.update(clean)

    def get(self, key):
        with self._lock:
            return self._values[key]

    def snapshot(self):
        with self._lock:
            return {k: (list(v) if isinstance(v, list) else dict(v) if isinstance(v, dict) else v)
                    for k, v in self._values.items()}

    def take_injection(self, op_key):
        """Pops one scripted error matching op_key ("ec2:RunInstances"), if any."""
        with self._lock:
            for item in self._values["inject"]:
                if item.get("op") in (op_key, op_key.split(":")[0] + ":*"):
                    count = int(item.get("count", 1))
                    if count <= 1:
                        self._values["inject"].remove(item)
                    else:
                        item["count"] = count - 1
                    return dict(item)
        return None
