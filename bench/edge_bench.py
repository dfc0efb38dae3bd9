"""Costs at the Python edge: a strategy called per tick, batches as lists and arrays,
another thread's share of the interpreter during a run, statistics over numpy arrays.
Prints one JSON object per line: {"figure": ..., "value": ..., "unit": ...}. Ratios are
timed side by side in one process, each the median of several repetitions.

    python bench/edge_bench.py [--repeats N] [--ticks N]
"""
from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
import threading
import time

import numpy as np

import tallowmarsh as tm

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from module_bench import emit, median_ratio, median_seconds  # noqa: E402
from stats_pbo_bench import numpy_all_combinations  # noqa: E402


class Trivial:
    def on_tick(self, ctx):
        return None

    def on_batch(self, ticks):
        return None


class ArrayTrivial:
    def on_batch_array(self, ticks):
        return None


class Crossing:
    """Two exponential averages of `last`; buys when the fast one crosses above the slow."""

    def __init__(self):
        self.fast = self.slow = None

    def on_tick(self, ctx):
        last = ctx.last
        if self.fast is None:
            self.fast = self.slow = float(last)
            return None
        above = self.fast > self.slow
        self.fast += 0.1 * (last - self.fast)
        self.slow += 0.01 * (last - self.slow)
        if (self.fast > self.slow) != above and ctx.position == 0 and not above:
            return [tm.Order("buy", 1)]
        return None


def plain_loop(strategy, objects):
    def loop() -> None:
        method = strategy.on_tick
        for obj in objects:
            method(obj)
    return loop


def bench_compat(ticks: list) -> None:
    n = len(ticks)
    run, base, ratio = median_ratio(lambda: tm.run_backtest(Trivial(), ticks, 100_000),
                                    plain_loop(Trivial(), ticks))
    emit("edge compat trivial ns per tick", run / n * 1e9, "ns", floor_ns=base / n * 1e9)
    emit("edge compat trivial / plain loop", ratio, "x")

    class Keep(Crossing):  # the real Contexts of a run, for the plain loop
        def __init__(self):
            super().__init__()
            self.kept = []

        def on_tick(self, ctx):
            self.kept.append(ctx)
            return super().on_tick(ctx)

    keep = Keep()
    tm.run_backtest(keep, ticks[:200_000], 100_000)
    contexts = keep.kept * (n // len(keep.kept))
    del keep
    _, _, ratio = median_ratio(lambda: tm.run_backtest(Crossing(), ticks[:len(contexts)], 100_000),
                               lambda: plain_loop(Crossing(), contexts)())
    emit("edge compat EMA crossover / plain loop", ratio, "x")


def bench_sharing(ticks: list, seconds: float = 0.5) -> None:
    """Iterations of a pure-Python counting loop on another thread, during a run and idle."""
    def spin(out: list) -> None:
        end, count = time.perf_counter() + seconds, 0
        while time.perf_counter() < end:
            count += 1
        out.append(count)

    shares = []
    for _ in range(3):
        idle: list = []
        spin(idle)
        busy: list = []
        done = threading.Event()

        def runs() -> None:
            while not done.is_set():
                tm.run_backtest(Trivial(), ticks, 100_000)

        runner = threading.Thread(target=runs)
        runner.start()
        spin(busy)
        done.set()
        runner.join()
        shares.append(busy[0] / idle[0])
    emit("edge other thread's share during a compat run", statistics.median(shares), "x")


def bench_batches(ticks: list) -> None:
    n = len(ticks)
    records = np.array([[k.exch_ts, k.local_ts, k.last, k.high, k.low, k.bid, k.ask, k.volume]
                        for k in ticks], dtype=np.int64)
    seconds = median_seconds(lambda: tm.run_backtest(Trivial(), ticks, 100_000, batch=4096))
    emit("edge batch 4096 list form, from a list", n / seconds / 1e6, "M ticks/s")
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "edge.tmtk")
        tm.save_ticks(path, ticks)
        source = tm.load_ticks(path)
        for name, given in (("a file", source), ("an array", records)):
            arrays, never, ratio = median_ratio(
                lambda: tm.run_backtest(ArrayTrivial(), given, 100_000, batch=4096),
                lambda: tm.run_backtest(ArrayTrivial(), given, 100_000, batch=n + 1))
            emit(f"edge batch 4096 array form / never called, from {name}", 1 / ratio, "x",
                 ticks_per_second=n / arrays, never_ticks_per_second=n / never)


def numpy_moments(r: np.ndarray) -> tuple[float, float, float, float]:
    mean = r.mean()
    d = r - mean
    d2 = d * d
    m2 = d2.mean()
    return mean, np.sqrt(m2), (d2 * d).mean() / m2 ** 1.5, (d2 * d2).mean() / (m2 * m2)


def bench_statistics() -> None:
    rng = np.random.default_rng(3)
    returns = rng.normal(0.0003, 0.01, 1_000_000)
    _, _, ratio = median_ratio(lambda: tm.moments(returns), lambda: numpy_moments(returns))
    emit("edge numpy / moments over 1 M float64", 1 / ratio, "x")
    matrix = rng.normal(0.0002, 0.01, (50, 2000)) + rng.normal(0, 0.0005, (50, 1))
    if tm.probability_of_backtest_overfitting(matrix, 16) != numpy_all_combinations(matrix, 16):
        raise SystemExit("the overfitting estimate differs from NumPy's")
    _, _, ratio = median_ratio(lambda: tm.probability_of_backtest_overfitting(matrix, 16),
                               lambda: numpy_all_combinations(matrix, 16))
    emit("edge numpy / overfitting 16x50x2000 matrix", 1 / ratio, "x")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--ticks", type=int, default=2_000_000)
    parser.add_argument("--only", default="")
    args = parser.parse_args()
    import module_bench
    module_bench.REPEATS = max(1, args.repeats)
    want = lambda name: not args.only or name in args.only.split(",")  # noqa: E731
    ticks = [tm.Tick(i * 1000, 60_000 + i % 17, bid=60_000, ask=60_001, volume=i)
             for i in range(args.ticks)]
    if want("compat"):
        bench_compat(ticks)
    if want("sharing"):
        bench_sharing(ticks[:200_000])
    if want("batches"):
        bench_batches(ticks)
    if want("statistics"):
        bench_statistics()


if __name__ == "__main__":
    main()
