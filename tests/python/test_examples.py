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


def test_what_the_demo_does_not_check():
    ticks = synth.generate(20_000, seed=3)
    batched = [tm.run_backtest(cls(20, 100, qty=5), ticks, 10_000, batch=64)
               for cls in (st.MovingAverageCross, st.BatchedMovingAverageCross)]
    assert batched[0].fills > 0 and batched[0].fill_prices == batched[1].fill_prices
    honest = tm.lookahead_check(lambda k: st.HonestCross(k, fast=10, slow=50), ticks[:3000],
                                10_000, max_points=10)
    peeker = tm.lookahead_check(st.FuturePeeker, ticks[:3000], 10_000, max_points=10)
    assert (honest.clean, honest.checked, peeker.clean) == (True, 10, False)


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
