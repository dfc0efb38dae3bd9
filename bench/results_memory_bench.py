"""Memory of a run that records one equity sample per tick, against the raw records.

    python bench/results_memory_bench.py [--samples 10000000]

Runs a do-nothing strategy over a tick file with equity_every=1 in a fresh
process and prints two JSON lines: the resident memory the result keeps, and the
run's peak, each divided by the raw size of the samples (three int64 a sample).
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from module_bench import emit, write_file  # noqa: E402

CODE = """
import tallowmarsh as tm
def status(key):
    for line in open('/proc/self/status'):
        if line.startswith(key + ':'): return int(line.split()[1]) * 1024
class S:
    def on_batch(self, ticks): return None
src = tm.load_ticks({path!r})
base = status('VmRSS')
open('/proc/self/clear_refs', 'w').write('5')
r = tm.run_backtest(S(), src, 1000, batch=4096, equity_every=1)
raw = 24 * len(r.equity_curve.equity)
print(len(r.equity_curve.equity), (status('VmRSS') - base) / raw, (status('VmHWM') - base) / raw)
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=10_000_000)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "samples.tmtk")
        write_file(path, args.samples)
        out = subprocess.run([sys.executable, "-c", CODE.format(path=path)], capture_output=True,
                             text=True, check=True).stdout.split()
    assert int(out[0]) == args.samples
    emit("result memory / raw equity samples", float(out[1]), "x", samples=args.samples)
    emit("run peak memory / raw equity samples", float(out[2]), "x", samples=args.samples)


if __name__ == "__main__":
    main()
