"""Benchmarks of the Python module, side by side in one process.

Prints one JSON object per line: {"figure": ..., "value": ..., "unit": ...}, read by
bench/run_all.py. Every rate is the median of several repetitions, timed in CPU time
of the calling thread, which runs all the work measured: the machine is shared, and
wall time would count the other processes too. A figure that is a ratio of two
measurements alternates them, so both see the same moments of the machine.

    python bench/module_bench.py [--ticks N] [--memory-ticks N] [--repeats N] [--only NAME]
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import json
import os
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import zlib

import numpy as np

import tallowmarsh as tm

REPEATS = 5


def emit(figure: str, value: float, unit: str, **extra) -> None:
    print(json.dumps({"figure": figure, "value": value, "unit": unit, **extra}), flush=True)


def seconds(fn) -> float:
    started = time.thread_time()
    fn()
    return time.thread_time() - started


def median_seconds(fn, repeats: int | None = None) -> float:
    return statistics.median(seconds(fn) for _ in range(repeats or REPEATS))


def median_ratio(fn, base, repeats: int | None = None) -> tuple[float, float, float]:
    """fn and base timed in turn; the medians of fn's time, base's, and their ratios."""
    pairs = [(seconds(fn), seconds(base)) for _ in range(repeats or REPEATS)]
    return (statistics.median(a for a, _ in pairs), statistics.median(b for _, b in pairs),
            statistics.median(a / b for a, b in pairs))


def write_file(path: str, n: int, chunk: int = 1 << 20) -> None:
    """A valid tick file of n ticks written with numpy, without Python tick objects."""
    crc = 0
    with open(path, "wb") as f:
        f.write(b"\0" * 32)
        for start in range(0, n, chunk):
            m = min(chunk, n - start)
            records = np.zeros((m, 8), dtype="<i8")
            idx = np.arange(start, start + m, dtype=np.int64)
            records[:, 0] = idx * 1000
            records[:, 1] = idx * 1000
            records[:, 2] = 60_000 + (idx % 17)
            records[:, 3] = records[:, 2] + 1
            records[:, 4] = records[:, 2] - 1
            records[:, 5] = records[:, 2] - 1
            records[:, 6] = records[:, 2] + 1
            records[:, 7] = idx
            data = records.tobytes()
            crc = zlib.crc32(data, crc)
            f.write(data)
        f.seek(0)
        f.write(struct.pack("<IHHQQII", 0x4B544D54, 2, 0, n, 1, crc, 0))


class Nothing:
    def on_tick(self, ctx):
        return None

    def on_batch(self, ticks):
        return None


def bench_zlib(size: int = 512 << 10, rounds: int = 256) -> None:
    """zlib.crc32 over one 512 KiB block, the size the tick reader checks at a time."""
    data = os.urandom(size)

    def run() -> None:
        crc = 0
        for _ in range(rounds):
            crc = zlib.crc32(data, crc)

    seconds = median_seconds(run)
    emit("zlib.crc32", size * rounds / seconds / 1e9, "GB/s")


def bench_file_throughput(path: str, n: int) -> None:
    source = tm.load_ticks(path)
    strategy = Nothing()
    tm.run_backtest(strategy, source, 100_000, batch=n + 1)  # warm the page cache
    seconds = median_seconds(lambda: tm.run_backtest(strategy, source, 100_000, batch=n + 1))
    emit("python throughput over a file, Python never called", n * 64 / seconds / 1e9, "GB/s",
         ticks_per_second=n / seconds)


def bench_compat(ticks: list) -> None:
    strategy = Nothing()
    n = len(ticks)
    # The floor: a plain Python loop calling the same method once per tick.
    contexts = ticks  # prebuilt objects handed to the method

    def floor() -> None:
        method = strategy.on_tick
        for obj in contexts:
            method(obj)

    run, base, ratio = median_ratio(lambda: tm.run_backtest(strategy, ticks, 100_000), floor)
    emit("compatibility mode, ns per tick", run / n * 1e9, "ns", floor_ns=base / n * 1e9)
    emit("compatibility mode / plain Python loop", ratio, "x")


@contextlib.contextmanager
def counting_collections():
    """The generations of the cyclic collections that start inside the block."""
    collections = []

    def count(phase, info):
        if phase == "start":
            collections.append(info["generation"])

    gc.collect()
    gc.callbacks.append(count)
    try:
        yield collections
    finally:
        gc.callbacks.remove(count)


def bench_throughput(ticks: list) -> None:
    strategy = Nothing()
    n = len(ticks)
    with counting_collections() as collections:
        seconds = median_seconds(lambda: tm.run_backtest(strategy, ticks, 100_000, batch=4096))
    with counting_collections() as compat_collections:
        tm.run_backtest(strategy, ticks, 100_000)
    emit("throughput mode batch 4096", n / seconds / 1e6, "M ticks/s",
         gc_collections=len(collections), compat_gc_collections=len(compat_collections))
    # The same ticks from a tick file: no copy of the list before the run.
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "batch.tmtk")
        tm.save_ticks(path, ticks)
        source = tm.load_ticks(path)
        seconds = median_seconds(lambda: tm.run_backtest(strategy, source, 100_000, batch=4096))
    emit("throughput mode batch 4096 over a file", n / seconds / 1e6, "M ticks/s")


def bench_lookahead(ticks: list) -> None:
    class Signal:
        def __init__(self) -> None:
            self.i = 0

        def on_tick(self, ctx):
            self.i += 1
            if self.i % 50 == 0:
                return [tm.Order("buy" if self.i % 100 else "sell", 1)]
            return None

    points = 200
    report = tm.lookahead_check(lambda t: Signal(), ticks, 100_000, max_points=points)
    # The plain runs the check performs: the full series, then each checked prefix.
    signals = sorted({i - 1 for i in range(50, len(ticks) + 1, 50)})
    n = len(signals)
    picks = sorted({signals[i * (n - 1) // (points - 1)] for i in range(points)}) if n > points \
        else signals
    assert len(picks) == report.checked, (len(picks), report.checked)

    def plain() -> None:
        tm.run_backtest(Signal(), ticks, 100_000)
        for t in picks:
            tm.run_backtest(Signal(), ticks[: t + 1], 100_000)

    _, _, ratio = median_ratio(
        lambda: tm.lookahead_check(lambda t: Signal(), ticks, 100_000, max_points=points), plain)
    emit("lookahead_check / its plain runs", ratio, "x", points=report.checked)


def bench_memory(n: int) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "big.tmtk")
        write_file(path, n)
        # The baseline is the resident size just before the run; the kernel's
        # high-water mark is reset there (clear_refs 5), so the peak read after
        # the run is the run's own, not one left by the import or the file's writing.
        code = (
            "import tallowmarsh as tm\n"
            "def status(key):\n"
            "    for line in open('/proc/self/status'):\n"
            "        if line.startswith(key + ':'): return int(line.split()[1])\n"
            "class S:\n"
            "    def on_batch(self, ticks): return None\n"
            f"src = tm.load_ticks({path!r})\n"
            "base = status('VmRSS')\n"
            "open('/proc/self/clear_refs', 'w').write('5')\n"
            "r = tm.run_backtest(S(), src, 1000, batch=4096)\n"
            "peak = status('VmHWM')\n"
            "print(r.ticks, (peak - base) / 1024)\n"
        )
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             check=True).stdout.split()
        assert int(out[0]) == n
        emit(f"peak memory above baseline, run over {n:,} ticks", float(out[1]), "MB")


def main() -> None:
    global REPEATS
    parser = argparse.ArgumentParser()
    parser.add_argument("--ticks", type=int, default=2_000_000)
    parser.add_argument("--file-ticks", type=int, default=16_000_000)
    parser.add_argument("--memory-ticks", type=int, default=100_000_000)
    parser.add_argument("--lookahead-ticks", type=int, default=20_000)
    parser.add_argument("--repeats", type=int, default=REPEATS)
    parser.add_argument("--only", default="")
    args = parser.parse_args()
    REPEATS = max(1, args.repeats)
    want = lambda name: not args.only or name in args.only.split(",")  # noqa: E731

    ticks = [tm.Tick(i * 1000, 60_000 + i % 17, bid=60_000, ask=60_001, volume=i)
             for i in range(args.ticks)]
    if want("zlib"):
        bench_zlib()
    if want("file"):
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "ticks.tmtk")
            write_file(path, args.file_ticks)
            bench_file_throughput(path, args.file_ticks)
    if want("compat"):
        bench_compat(ticks)
    if want("throughput"):
        bench_throughput(ticks)
    if want("lookahead"):
        bench_lookahead(ticks[: args.lookahead_ticks])
    if want("memory"):
        bench_memory(args.memory_ticks)


if __name__ == "__main__":
    main()
