"""The examples' short runs, and the type stub against the module."""

import importlib.util
import os
import shutil
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def test_the_demo_runs_end_to_end(tmp_path):
    out = subprocess.run(
        [sys.executable, os.path.join(ROOT, "examples", "demo.py"), "--ticks", "150000",
         "--out", str(tmp_path), "--data", str(tmp_path)],
        capture_output=True, text=True, env=dict(os.environ, MPLBACKEND="Agg"), timeout=600)
    assert out.returncode == 0, out.stderr
    for section in ("Runs over the file", "compare_modes", "lookahead_check", "perpetual",
                    "probability of backtest overfitting", "demo finished"):
        assert section in out.stdout


def test_the_type_stub_matches_the_module(tmp_path):
    pytest.importorskip("mypy")
    stub = os.path.join(os.path.dirname(importlib.util.find_spec("tallowmarsh").origin),
                        "tallowmarsh.pyi")  # installed beside the module it describes
    if not os.path.exists(stub):
        stub = os.path.join(ROOT, "src", "tm_py", "tallowmarsh.pyi")
    shutil.copy(stub, tmp_path)
    out = subprocess.run([sys.executable, "-m", "mypy.stubtest", "tallowmarsh"], cwd=tmp_path,
                         env=dict(os.environ, MYPYPATH=str(tmp_path)), capture_output=True,
                         text=True, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr
