"""Benchmarks of ticks as arrays: runs over an (n, 8) int64 array against the same
ticks as a tick file, two threads running such runs at once, arrays written to a file
against numpy's own write plus zlib.crc32, and the TickWriter's memory over a long file.

Prints one JSON object per line: {"figure": ..., "value": ..., "unit": ...}, read by
bench/run_all.py. Single-thread figures are medians of CPU time of the calling thread,
measured in turn with what they are compared to; the two-thread figure is wall time,
since it measures running in parallel, and comes with the same ratio for plain C code
streaming the same array (machine_ceiling): what two threads can get from the machine. The
write figures are wall time too, on both sides, since the module writes a long array on two
threads (one checks, copies and checksums while the other writes) and the calling thread's
CPU time would leave the other out; beside them come numpy's tofile rate alone and that of
plain os.write calls of 1 MB from a page-aligned buffer, the ceiling of any writer here.

    python bench/arrays_bench.py [--ticks N] [--writer-ticks N] [--repeats N]
"""

from __future__ import annotations

import argparse
import json
import mmap
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import zlib

import numpy as np

import tallowmarsh as tm

REPEATS = 5


def emit(figure: str, value: float, unit: str, **extra) -> None:
    print(json.dumps({"figure": figure, "value": value, "unit": unit, **extra}), flush=True)


def seconds(fn, clock=time.thread_time, before=None) -> float:
    if before is not None:
        before()
    started = clock()
    fn()
    return clock() - started


def median_ratio(fn, base, clock=time.thread_time, before=None) -> tuple[float, float, float]:
    """fn and base timed in turn, each after `before` if given (untimed); the medians of
    fn's time, base's, and their ratios."""
    pairs = [(seconds(fn, clock, before), seconds(base, clock, before))
             for _ in range(REPEATS)]
    return (statistics.median(a for a, _ in pairs), statistics.median(b for _, b in pairs),
            statistics.median(a / b for a, b in pairs))


def series(n: int) -> np.ndarray:
    a = np.zeros((n, 8), dtype=np.int64)
    a[:, 0] = np.arange(n, dtype=np.int64) * 1000
    a[:, 1] = a[:, 0]
    a[:, 2] = 60_000 + np.arange(n, dtype=np.int64) % 17
    a[:, 5], a[:, 6] = a[:, 2] - 1, a[:, 2] + 1
    a[:, 7] = np.arange(n, dtype=np.int64)
    return a


class Never:
    """A strategy that a run with a batch longer than the series never calls."""

    def on_batch(self, ticks):
        raise AssertionError("called")


def bench_runs(a: np.ndarray, directory: str) -> None:
    n = len(a)
    path = os.path.join(directory, "run.tmtk")
    tm.save_ticks(path, a)
    source = tm.load_ticks(path)
    run = lambda ticks: tm.run_backtest(Never(), ticks, 100_000, batch=n + 1)  # noqa: E731
    array_s, file_s, ratio = median_ratio(lambda: run(a), lambda: run(source))
    emit("run over an (n, 8) array / over the same tick file", 1 / ratio, "x",
         array_mticks=n / array_s / 1e6, file_mticks=n / file_s / 1e6)

    # Each thread runs enough runs to last about half a second, so that thread
    # start-up and the first touch of memory do not weigh in the ratio. Beside
    # it, alternating with it, the same ratio for plain C code that streams the
    # same bytes without the interpreter lock (numpy's sum over the array, as
    # long as one thread's runs): what two threads reading memory get from this
    # machine then, both its free cores and its memory bandwidth.
    rounds = max(1, round(0.5 / max(array_s, 1e-3)))
    sums = max(1, round(rounds * array_s / seconds(a.sum)))
    ours, ceiling = two_threads_over_serial(lambda: [run(a) for _ in range(rounds)],
                                            lambda: [a.sum() for _ in range(sums)])
    emit("two threads running array runs / the same runs in turn", ours[0], "x",
         serial_s=ours[1], runs_per_thread=rounds, machine_ceiling=ceiling[0])


def two_threads_over_serial(*works) -> list[tuple[float, float]]:
    """For each work: the median over several tries of the wall time of the work
    on two threads at once over the work twice in turn, and the median serial
    time. The works take turns within each try."""

    def serial(work) -> None:
        work()
        work()

    def parallel(work) -> None:
        threads = [threading.Thread(target=work) for _ in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    pairs = [[(seconds(lambda: parallel(w), time.perf_counter),
               seconds(lambda: serial(w), time.perf_counter)) for w in works]
             for _ in range(REPEATS)]
    return [(statistics.median(t[i][0] / t[i][1] for t in pairs),
             statistics.median(t[i][1] for t in pairs)) for i in range(len(works))]


def bench_write(a: np.ndarray, directory: str) -> None:
    path = os.path.join(directory, "write.tmtk")
    wall = time.perf_counter

    def writer() -> None:
        with tm.TickWriter(path) as w:
            w.write(a)

    def numpy_write() -> None:
        a.tofile(path + ".npy")
        zlib.crc32(a)

    piece = mmap.mmap(-1, 1 << 20)  # page-aligned
    piece.write(b"\1" * len(piece))

    def raw_write() -> None:
        fd = os.open(path + ".raw", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        try:
            for _ in range(a.nbytes // len(piece)):
                os.write(fd, piece)
        finally:
            os.close(fd)

    def remove_outputs() -> None:
        # Every write goes to a new file: replacing the previous run's output would
        # time the kernel freeing its pages, which is not writing these bytes.
        for name in (path, path + ".npy", path + ".raw"):
            if os.path.exists(name):
                os.unlink(name)

    ours, theirs, ratio = median_ratio(writer, numpy_write, wall, remove_outputs)
    saved, tofile, _ = median_ratio(lambda: tm.save_ticks(path, a),
                                    lambda: a.tofile(path + ".npy"), wall, remove_outputs)
    raw = statistics.median(seconds(raw_write, wall, remove_outputs) for _ in range(REPEATS))
    raw_bytes = a.nbytes // len(piece) * len(piece)
    emit("arrays to file, TickWriter", a.nbytes / ours / 1e9, "GB/s",
         save_ticks_gbps=a.nbytes / saved / 1e9, numpy_tofile_gbps=a.nbytes / tofile / 1e9,
         raw_write_gbps=raw_bytes / raw / 1e9)
    emit("arrays to file, TickWriter / numpy tofile + zlib.crc32", 1 / ratio, "x",
         numpy_gbps=a.nbytes / theirs / 1e9)


def bench_writer_memory(total: int, chunk: int) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "long.tmtk")
        # The baseline holds the one chunk the writer is fed, allocated before it
        # is taken; the kernel's high-water mark is reset there (clear_refs 5).
        code = (
            "import numpy as np, tallowmarsh as tm\n"
            "def status(key):\n"
            "    for line in open('/proc/self/status'):\n"
            "        if line.startswith(key + ':'): return int(line.split()[1])\n"
            f"chunk = np.zeros(({chunk}, 8), dtype=np.int64)\n"
            f"chunk[:, 0] = np.arange({chunk}); chunk[:, 2] = 60_000\n"
            "base = status('VmRSS')\n"
            "open('/proc/self/clear_refs', 'w').write('5')\n"
            f"with tm.TickWriter({path!r}) as w:\n"
            f"    for _ in range({total // chunk}):\n"
            "        w.write(chunk)\n"
            f"        chunk[:, 0] += {chunk}\n"
            "peak = status('VmHWM')\n"
            "print(w.count, (peak - base) / 1024)\n"
        )
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             check=True).stdout.split()
        emit(f"TickWriter peak memory above baseline, {int(out[0]):,} ticks in chunks of "
             f"{chunk:,}", float(out[1]), "MB")


def main() -> None:
    global REPEATS
    parser = argparse.ArgumentParser()
    parser.add_argument("--ticks", type=int, default=4_000_000)
    parser.add_argument("--writer-ticks", type=int, default=100_000_000)
    parser.add_argument("--chunk", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=REPEATS)
    args = parser.parse_args()
    REPEATS = max(1, args.repeats)
    a = series(args.ticks)
    # In memory where there is a RAM file system: the figures are about the module's
    # work, not about the disk.
    shm = "/dev/shm" if os.path.isdir("/dev/shm") else None
    with tempfile.TemporaryDirectory(dir=shm) as tmp:
        bench_runs(a, tmp)
        bench_write(a, tmp)
    bench_writer_memory(args.writer_ticks, args.chunk)


if __name__ == "__main__":
    main()
