"""The examples run, the demo's pieces work together, and the type stub matches the module."""

import importlib.util
import os
import shutil
import subprocess
import sys

import pytest

import tallowmarsh as tm

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "examples"))

import strategies as st  # noqa: E402
import synth  # noqa: E402


@pytest.fixture(scope="module")
def ticks():
    return synth.generate(20_000, seed=3)


@pytest.fixture(scope="module")
def source(tmp_path_factory, ticks):
    path = str(tmp_path_factory.mktemp("demo") / "ticks.tmtk")
    assert tm.save_ticks(path, ticks) == len(ticks)
    return tm.load_ticks(path)


def test_synthetic_series_is_a_valid_ordered_tick_stream(ticks):
    assert len(ticks) == 20_000
    times = [t.exch_ts for t in ticks]
    assert times == sorted(times)
    assert all(t.bid < t.ask and t.low <= t.last <= t.high and t.local_ts > t.exch_ts
               for t in ticks)
    assert synth.generate(50, seed=3)[10].last == synth.generate(50, seed=3)[10].last


def test_the_crossover_trades_per_tick_and_batched(source):
    per_tick = tm.run_backtest(st.MovingAverageCross(20, 100, qty=5), source, 10_000)
    batched = tm.run_backtest(st.MovingAverageCross(20, 100, qty=5), source, 10_000, batch=64)
    numpy_batched = tm.run_backtest(st.BatchedMovingAverageCross(20, 100, qty=5), source, 10_000,
                                    batch=64)
    assert per_tick.ticks == batched.ticks == 20_000
    assert per_tick.fills > 0 and batched.fills > 0
    # The numpy version decides exactly as the deque version on batch ends.
    assert numpy_batched.fill_prices == batched.fill_prices


def test_the_maker_rests_limit_orders(source):
    maker = st.PassiveMaker(edge=2, qty=1)
    result = tm.run_backtest(maker, source, 10_000)
    assert result.fills > 0
    assert maker.sampler.curve


def test_lookahead_check_tells_the_peeker_from_the_honest_strategy(ticks):
    honest = tm.lookahead_check(lambda t: st.HonestCross(t, fast=10, slow=50), ticks[:3000],
                                10_000, max_points=10)
    peeker = tm.lookahead_check(lambda t: st.FuturePeeker(t), ticks[:3000], 10_000,
                                max_points=10)
    assert honest.clean and honest.checked == 10
    assert not peeker.clean


def test_compare_modes_runs_the_crossover_both_ways(source):
    comparison = tm.compare_modes(lambda: st.MovingAverageCross(20, 100, qty=5), source,
                                  10_000, 32)
    assert comparison.compat_fills > 0 and comparison.batched_fills > 0


def test_the_demo_runs_end_to_end(tmp_path):
    env = dict(os.environ, MPLBACKEND="Agg")
    out = subprocess.run(
        [sys.executable, os.path.join(ROOT, "examples", "demo.py"), "--ticks", "150000",
         "--out", str(tmp_path), "--data", str(tmp_path)],
        capture_output=True, text=True, env=env, timeout=600)
    assert out.returncode == 0, out.stderr
    for section in ("Runs over the file", "compare_modes", "lookahead_check",
                    "probability of backtest overfitting", "demo finished"):
        assert section in out.stdout


def test_the_type_stub_matches_the_module(tmp_path):
    pytest.importorskip("mypy")
    origin = importlib.util.find_spec("tallowmarsh").origin
    stub = os.path.join(os.path.dirname(origin), "tallowmarsh.pyi")
    if not os.path.exists(stub):
        stub = os.path.join(ROOT, "src", "tm_py", "tallowmarsh.pyi")
    shutil.copy(stub, tmp_path / "tallowmarsh.pyi")
    env = dict(os.environ, MYPYPATH=str(tmp_path))
    out = subprocess.run([sys.executable, "-m", "mypy.stubtest", "tallowmarsh"],
                         capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr
