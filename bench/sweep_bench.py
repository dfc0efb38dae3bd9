"""Sweeps and progress reports: one JSON line per figure, medians of --repeats.

- sweep_threads: 16 configurations of the batched crossover over one tick file,
  on 2 threads, as a fraction of the same sweep on 1 (wall time: the point is
  parallelism; the median of the ratios of serial and threaded sweeps timed in
  turn). The strategy takes its batches in the array form (`on_batch_array`),
  the form meant for throughput: it reads the prices as a column where the list
  form walks one Tick object at a time under the interpreter lock. Both forms
  must decide alike: the two sweeps' return matrices are compared first.
  Beside it, machine_ceiling: the same ratio for hashing, which runs without
  the lock, as what the machine lets two threads gain while it is measured.
- sweep_threads_list: the same with the example's list form (`on_batch`), whose
  per-tick Python work serialises the threads.
- sweep_cluster: the array-form sweep on a Dask LocalCluster of 2 worker
  processes, cluster start-up excluded (reported beside it), as a fraction of
  the serial sweep.
- progress: a 20 M-tick file run of a no-op batched strategy with a progress
  callable against the same run without one, in per cent (process time).
"""

from __future__ import annotations

import argparse
import hashlib
import os
import statistics
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(os.path.dirname(HERE), "examples")
sys.path.insert(0, HERE)
sys.path.insert(0, EXAMPLES)

import numpy as np  # noqa: E402

import tallowmarsh as tm  # noqa: E402

from module_bench import emit, write_file  # noqa: E402
import strategies as st  # noqa: E402

GRID = {"fast": [50, 100, 200, 400], "slow": [800, 1500, 3000, 6000]}
LAST = tm.TICK_FIELDS.index("last")


class ArrayMovingAverageCross(st.BatchedMovingAverageCross):
    """The example's batched crossover, given each batch as an (n, 8) int64 array:
    the same state (the last `slow` prices) and the same decisions."""

    def on_batch_array(self, ticks):
        self.sampler.observe(self.equity)
        return self._step(np.asarray(ticks)[:, LAST])


def sweep(build, source, **kwargs):
    return tm.sweep(build, GRID, source, 10_000, batch=4096, contract_size=1_000_000, **kwargs)


def sweep_seconds(build, source, **kwargs) -> float:
    started = time.perf_counter()
    sweep(build, source, **kwargs)
    return time.perf_counter() - started


def lock_free_ratio() -> float:
    """Threaded / serial wall time of work that never takes the interpreter lock
    (hashing, which releases it): what two threads can gain on this machine at
    the moment. A shared machine gives less than 0.5."""
    data = bytes(16 << 20)

    def hashes(count: int) -> float:
        def work() -> None:
            for _ in range(count):
                hashlib.sha256(data).digest()
        started = time.perf_counter()
        threads = [threading.Thread(target=work) for _ in range(8 // count)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        return time.perf_counter() - started

    return hashes(4) / hashes(8)


def threaded_ratio(build, source, repeats: int) -> tuple[float, float, float]:
    """Medians of threaded / serial wall times timed in turn, of the serial time, and
    of the lock-free ratio taken beside each pair."""
    rows = [(sweep_seconds(build, source, threads=1), sweep_seconds(build, source, threads=2),
             lock_free_ratio()) for _ in range(repeats)]
    return (statistics.median(t / s for s, t, _ in rows), statistics.median(s for s, _, _ in rows),
            statistics.median(c for _, _, c in rows))


def bench_sweeps(path: str, repeats: int, cluster: bool) -> None:
    source = tm.load_ticks(path)
    if sweep(ArrayMovingAverageCross, source).returns != \
            sweep(st.BatchedMovingAverageCross, source).returns:
        raise SystemExit("the array and list forms of the crossover decide differently")
    ratio, base, ceiling = threaded_ratio(ArrayMovingAverageCross, source, repeats)
    emit("sweep_threads", ratio, "x", serial_s=base, strategy="array form (on_batch_array)",
         machine_ceiling=ceiling)
    ratio, serial, ceiling = threaded_ratio(st.BatchedMovingAverageCross, source, repeats)
    emit("sweep_threads_list", ratio, "x", serial_s=serial, strategy="list form (on_batch)",
         machine_ceiling=ceiling)
    if not cluster:
        return
    from dask.distributed import Client, LocalCluster

    # The workers import the example strategies from the environment they
    # inherit; the array form, defined here, travels by value.
    os.environ["PYTHONPATH"] = os.pathsep.join(
        p for p in (EXAMPLES, os.environ.get("PYTHONPATH")) if p)
    started = time.perf_counter()
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as local, Client(local) as client:
        client.run(lambda: __import__("strategies"))
        startup = time.perf_counter() - started
        on_cluster = [sweep_seconds(ArrayMovingAverageCross, source, executor=client)
                      for _ in range(repeats)]
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
