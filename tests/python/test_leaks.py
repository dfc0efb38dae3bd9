"""Thousands of calls leave nothing behind.

Each kind of call (succeeding, failing in the strategy, failing in the file,
refused arguments, stopped by a KeyboardInterrupt from the strategy) is made
a few thousand times after a warm-up. Reference counts of everything handed
to the module must come back exactly; the number of live objects, the memory
the interpreter has allocated (tracemalloc) and the resident size of the
process (/proc/self/statm) must stay flat within generous bounds. Every call
runs hundreds of ticks, so a leaked tick buffer or strategy would show at once.
"""

import gc
import os
import sys
import tracemalloc

import pytest

import tallowmarsh as t

CALLS = 2000
WARM_UP = 200
PAGE = os.sysconf("SC_PAGE_SIZE")
# Per thousand calls. A leak of one 500-tick copy per call would be 32 MB.
MAX_RSS_BYTES = 2 * 1024 * 1024
MAX_TRACED_BYTES = 64 * 1024
MAX_OBJECTS = 20


def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def ticks_of(n, start=0):
    return [t.Tick(start + i, 1000 + (i * 7) % 11 - 5, bid=999, ask=1001) for i in range(n)]


TICKS = ticks_of(500)


class Swing:
    def __init__(self, ticks=None):
        self.previous = None

    def decide(self, last):
        previous, self.previous = self.previous, last
        if previous is None or previous == last:
            return None
        return [t.Order("buy" if last < previous else "sell", 1, price=last)]

    def on_tick(self, ctx):
        return self.decide(ctx.last)

    def on_batch(self, ticks):
        return self.decide(ticks[-1].last)


class FailsThird:
    def __init__(self, ticks=None):
        self.calls = 0

    def on_tick(self, ctx):
        self.calls += 1
        if self.calls % 3 == 0:
            raise RuntimeError("third")

    on_batch = on_tick


class ReturnsJunk:
    def on_tick(self, ctx):
        return {"not": "orders"}


class Interrupts:
    def on_tick(self, ctx):
        raise KeyboardInterrupt("stop")


def refused(exc_type, func, *args, **kwargs):
    try:
        func(*args, **kwargs)
    except exc_type:
        return
    raise AssertionError(f"{func.__name__} did not raise {exc_type.__name__}")


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    root = tmp_path_factory.mktemp("leaks")
    sound = str(root / "sound.tmtk")
    t.save_ticks(sound, ticks_of(9000))
    short = str(root / "short.tmtk")
    t.save_ticks(short, ticks_of(9000))
    with open(short, "r+b") as f:
        f.truncate(32 + 64 * 8500)  # stops after the first block of 8192
    header = str(root / "header.tmtk")
    with open(header, "wb") as f:
        f.write(b"ABCD" + bytes(28))
    return {"sound": t.load_ticks(sound), "short": t.load_ticks(short), "header": header,
            "out": str(root / "out.tmtk"), "missing": str(root / "no" / "such.tmtk")}


def kinds(files):
    """Each kind of call, with the objects whose reference counts must come back."""
    swing, fails, junk, interrupts = Swing(), FailsThird(), ReturnsJunk(), Interrupts()
    tick = TICKS[0]

    def build_raises(prefix):
        raise KeyError("x")

    return {
        "succeeding": ([swing, TICKS, tick, files["sound"]], [
            lambda: t.run_backtest(swing, TICKS, 1000),
            lambda: t.run_backtest(swing, TICKS, 1000, batch=7),
            lambda: t.run_backtest(swing, files["sound"], 1000, batch=512),
            lambda: t.compare_modes(Swing, TICKS[:100], 1000, 4),
            lambda: t.lookahead_check(Swing, TICKS[:60], 1000, max_points=3),
            lambda: t.save_ticks(files["out"], TICKS),
            lambda: len(t.load_ticks(files["out"])),
            lambda: t.moments([0.01, -0.02, 0.03, 0.0, 0.01]),
            lambda: t.probability_of_backtest_overfitting([[0.01 * i, -0.01 * i] * 8
                                                           for i in range(3)], 4),
            lambda: repr(t.Order("sell", 2, "close", price=5)),
        ]),
        "failing in the strategy": ([fails, junk, TICKS], [
            lambda: refused(ValueError, t.run_backtest, fails, TICKS, 1000),
            lambda: refused(ValueError, t.run_backtest, fails, TICKS, 1000, batch=5),
            lambda: refused(ValueError, t.run_backtest, junk, TICKS, 1000),
            lambda: refused(ValueError, t.lookahead_check, build_raises, TICKS[:50], 1000),
            lambda: refused(ValueError, t.compare_modes, FailsThird, TICKS[:50], 1000, 2),
        ]),
        "failing in the file": ([swing, files["short"]], [
            lambda: refused(ValueError, t.run_backtest, swing, files["short"], 1000, batch=2**40),
            lambda: refused(ValueError, t.run_backtest, swing, files["short"], 1000, batch=1000),
            lambda: refused(ValueError, t.load_ticks, files["header"]),
            lambda: refused(ValueError, t.load_ticks, files["missing"]),
            lambda: refused(ValueError, t.save_ticks, files["missing"], TICKS),
        ]),
        "refused arguments": ([swing, TICKS, tick], [
            lambda: refused(ValueError, t.run_backtest, swing, TICKS, 1000, batch=0),
            lambda: refused(TypeError, t.run_backtest, swing, TICKS + [5], 1000),
            lambda: refused(TypeError, t.run_backtest, swing, "ticks", 1000),
            lambda: refused(OverflowError, t.run_backtest, swing, TICKS, 2**64),
            lambda: refused(TypeError, t.run_backtest, swing, TICKS, 1000, enforce_margin=1),
            lambda: refused(TypeError, t.Tick, 5, 1.5),
            lambda: refused(ValueError, t.Order, "BUY", 1),
            lambda: refused(TypeError, t.moments, "abcd"),
            lambda: refused(ValueError, t.moments, [1.0, 2.0]),
            lambda: refused(TypeError, t.lookahead_check, Swing, files["sound"], 1000),
            lambda: refused(TypeError, t.compare_modes, Swing, TICKS, 1000),
        ]),
        "stopped by KeyboardInterrupt": ([interrupts, TICKS], [
            lambda: refused(KeyboardInterrupt, t.run_backtest, interrupts, TICKS, 1000),
            lambda: refused(KeyboardInterrupt, t.lookahead_check, lambda p: interrupts, TICKS,
                            1000),
        ]),
    }


def measure(calls, rounds):
    for i in range(rounds):
        calls[i % len(calls)]()


@pytest.mark.parametrize("kind", ["succeeding", "failing in the strategy", "failing in the file",
                                  "refused arguments", "stopped by KeyboardInterrupt"])
def test_calls_leave_nothing_behind(kind, files):
    watched, calls = kinds(files)[kind]
    measure(calls, WARM_UP)
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in watched]
    tracemalloc.start()
    try:
        gc.collect()
        objects, traced, rss = len(gc.get_objects()), tracemalloc.get_traced_memory()[0], resident()
        measure(calls, CALLS)
        gc.collect()
        objects = len(gc.get_objects()) - objects
        traced = tracemalloc.get_traced_memory()[0] - traced
        rss = resident() - rss
    finally:
        tracemalloc.stop()
    per_thousand = 1000 / CALLS
    print(f"\n{kind}: per 1000 calls {objects * per_thousand:+.1f} objects, "
          f"{traced * per_thousand / 1024:+.1f} KiB traced, "
          f"{rss * per_thousand / 1024:+.1f} KiB resident")
    assert [sys.getrefcount(obj) for obj in watched] == counts
    assert objects * per_thousand <= MAX_OBJECTS
    assert traced * per_thousand <= MAX_TRACED_BYTES
    assert rss * per_thousand <= MAX_RSS_BYTES
