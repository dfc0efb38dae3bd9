"""Progress of long work: a tqdm bar when tqdm is installed, a one-line bar on
stderr otherwise, or a callable(done, total) the caller passes.

`_progress(progress, total, unit, desc)` turns a `progress=` argument into a
reporter, or None when progress is off. The module's runs call its `update`
from the run at most about ten times a second, and `close` once at the end; a
caller of its own (the CSV import, a sweep) does the same.
"""

import sys
import time

__all__ = ["_progress"]


def _progress(progress, total, unit="ticks", desc=None):
    """A reporter of `done` out of `total`, or None when `progress` is off.

    `progress` is False/None (off), True (tqdm, or a bar on stderr without
    it), or a callable taking (done, total)."""
    if progress is None or progress is False:
        return None
    if progress is True:
        try:
            import tqdm  # noqa: F401
        except ImportError:
            return _StderrBar(total, unit, desc)
        return _TqdmBar(total, unit, desc)
    if callable(progress):
        return _Callback(progress, total)
    raise TypeError("progress must be True, False, None or a callable(done, total)")


class _Callback:
    __slots__ = ("_call", "_total", "_done")

    def __init__(self, call, total):
        self._call, self._total, self._done = call, total, None

    def update(self, done):
        if done != self._done:
            self._done = done
            self._call(done, self._total)

    def close(self):
        pass


class _TqdmBar:
    __slots__ = ("_bar", "_done")

    def __init__(self, total, unit, desc):
        import tqdm

        self._bar = tqdm.tqdm(total=total, unit=unit, unit_scale=True, desc=desc)
        self._done = 0

    def update(self, done):
        if done > self._done:
            self._bar.update(done - self._done)
            self._done = done

    def close(self):
        self._bar.close()


def _count(n):
    for scale, suffix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if n >= scale:
            return f"{n / scale:.1f}{suffix}"
    return f"{n:.0f}"


def _clock(seconds):
    seconds = int(seconds)
    return f"{seconds // 3600:d}:{seconds // 60 % 60:02d}:{seconds % 60:02d}"


class _StderrBar:
    """`desc  41%|########        | 8.2M/20.0M ticks  31.5M ticks/s  ETA 0:00:00`."""

    __slots__ = ("_total", "_unit", "_desc", "_started", "_shown")
    WIDTH = 24

    def __init__(self, total, unit, desc):
        self._total, self._unit, self._desc = total, unit, desc
        self._started = time.monotonic()
        self._shown = False

    def update(self, done):
        elapsed = max(time.monotonic() - self._started, 1e-9)
        rate = done / elapsed
        total = self._total
        fraction = min(done / total, 1.0) if total else 1.0
        filled = int(fraction * self.WIDTH)
        eta = _clock((total - done) / rate) if rate > 0 and total else "?"
        line = (f"{self._desc + '  ' if self._desc else ''}{fraction:4.0%}|"
                f"{'#' * filled}{' ' * (self.WIDTH - filled)}| {_count(done)}/{_count(total)} "
                f"{self._unit}  {_count(rate)} {self._unit}/s  ETA {eta}")
        sys.stderr.write("\r" + line)
        sys.stderr.flush()
        self._shown = True

    def close(self):
        if self._shown:
            sys.stderr.write("\n")
            sys.stderr.flush()
