"""The examples' short runs, and the type stub against the module."""

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


def test_the_example_strategies(tmp_path):
    ticks = synth.generate(20_000, seed=3)
    assert [k.exch_ts for k in ticks] == sorted(k.exch_ts for k in ticks)
    tm.save_ticks(str(tmp_path / "t.tmtk"), ticks)
    source = tm.load_ticks(str(tmp_path / "t.tmtk"))
    per_tick = tm.run_backtest(st.MovingAverageCross(20, 100, qty=5), source, 10_000)
    batched = tm.run_backtest(st.MovingAverageCross(20, 100, qty=5), source, 10_000, batch=64)
    with_numpy = tm.run_backtest(st.BatchedMovingAverageCross(20, 100, qty=5), source, 10_000,
                                 batch=64)
    assert per_tick.fills > 0 and batched.fills > 0
    assert with_numpy.fill_prices == batched.fill_prices  # the same decisions at batch ends
    maker = st.PassiveMaker(edge=2, qty=1)
    assert tm.run_backtest(maker, source, 10_000).fills > 0 and maker.sampler.curve
    honest = tm.lookahead_check(lambda k: st.HonestCross(k, fast=10, slow=50), ticks[:3000],
                                10_000, max_points=10)
    peeker = tm.lookahead_check(st.FuturePeeker, ticks[:3000], 10_000, max_points=10)
    assert (honest.clean, honest.checked, peeker.clean) == (True, 10, False)
    comparison = tm.compare_modes(lambda: st.MovingAverageCross(20, 100, qty=5), source,
                                  10_000, 32)
    assert comparison.compat_fills > 0 and comparison.batched_fills > 0


def test_the_demo_runs_end_to_end(tmp_path):
    out = subprocess.run(
        [sys.executable, os.path.join(ROOT, "examples", "demo.py"), "--ticks", "150000",
         "--out", str(tmp_path), "--data", str(tmp_path)],
        capture_output=True, text=True, env=dict(os.environ, MPLBACKEND="Agg"), timeout=600)
    assert out.returncode == 0, out.stderr
    for section in ("Runs over the file", "compare_modes", "lookahead_check",
                    "probability of backtest overfitting", "demo finished"):
        assert section in out.stdout


def test_the_type_stub_matches_the_module(tmp_path):
    pytest.importorskip("mypy")
    stub = os.path.join(os.path.dirname(importlib.util.find_spec("tallowmarsh").origin),
                        "tallowmarsh.pyi")
    if not os.path.exists(stub):
        stub = os.path.join(ROOT, "src", "tm_py", "tallowmarsh.pyi")
    shutil.copy(stub, tmp_path / "tallowmarsh.pyi")
    out = subprocess.run([sys.executable, "-m", "mypy.stubtest", "tallowmarsh"],
                         capture_output=True, text=True, env=dict(os.environ, MYPYPATH=str(tmp_path)),
                         cwd=tmp_path, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr
