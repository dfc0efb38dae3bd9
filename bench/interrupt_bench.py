"""How long Ctrl-C takes to stop each long-running call of the module.

Each entry point is started on the main thread with input large enough to run for
seconds; another process sends SIGINT after a short delay, and the wall time from the
signal to the KeyboardInterrupt is the entry's latency (bound: 0.5 s). Wall time, not CPU time: the latency is what a user waits. An entry that
ends before the signal is reported as such. Prints one JSON object per line:
{"figure": ..., "value": ..., "unit": ...}.

    python bench/interrupt_bench.py [--repeats N] [--only 'NAME;...']
"""
from __future__ import annotations

import argparse
import collections
import os
import select
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

import tallowmarsh as tm

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from module_bench import emit, write_file  # noqa: E402

BOUND = 0.5
AFTER = 0.3  # seconds from the start of the call to the signal


class Slow:
    """A strategy slow enough that a run over a few million ticks takes seconds."""

    def on_tick(self, ctx):
        sum(range(300))

    def on_batch(self, ticks):
        sum(range(300))

    name = "slow"


class Never:
    """A strategy whose batches are so large that Python is never called."""

    def on_batch(self, ticks):
        return None


# Sleeps until a time of the shared monotonic clock, sends SIGINT to a process
# and prints when it sent it.
SENDER = """
import os, signal, sys, time
pid, at = int(sys.argv[1]), float(sys.argv[2])
time.sleep(max(0.0, at - time.monotonic()))
sent = time.monotonic()
os.kill(pid, signal.SIGINT)
print(sent)
"""


def latency(call) -> float | None:
    """Seconds from SIGINT to KeyboardInterrupt, or None when the call ended first.

    The signal comes from another process, as Ctrl-C comes from the terminal: a
    thread of this process would need the interpreter lock to send it, and so
    could not send it while the call holds the lock.
    """
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    sender = subprocess.Popen(
        [sys.executable, "-c", SENDER, str(os.getpid()), str(time.monotonic() + AFTER)],
        stdout=subprocess.PIPE, text=True)
    ended = None
    try:
        call()
    except KeyboardInterrupt:
        ended = time.monotonic()
    finally:
        try:  # a call that ended first leaves the interrupt to be taken here
            out = sender.communicate()[0]
            time.sleep(0 if ended else 0.1)
        except KeyboardInterrupt:
            out = sender.communicate()[0]
        signal.signal(signal.SIGINT, previous)
    return None if ended is None or not out.strip() else ended - float(out)


def stalled_fifo(path: str, head: bytes) -> str:
    """`path` made a FIFO whose writer sends `head` to the first reader and then stalls
    until the reader closes it (or for a minute at most)."""
    if os.path.lexists(path):
        os.unlink(path)
    os.mkfifo(path)

    def writer():
        fd = os.open(path, os.O_WRONLY)  # returns once a reader has opened the FIFO
        try:
            os.write(fd, head)
            poller = select.poll()
            poller.register(fd, select.POLLERR)
            poller.poll(60_000)  # POLLERR: the reader closed its end
        finally:
            os.close(fd)

    threading.Thread(target=writer, daemon=True).start()
    return path


def stalled_run(tmp: str) -> None:
    """A run over a TickSource whose file became a FIFO that delivers the header and
    a hundred records, then nothing."""
    path = os.path.join(tmp, "stream.tmtk")
    tm.save_ticks(path, [tm.Tick(i, 100) for i in range(1, 10_001)])
    with open(path, "rb") as f:
        head = f.read(32 + 64 * 100)
    source = tm.load_ticks(path)
    stalled_fifo(path, head)
    tm.run_backtest(Never(), source, 1000, batch=2**40)


def entries(tmp: str) -> dict:
    tick = tm.Tick(1, 100, bid=99, ask=101)
    huge = [tick] * 30_000_000  # one object many times: the conversion walks every item
    ticks = [tm.Tick(i, 100 + i % 7, bid=99, ask=101) for i in range(2_000_000)]
    path = os.path.join(tmp, "ticks.tmtk")
    write_file(path, 8_000_000)
    source = tm.load_ticks(path)
    array = np.zeros((4_000_000, 8), dtype=np.int64)
    array[:, 0] = array[:, 1] = np.arange(4_000_000)
    array[:, 2] = 100
    csv = os.path.join(tmp, "trades.csv")
    with open(csv, "w") as f:
        for block in range(60):
            start = 1_700_000_000_000 + block * 100_000
            f.write("".join(f"{i},100.{i % 100:02d},1.000,100.00,{start + i},true\n"
                            for i in range(100_000)))
    rows = np.zeros((16_000_000, 8), dtype=np.int64)  # 1 GiB read in place: all writing
    deque = collections.deque(huge)
    floats = collections.deque([0.5, -0.25] * (len(huge) // 2))
    matrix = np.random.default_rng(1).normal(0, 1, (4800, 400)).tolist()
    return {
        "run_backtest per tick, list": lambda: tm.run_backtest(Slow(), ticks, 1000),
        "run_backtest batched, list": lambda: tm.run_backtest(Slow(), ticks, 1000, batch=2),
        "run_backtest batched, array": lambda: tm.run_backtest(Slow(), array, 1000, batch=2),
        "run_backtest batched, TickSource": lambda: tm.run_backtest(Slow(), source, 1000, 2),
        "run_backtest, 30 M-item list conversion":
            lambda: tm.run_backtest(Never(), huge, 1000, batch=2**40),
        "run_backtest, 30 M-item deque conversion":
            lambda: tm.run_backtest(Never(), deque, 1000, batch=2**40),
        "run_backtest, stalled FIFO": lambda: stalled_run(tmp),
        "compare_modes": lambda: tm.compare_modes(Slow, ticks, 1000, 64),
        "lookahead_check": lambda: tm.lookahead_check(lambda k: Slow(), ticks[:200_000], 1000),
        "sweep": lambda: tm.sweep(lambda k: Slow(), {"k": range(8)}, ticks, 1000),
        "save_ticks, 30 M-item list": lambda: tm.save_ticks(os.path.join(tmp, "s.tmtk"), huge),
        "TickWriter.write, 30 M-item list":
            lambda: tm.TickWriter(os.path.join(tmp, "w.tmtk")).write(huge),
        "save_ticks, 1 GiB array": lambda: tm.save_ticks(os.path.join(tmp, "s.tmtk"), rows),
        "TickWriter.write, 1 GiB array":
            lambda: tm.TickWriter(os.path.join(tmp, "w.tmtk")).write(rows),
        "load_ticks, stalled FIFO": lambda: tm.load_ticks(stalled_fifo(os.path.join(tmp, "stalled.fifo"), b"\0" * 16)),
        "import_csv, 360 MB": lambda: tm.import_csv(csv, os.path.join(tmp, "c.tmtk"),
                                                    tick_size="0.01", lot_size="0.001"),
        "moments, 30 M-item deque": lambda: tm.moments(floats),
        "probability_of_backtest_overfitting 400 x 24":
            lambda: tm.probability_of_backtest_overfitting(matrix, 24),
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--only", default="")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        for name, call in entries(tmp).items():
            if args.only and name not in args.only.split(";"):
                continue
            seen = [latency(call) for _ in range(max(1, args.repeats))]
            done = [s for s in seen if s is not None]
            if not done:
                emit(f"interrupt {name}", None, "s", note="ended before the signal")
                continue
            emit(f"interrupt {name}", statistics.median(done), "s", bound=BOUND,
                 worst=max(done), ended_first=len(seen) - len(done))


if __name__ == "__main__":
    main()
