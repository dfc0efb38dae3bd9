"""Thousands of calls, of hundreds of ticks each, leave nothing behind: reference counts come
back, and live objects, traced and resident memory stay flat; nor is a long batch held."""

import gc
import os
import sys
import tracemalloc

import pytest

import tallowmarsh as t
from conftest import Swing, failing, walk

TICKS = walk(1, 500)
PER_THOUSAND = {"objects": 20, "traced": 64 * 1024, "resident": 2 * 1024 * 1024}


def refused(exc, func, *args, **kwargs):
    with pytest.raises(exc):
        func(*args, **kwargs)


def kinds(root):
    sound, short, out = str(root / "sound.tmtk"), str(root / "short.tmtk"), str(root / "out.tmtk")
    for path in (sound, short):
        t.save_ticks(path, walk(2, 9000))
    os.truncate(short, 32 + 64 * 8500)  # stops after the first block of 8192
    swing, fails = Swing(), failing(RuntimeError, 3, [t.Order("buy", 1)])()
    junk, stops = type("Junk", (), {"on_tick": lambda s, ctx: {}})(), failing(KeyboardInterrupt)()
    sound, short = t.load_ticks(sound), t.load_ticks(short)
    return {
        "succeeding": ([swing, TICKS, TICKS[0], sound], [
            lambda: t.run_backtest(swing, TICKS, 1000),
            lambda: t.run_backtest(swing, TICKS, 1000, batch=7),
            lambda: t.run_backtest(swing, sound, 1000, batch=512),
            lambda: t.compare_modes(Swing, TICKS[:100], 1000, 4),
            lambda: t.lookahead_check(Swing, TICKS[:60], 1000, max_points=3),
            lambda: t.save_ticks(out, TICKS) + len(t.load_ticks(out)),
            lambda: t.probability_of_backtest_overfitting([[0.01 * i, -0.01 * i] * 8
                                                           for i in range(3)], 4)]),
        "failing": ([fails, junk, swing, TICKS, TICKS[0], short, sound], [
            lambda: refused(ValueError, t.run_backtest, fails, TICKS, 1000),
            lambda: refused(ValueError, t.run_backtest, junk, TICKS, 1000),
            lambda: refused(ValueError, t.lookahead_check, lambda k: {}["x"], TICKS[:50], 1000),
            lambda: refused(ValueError, t.compare_modes, lambda: fails, TICKS[:50], 1000, 2),
            lambda: refused(ValueError, t.run_backtest, swing, short, 1000, batch=2**40),
            lambda: refused(ValueError, t.load_ticks, str(root / "no" / "such.tmtk")),
            lambda: refused(KeyboardInterrupt, t.run_backtest, stops, TICKS, 1000),
            lambda: refused(KeyboardInterrupt, t.lookahead_check, lambda k: stops, TICKS, 1000),
            lambda: refused(TypeError, t.run_backtest, swing, TICKS + [5], 1000),
            lambda: refused(OverflowError, t.run_backtest, swing, TICKS, 2**64),
            lambda: refused(TypeError, t.moments, "abcd"),
            lambda: refused(TypeError, t.lookahead_check, Swing, sound, 1000)]),
    }


def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key + ":"))


@pytest.mark.parametrize("kind", ["succeeding", "failing"])
def test_calls_leave_nothing_behind(kind, tmp_path):
    watched, calls = kinds(tmp_path)[kind]
    for i in range(200):
        calls[i % len(calls)]()
    gc.collect()
    counts = [sys.getrefcount(x) for x in watched]
    tracemalloc.start()
    try:
        before = (len(gc.get_objects()), tracemalloc.get_traced_memory()[0], status("VmRSS"))
        for i in range(2000):
            calls[i % len(calls)]()
        gc.collect()
        after = (len(gc.get_objects()), tracemalloc.get_traced_memory()[0], status("VmRSS"))
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(x) for x in watched] == counts
    for name, b, a in zip(PER_THOUSAND, before, after):
        assert (a - b) / 2 <= PER_THOUSAND[name], name


def test_a_batch_larger_than_a_file_is_never_held(tmp_path):
    t.save_ticks(str(tmp_path / "big.tmtk"), [t.Tick(1, 100)] * 500_000)  # 32 MB of records
    source, before = t.load_ticks(str(tmp_path / "big.tmtk")), status("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak resident size starts again from here
    assert t.run_backtest(Swing(), source, 1000, batch=10**6).ticks == 500_000
    assert status("VmHWM") - before < 8 * 2**20
