"""One clock for every time-based knob of the sandbox.

Nominal seconds (what AWS would take) become real seconds times QUENFOLD_TIME_SCALE, the
same factor the tool applies to its own pauses, so both sides agree on "10 seconds later".
Tests can also push the clock forward without waiting (advance)."""
import threading
import time


class Clock:
    def __init__(self, scale=1.0, monotonic=time.monotonic, sleeper=time.sleep, wall=time.time):
        if scale <= 0:
            raise ValueError("time scale must be positive")
        self.scale = float(scale)
        self._monotonic = monotonic
        self._sleeper = sleeper
        self._wall = wall
        self._start = monotonic()
        self._offset = 0.0
        self._lock = threading.Lock()

    def now(self):
        """Nominal seconds since the clock was made."""
        with self._lock:
            return (self._monotonic() - self._start) / self.scale + self._offset

    def advance(self, seconds):
        with self._lock:
            self._offset += float(seconds)

    def sleep(self, seconds):
        if seconds > 0:
            self._sleeper(seconds * self.scale)

    def wall(self):
        """Real wall-clock time (signatures and Date headers live in real time)."""
        return self._wall()
