"""Sweeps and progress reports: one JSON line per figure, medians of --repeats.

- sweep_threads: 16 configurations of the batched crossover over one tick file,
  on 2 threads, as a fraction of the same sweep on 1 (wall time: the point is
  parallelism).
- sweep_cluster: the same on a Dask LocalCluster of 2 worker processes, cluster
  start-up excluded (reported beside it), as a fraction of the serial sweep.
- progress: a 20 M-tick file run of a no-op batched strategy with a progress
  callable against the same run without one, in per cent (process time).
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(os.path.dirname(HERE), "examples")
sys.path.insert(0, HERE)
sys.path.insert(0, EXAMPLES)

import tallowmarsh as tm  # noqa: E402

from module_bench import emit, write_file  # noqa: E402
import strategies as st  # noqa: E402

GRID = {"fast": [50, 100, 200, 400], "slow": [800, 1500, 3000, 6000]}


def sweep_seconds(source, **kwargs) -> float:
    started = time.perf_counter()
    tm.sweep(st.BatchedMovingAverageCross, GRID, source, 10_000, batch=4096,
             contract_size=1_000_000, **kwargs)
    return time.perf_counter() - started


def bench_sweeps(path: str, repeats: int, cluster: bool) -> None:
    source = tm.load_ticks(path)
    serial, threaded = [], []
    for _ in range(repeats):
        serial.append(sweep_seconds(source, threads=1))
        threaded.append(sweep_seconds(source, threads=2))
    base = statistics.median(serial)
    emit("sweep_threads", statistics.median(threaded) / base, "x", serial_s=base)
    if not cluster:
        return
    from dask.distributed import Client, LocalCluster

    # The workers import the example strategies from the environment they inherit.
    os.environ["PYTHONPATH"] = os.pathsep.join(
        p for p in (EXAMPLES, os.environ.get("PYTHONPATH")) if p)
    started = time.perf_counter()
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as local, Client(local) as client:
        client.run(lambda: __import__("strategies"))
        startup = time.perf_counter() - started
        on_cluster = [sweep_seconds(source, executor=client) for _ in range(repeats)]
    emit("sweep_cluster", statistics.median(on_cluster) / base, "x", startup_s=startup)


class Idle:
    def on_batch(self, ticks):
        return None


def bench_progress(path: str, repeats: int) -> None:
    source = tm.load_ticks(path)
    calls = []

    def run(progress) -> float:
        started = time.process_time()
        tm.run_backtest(Idle(), source, 10_000, batch=4096, progress=progress)
        return time.process_time() - started

    off, on = [], []
    for _ in range(repeats):
        off.append(run(None))
        on.append(run(lambda done, total: calls.append(done)))
    emit("progress", (statistics.median(on) / statistics.median(off) - 1) * 100, "%",
         reports_per_run=len(calls) / repeats)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sweep-ticks", type=int, default=2_000_000)
    parser.add_argument("--progress-ticks", type=int, default=20_000_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--no-cluster", action="store_true")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "sweep.tmtk")
        write_file(path, args.sweep_ticks)
        bench_sweeps(path, args.repeats, not args.no_cluster)
        os.remove(path)
        write_file(path, args.progress_ticks)
        bench_progress(path, args.repeats)


if __name__ == "__main__":
    main()
