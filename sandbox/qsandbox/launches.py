"""Which new instances die at launch or fail their status checks (knobs `launch_failure` and
`impaired`), and which launches find no capacity (`insufficient_capacity`), reproducibly from the
seed.

A setting is {"share": S} (that share of launches, each drawn from the seed and the launch's
number) or {"count": K} (the next K launches), with optional "code" and "message" (and, for
`impaired`, "check": "instance", "system" or "both"; `insufficient_capacity` takes "zones"
instead, and counts only launches into them). Counting starts when the knob is set."""
import json
import threading

from . import faults

DEFAULT_FAILURE = {"code": "Client.InternalError", "message": "Client.InternalError: Client error on launch"}
CHECKS = ("instance", "system", "both")


def parse(value, knob):
    """The knob's value checked: None (off) or a dict with one of "share"/"count"."""
    if isinstance(value, str):
        try:
            value = json.loads(value)
        except ValueError:
            raise ValueError(f'{knob} must be null, {{"share": S}} or {{"count": K}}') from None
    if value is None:
        return None
    if knob == "insufficient_capacity":
        allowed = {"share", "count", "zones"}
    else:
        allowed = {"share", "count", "code", "message"} | ({"check"} if knob == "impaired" else set())
    if not isinstance(value, dict) or len({"share", "count"} & value.keys()) != 1 or not value.keys() <= allowed:
        raise ValueError(f'{knob} must be null, {{"share": S}} or {{"count": K}} '
                         f'(optional keys: {", ".join(sorted(allowed - {"share", "count"}))})')
    clean = dict(value)
    if "share" in clean:
        share = clean["share"]
        if isinstance(share, bool) or not isinstance(share, (int, float)) or not 0.0 <= share <= 1.0:
            raise ValueError(f"{knob}: share must lie in [0, 1]")
        clean["share"] = float(share)
    else:
        count = clean["count"]
        if isinstance(count, bool) or not isinstance(count, int) or count < 0:
            raise ValueError(f"{knob}: count must be an integer >= 0")
    for key in ("code", "message"):
        if key in clean and not isinstance(clean[key], str):
            raise ValueError(f"{knob}: {key} must be text")
    if knob == "insufficient_capacity":
        zones = clean.get("zones")
        if not isinstance(zones, list) or not zones or not all(isinstance(z, str) for z in zones):
            raise ValueError(f"{knob}: zones must be a non-empty list of zone names")
    elif knob == "impaired":
        clean.setdefault("check", "both")
        if clean["check"] not in CHECKS:
            raise ValueError(f"{knob}: check must be one of {', '.join(CHECKS)}")
    else:
        clean = {**DEFAULT_FAILURE, **clean}
    return clean


class Picker:
    """Chooses launches for one knob. A new setting (a new object from Config) restarts the
    numbering and the count, so setting the knob again means "from now on"."""

    def __init__(self, purpose):
        self.purpose = purpose
        self._lock = threading.Lock()
        self._setting = None
        self._n = 0
        self._left = 0

    def pick(self, setting, seed):
        """The setting when this launch is chosen, else None."""
        with self._lock:
            if setting is not self._setting:
                self._setting, self._n = setting, 0
                self._left = setting.get("count", 0) if setting else 0
            if setting is None:
                return None
            self._n += 1
            if "count" in setting:
                if self._left <= 0:
                    return None
                self._left -= 1
                return setting
            return setting if faults.draw(seed, "ec2:launch", self._n, self.purpose) < setting["share"] else None
