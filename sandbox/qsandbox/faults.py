"""Which calls get a fault, reproducibly from a seed; and the kill switch for crash tests.

Every decision is a hash of (seed, operation, the operation's call number, purpose), so the
n-th DescribeInstances of a run meets the same fate whatever the other threads do."""
import hashlib
import json
import os
import threading
from collections import Counter


def draw(seed, op_key, n, purpose):
    """A number in [0, 1) fixed by its arguments."""
    digest = hashlib.sha256(f"{seed}|{op_key}|{n}|{purpose}".encode()).digest()
    return int.from_bytes(digest[:8], "big") / 2.0**64


def in_scope(op_key, fault_ops):
    if not fault_ops:
        return True
    service = op_key.split(":", 1)[0]
    return op_key in fault_ops or f"{service}:*" in fault_ops


def decide(config, op_key, n):
    """(fault, latency_s): fault is None, "drop", "throttle", 500 or 503."""
    latency = config["latency_ms"] / 1000.0
    if config["latency_jitter_ms"] > 0:
        latency += draw(config["seed"], op_key, n, "jitter") * config["latency_jitter_ms"] / 1000.0
    if not in_scope(op_key, config["fault_ops"]):
        return None, latency
    r = draw(config["seed"], op_key, n, "fault")
    drop, throttle, error = config["drop_share"], config["throttle_share"], config["error_share"]
    if r < drop:
        return "drop", latency
    if r < drop + throttle:
        return "throttle", latency
    if r < drop + throttle + error:
        return (503 if draw(config["seed"], op_key, n, "status") < 0.5 else 500), latency
    return None, latency


class CallLog:
    """Counts calls per "service:Operation" and keeps a bounded list of what happened."""

    def __init__(self, keep=20000):
        self._lock = threading.Lock()
        self._counts = Counter()
        self._arrivals = Counter()
        self._calls = []
        self._keep = keep
        self._seq = 0

    def arrive(self, op_key):
        """Numbers the call within its operation (1, 2, ...); the number drives the draws."""
        with self._lock:
            self._arrivals[op_key] += 1
            return self._arrivals[op_key]

    def record(self, op_key, **fields):
        with self._lock:
            self._seq += 1
            self._counts[op_key] += 1
            if len(self._calls) < self._keep:
                self._calls.append({"seq": self._seq, "op": op_key, **fields})

    def restart_numbering(self):
        with self._lock:
            self._arrivals.clear()

    def reset(self):
        with self._lock:
            self._counts.clear()
            self._calls.clear()

    def dump(self):
        with self._lock:
            return {"counts": dict(sorted(self._counts.items())), "calls": list(self._calls)}


def parse_kill(value):
    """The knob kill_after_calls checked: None (off) or {"pid": P, "calls": k}."""
    if value is None:
        return None
    if isinstance(value, str):  # JSON text, as from the command line
        try:
            value = json.loads(value)
        except ValueError:
            raise ValueError('kill_after_calls must be null or {"pid": P, "calls": k}') from None
        if value is None:
            return None
    if not isinstance(value, dict) or set(value) != {"pid", "calls"}:
        raise ValueError('kill_after_calls must be null or {"pid": P, "calls": k}')
    pid, calls = value["pid"], value["calls"]
    for name, number in (("pid", pid), ("calls", calls)):
        if not isinstance(number, int) or isinstance(number, bool):
            raise ValueError(f"kill_after_calls: {name} must be an integer")
    # A pid of 0, 1 or below would mean a process group, init or every process.
    if pid <= 1 or pid == os.getpid():
        raise ValueError("kill_after_calls: pid must name another single process")
    if calls < 1:
        raise ValueError("kill_after_calls: calls must be at least 1")
    return {"pid": pid, "calls": calls}


class KillSwitch:
    """Counts AWS calls once armed; the k-th is the last one the process P ever sees: it is
    served, then P is killed and the connection closed. Calls arriving while that happens are
    dropped unserved, as they would die with the process."""

    def __init__(self):
        self._lock = threading.Lock()
        self._target = None
        self._seen = 0
        self._firing = False

    def arm(self, setting):
        with self._lock:
            self._target, self._seen, self._firing = setting, 0, False

    def arrive(self):
        """None (carry on), ("fire", pid) for the k-th call, or ("dying", pid) while it fires."""
        with self._lock:
            if self._target is None:
                return None
            if self._firing:
                return "dying", self._target["pid"]
            self._seen += 1
            if self._seen < self._target["calls"]:
                return None
            self._firing = True
            return "fire", self._target["pid"]

    def fired(self):
        with self._lock:
            self._target, self._seen, self._firing = None, 0, False
