"""CSV import of a trades file: import_csv against pandas.read_csv + conversion + save_ticks.

Writes a headerless trades file of about --megabytes MB (id, price, qty, quote_qty, time,
is_buyer_maker; millisecond times; a 0.01 tick and a 0.001 lot), then times both paths over
it, alternating them, and prints JSON lines for bench/run_all.py: import_csv's rate in MB/s
of input and the ratio of the pandas path's time to import_csv's. Times are wall-clock
(import_csv reads each file on a thread of its own while the calling thread merges and
writes, so the calling thread's CPU time would leave work out); run it on an otherwise idle
machine. The ratio is the median of the ratios of runs timed one after the other. The
pandas path converts with binary floating point, as a user would; it is the baseline, not
an exact import. pandas is a benchmark-only dependency.

    python bench/csv_import_bench.py [--megabytes 200] [--repeats 5]
"""

from __future__ import annotations

import argparse
import json
import os
import random
import statistics
import tempfile
import time

import numpy as np

import tallowmarsh as tm


def write_trades(path: str, megabytes: int) -> int:
    rng = random.Random(7)
    price, when, lines = 3_000_000, 1_700_000_000_000, []
    size, i = 0, 0
    with open(path, "w") as f:
        while size < megabytes * 1_000_000:
            lines.clear()
            for _ in range(100_000):
                price = max(100, price + rng.choice((-3, -1, 0, 0, 1, 3)))
                when += rng.choice((0, 1, 1, 2))
                qty = rng.randint(1, 50_000)
                lines.append(f"{i},{price // 100}.{price % 100:02d},{qty // 1000}.{qty % 1000:03d},"
                             f"{price * qty // 100_000}.{rng.randint(0, 99):02d},{when},"
                             f"{'true' if qty & 1 else 'false'}\n")
                i += 1
            text = "".join(lines)
            f.write(text)
            size += len(text)
    return size


def with_pandas(src: str, dest: str) -> None:
    import pandas as pd

    frame = pd.read_csv(src, header=None, usecols=[1, 2, 4], names=["price", "qty", "time"],
                        dtype={"price": "float64", "qty": "float64", "time": "int64"})
    ticks = np.zeros((len(frame), 8), dtype=np.int64)
    ticks[:, 0] = frame["time"].to_numpy() * 1_000_000
    ticks[:, 1] = ticks[:, 0]
    ticks[:, 2] = np.rint(frame["price"].to_numpy() / 0.01).astype(np.int64)
    ticks[:, 3] = ticks[:, 4] = ticks[:, 2]
    ticks[:, 7] = np.cumsum(np.rint(frame["qty"].to_numpy() / 0.001).astype(np.int64))
    tm.save_ticks(dest, ticks)


def with_module(src: str, dest: str) -> None:
    tm.import_csv(src, dest, tick_size="0.01", lot_size="0.001", layout="trades",
                  time_unit="ms", emit="trades")


def timed(fn, output: str) -> float:
    # Each run writes a new file: replacing the previous run's output would time the
    # kernel freeing its pages, the same for both paths and part of neither.
    if os.path.exists(output):
        os.unlink(output)
    started = time.perf_counter()
    fn(output)
    return time.perf_counter() - started


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megabytes", type=int, default=200)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    # In memory where there is a RAM file system, as for the arrays bench: the figures
    # are about parsing and converting, not about the disk both paths flush to.
    shm = "/dev/shm" if os.path.isdir("/dev/shm") else None
    with tempfile.TemporaryDirectory(dir=shm) as tmp:
        src = os.path.join(tmp, "trades.csv")
        size = write_trades(src, args.megabytes)
        try:
            import pandas  # noqa: F401
        except ImportError:
            pandas = None
        ours, theirs = [], []
        for _ in range(max(1, args.repeats)):
            ours.append(timed(lambda out: with_module(src, out), os.path.join(tmp, "a.tmtk")))
            if pandas is not None:
                theirs.append(timed(lambda out: with_pandas(src, out), os.path.join(tmp, "b.tmtk")))
        figures = [("csv import of trades", size / 1e6 / statistics.median(ours), "MB/s")]
        if theirs:
            # The median of each pair's ratio: a burst of load from other processes
            # slows the two runs of one pair alike, instead of one path's median.
            figures.append(("pandas path / csv import",
                            statistics.median(b / a for a, b in zip(ours, theirs)), "x"))
        extra = {"pandas_mbps": size / 1e6 / statistics.median(theirs)} if theirs else {}
        for figure, value, unit in figures:
            print(json.dumps({"figure": figure, "value": value, "unit": unit,
                              "megabytes": round(size / 1e6), **extra}), flush=True)


if __name__ == "__main__":
    main()
