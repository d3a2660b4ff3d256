"""IAM's propagation delay: for `iam_lag_s` after a role, instance profile or policy is created,
other IAM calls naming it answer NoSuchEntity, as IAM does while the new entity propagates."""
import re
import threading

from . import protocol

# create action -> (kind, request parameter naming the new entity; None: the ARN in the answer)
CREATES = {"CreateRole": ("role", "RoleName"), "CreateInstanceProfile": ("profile", "InstanceProfileName"),
           "CreatePolicy": ("policy", None)}
DELETES = {"DeleteRole": ("role", "RoleName"), "DeleteInstanceProfile": ("profile", "InstanceProfileName"),
           "DeletePolicy": ("policy", "PolicyArn")}
NAMING = {"RoleName": "role", "InstanceProfileName": "profile", "PolicyArn": "policy"}
_POLICY_ARN = re.compile(rb"<Arn>([^<]+)</Arn>")


def message(kind, name, action):
    if kind == "role":
        return f"The role with name {name} cannot be found."
    if kind == "profile":
        return f"Instance Profile {name} cannot be found."
    if action.startswith("Attach"):
        return f"Policy {name} does not exist or is not attachable."
    return f"Policy {name} was not found."


class Ledger:
    """(kind, name) -> nominal creation time of the IAM entities made so far."""

    def __init__(self):
        self._lock = threading.Lock()
        self._born = {}

    def observe(self, action, params, body, now):
        """Learns a successful create (and forgets a delete)."""
        with self._lock:
            if action in CREATES:
                kind, param = CREATES[action]
                if param:
                    name = params.get(param)
                else:
                    m = _POLICY_ARN.search(body or b"")
                    name = m.group(1).decode() if m else None
                if name:
                    self._born[(kind, name)] = now
            elif action in DELETES:
                kind, param = DELETES[action]
                self._born.pop((kind, params.get(param)), None)

    def refusal(self, action, params, now, lag):
        """IAM's 404 NoSuchEntity for a call naming an entity younger than lag, or None."""
        if lag <= 0 or action in CREATES:
            return None
        with self._lock:
            for param, kind in NAMING.items():
                name = params.get(param)
                born = self._born.get((kind, name)) if name else None
                if born is not None and now - born < lag:
                    return protocol.error_response("iam", 404, "NoSuchEntity", message(kind, name, action))
        return None

    def clear(self):
        with self._lock:
            self._born.clear()
