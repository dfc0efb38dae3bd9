"""Every performance figure of the project in one run, side by side on one machine.

Runs the C++ benchmark executables of build/bench (Google Benchmark, JSON output,
repetitions reduced to their medians), bench/module_bench.py and
bench/stats_pbo_bench.py, then prints one table: each figure beside its floor and
its target, and whether the floor is met.

Rates are computed from CPU time (of the process for the C++ benchmarks, of the
calling thread in the Python scripts), not wall time: the machine is shared, and
wall time measures the other processes as much as this one. Every figure is the
median of its repetitions.

    python bench/run_all.py [--build build/bench] [--repetitions 5]
                            [--memory-ticks 100000000] [--writer-ticks 100000000]
                            [--skip-large-pbo] [--strict]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


@dataclass
class Figure:
    number: str
    name: str
    value: float | None
    unit: str
    floor: float | None
    target: float | None
    higher_is_better: bool = True
    note: str = ""

    def passed(self) -> bool | None:
        if self.value is None or self.floor is None:
            return None
        return self.value >= self.floor if self.higher_is_better else self.value <= self.floor


def google_benchmark(executable: Path, repetitions: int, pattern: str = "") -> dict[str, dict]:
    """Median aggregates of one benchmark executable, by benchmark name."""
    command = [str(executable), "--benchmark_format=json",
               f"--benchmark_repetitions={repetitions}",
               "--benchmark_report_aggregates_only=true"]
    if pattern:
        command.append(f"--benchmark_filter={pattern}")
    print(f"# {' '.join(command)}", file=sys.stderr, flush=True)
    out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    medians = {}
    for entry in json.loads(out)["benchmarks"]:
        # One repetition reports the run itself, several only their aggregates.
        if entry.get("aggregate_name") == "median" or entry.get("run_type") == "iteration":
            medians[entry.get("run_name", entry["name"])] = entry
    return medians


def python_lines(script: Path, *args: str) -> dict[str, dict]:
    """The JSON lines a Python benchmark script prints, by figure name."""
    command = [sys.executable, str(script), *args]
    print(f"# {' '.join(command)}", file=sys.stderr, flush=True)
    out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    found = {}
    for line in out.splitlines():
        line = line.strip()
        if line.startswith("{"):
            entry = json.loads(line)
            found[entry["figure"]] = entry
    return found


def rate(entry: dict | None, key: str, scale: float) -> float | None:
    if entry is None or key not in entry:
        return None
    return entry[key] / scale


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build" / "bench"),
                        help="the build directory holding bench/ (default build/bench)")
    parser.add_argument("--repetitions", type=int, default=5)
    parser.add_argument("--memory-ticks", type=int, default=100_000_000,
                        help="ticks in the file of the memory figure (64 bytes each, "
                             "written to the temporary directory)")
    parser.add_argument("--writer-ticks", type=int, default=100_000_000,
                        help="ticks the TickWriter memory figure writes, in chunks of 1 M "
                             "(64 bytes each, to the temporary directory)")
    parser.add_argument("--skip-large-pbo", action="store_true",
                        help="skip the 24-block overfitting case")
    parser.add_argument("--csv-megabytes", type=int, default=200,
                        help="size of the trades file of the CSV import figures")
    parser.add_argument("--json", help="also write every figure to this file")
    parser.add_argument("--strict", action="store_true",
                        help="exit with status 1 when a figure misses its floor")
    args = parser.parse_args()

    bench_dir = Path(args.build) / "bench"
    reps = max(1, args.repetitions)
    run = google_benchmark(bench_dir / "backtest_run_bench", reps, "BM_RunStreamNoOpL0")
    engine_file = rate(run.get("BM_RunStreamNoOpL0File"), "bytes_per_second", 1e9)
    data = google_benchmark(bench_dir / "data_ticks_bench", reps)
    module = python_lines(ROOT / "bench" / "module_bench.py", f"--repeats={reps}",
                          f"--memory-ticks={args.memory_ticks}")
    pbo_args = [f"--repeats={reps}"] + (["--skip-large"] if args.skip_large_pbo else [])
    pbo = python_lines(ROOT / "bench" / "stats_pbo_bench.py", *pbo_args)
    venue = google_benchmark(bench_dir / "venue_costs_bench", reps)
    depth_run = google_benchmark(bench_dir / "depth_run_bench", reps)
    plain_l0 = rate(venue.get("BM_VenuePlainL0"), "items_per_second", 1e6)
    kept = python_lines(ROOT / "bench" / "results_memory_bench.py", "--samples=10000000")
    sweeps = python_lines(ROOT / "bench" / "sweep_bench.py", f"--repeats={min(reps, 3)}")
    edge = python_lines(ROOT / "bench" / "edge_bench.py", f"--repeats={reps}")
    arrays = python_lines(ROOT / "bench" / "arrays_bench.py", f"--repeats={reps}",
                          f"--writer-ticks={args.writer_ticks}")
    writer_memory = next((v for k, v in arrays.items() if k.startswith("TickWriter peak")), {})
    threads = arrays.get("two threads running array runs / the same runs in turn", {})
    written = arrays.get("arrays to file, TickWriter", {})
    csv = python_lines(ROOT / "bench" / "csv_import_bench.py", f"--repeats={reps}",
                       f"--megabytes={args.csv_megabytes}")
    orders = python_lines(ROOT / "bench" / "orders_bench.py", f"--repeats={reps}")
    interrupts = python_lines(ROOT / "bench" / "interrupt_bench.py", "--repeats=1")

    reader = rate(data.get("BM_ReaderWithChecksum"), "bytes_per_second", 1e9)
    raw = rate(data.get("BM_RawBlockReads"), "bytes_per_second", 1e9)
    clmul = rate(data.get("BM_Crc32/524288"), "bytes_per_second", 1e9)
    clmul_large = rate(data.get("BM_Crc32/67108864"), "bytes_per_second", 1e9)
    clmul_narrow = rate(data.get("BM_Crc32CarryLessMultiply/524288"), "bytes_per_second", 1e9)
    portable = rate(data.get("BM_Crc32Portable/524288"), "bytes_per_second", 1e9)
    zlib = module.get("zlib.crc32", {}).get("value")
    file_py = module.get("python throughput over a file, Python never called", {}).get("value")
    compat_ns = module.get("compatibility mode, ns per tick", {}).get("value")
    compat_x = module.get("compatibility mode / plain Python loop", {}).get("value")
    batch = module.get("throughput mode batch 4096", {})
    memory = next((v for k, v in module.items() if k.startswith("peak memory")), {})
    lookahead = module.get("lookahead_check / its plain runs", {}).get("value")
    pbo_speedup = pbo.get("pbo_16x50x2000_speedup_vs_numpy_per_combination", {}).get("value")
    pbo_speedup_all = pbo.get("pbo_16x50x2000_speedup_vs_numpy_all_combinations",
                              {}).get("value")
    pbo_large = pbo.get("pbo_24x20x4800_module", {}).get("value")

    def ratio(a, b):
        return None if a is None or b is None or b == 0 else a / b

    figures = [
        Figure("1", "run_stream L0, no-op strategy, in memory",
               rate(run.get("BM_RunStreamNoOpL0"), "items_per_second", 1e6), "M ticks/s", 60, 100),
        Figure("2", "TickReader with checksum, page cache", reader, "GB/s", 3.0, raw,
               note=f"target: raw 512 KiB reads {raw:.1f} GB/s" if raw else ""),
        Figure("2", "CRC-32 carry-less multiply, 512 KiB", clmul, "GB/s", 8.0, None,
               note=(f"64 MiB: {clmul_large:.1f} GB/s; 128-bit lanes: {clmul_narrow:.1f} GB/s"
                     if clmul_large and clmul_narrow else "")),
        Figure("2", "CRC-32 carry-less / zlib.crc32", ratio(clmul, zlib), "x", 10.0, None,
               note=f"zlib.crc32 {zlib:.2f} GB/s" if zlib else ""),
        Figure("2", "CRC-32 portable, 512 KiB", portable, "GB/s", 2.0, None),
        Figure("3", "Python throughput mode over a file / figure 2", ratio(file_py, reader),
               "x", 0.8, 1.0,
               note=(f"{file_py:.2f} GB/s; C++ run_stream over the file {engine_file:.2f} GB/s"
                     if file_py and engine_file else "")),
        Figure("4", "compatibility mode / plain Python loop", compat_x, "x", 2.5, None,
               higher_is_better=False),
        Figure("4", "compatibility mode per tick", compat_ns, "ns", None, 150,
               higher_is_better=False,
               note="" if compat_ns is None else
               ("target met" if compat_ns <= 150 else "target not met")),
        Figure("5", "throughput mode, batch 4096, from a list", batch.get("value"), "M ticks/s",
               25, None,
               note=f"gc collections {batch.get('gc_collections')}" if batch else ""),
        Figure("5", "throughput mode, batch 4096, from a file",
               module.get("throughput mode batch 4096 over a file", {}).get("value"),
               "M ticks/s", 25, None),
        Figure("5", "cyclic collections during runs in both modes",
               None if not batch else
               float(batch.get("gc_collections", 0) + batch.get("compat_gc_collections", 0)),
               "", 0, 0, higher_is_better=False),
        Figure("6", f"peak memory over {args.memory_ticks:,} ticks", memory.get("value"), "MB",
               64, None, higher_is_better=False),
        Figure("9", "result memory / raw records, 10 M equity samples",
               kept.get("result memory / raw equity samples", {}).get("value"), "x", 1.2, None,
               higher_is_better=False),
        Figure("9", "run peak memory / raw records, 10 M equity samples",
               kept.get("run peak memory / raw equity samples", {}).get("value"), "x", 1.2,
               None, higher_is_better=False),
        Figure("7", "overfitting 16x50x2000, NumPy per combination / ours", pbo_speedup, "x",
               20, None),
        Figure("7", "overfitting 16x50x2000, NumPy all combinations / ours", pbo_speedup_all,
               "x", 20, None),
        Figure("7", "overfitting 24x20x4800", pbo_large, "s", 2.0, None, higher_is_better=False),
        Figure("8", "lookahead_check / its 201 plain runs", lookahead, "x", 1.2, None,
               higher_is_better=False),
        Figure("9", "sweep of 16 on 2 threads / serial", sweeps.get("sweep_threads", {}).get(
               "value"), "x", 0.6, None, higher_is_better=False,
               note=f"{sweeps['sweep_threads']['strategy']}, serial "
               f"{sweeps['sweep_threads']['serial_s']:.1f} s; lock-free work on 2 threads "
               f"{sweeps['sweep_threads']['machine_ceiling']:.2f}x" if "sweep_threads" in sweeps
               else ""),
        Figure("9", "the same sweep, strategy in the list form", sweeps.get(
               "sweep_threads_list", {}).get("value"), "x", None, None, higher_is_better=False,
               note="its Python work per tick holds the interpreter lock"),
        Figure("9", "sweep of 16 on a 2-process LocalCluster / serial",
               sweeps.get("sweep_cluster", {}).get("value"), "x", 0.75, None,
               higher_is_better=False,
               note=f"cluster start-up {sweeps['sweep_cluster']['startup_s']:.1f} s excluded"
               if "sweep_cluster" in sweeps else ""),
        Figure("9", "progress on / off, 20 M-tick file run", sweeps.get("progress", {}).get(
               "value"), "%", 1.0, None, higher_is_better=False),
        Figure("12", "run over an (n, 8) array / the same ticks as a file, Python never called",
               arrays.get("run over an (n, 8) array / over the same tick file", {}).get("value"),
               "x", 0.9, None),
        Figure("12", "two threads running array runs / serial",
               threads.get("value"), "x", 0.6, None, higher_is_better=False,
               note=f"numpy's sum over the array, the same way: {threads['machine_ceiling']:.2f}x"
               if "machine_ceiling" in threads else ""),
        # The floor holds for either way of writing arrays; both are shown.
        Figure("12", "arrays to file, TickWriter",
               written.get("value"), "GB/s", 2.0, None,
               note=f"wall time; os.write of 1 MB pieces, this machine's page-cache ceiling: "
               f"{written.get('raw_write_gbps', 0):.2f} GB/s; numpy tofile "
               f"{written['numpy_tofile_gbps']:.2f} GB/s" if "numpy_tofile_gbps" in written
               else ""),
        Figure("12", "arrays to file, save_ticks",
               written.get("save_ticks_gbps"), "GB/s", 2.0, None, note="wall time"),
        Figure("12", "arrays to file, TickWriter / numpy tofile + zlib.crc32",
               arrays.get("arrays to file, TickWriter / numpy tofile + zlib.crc32", {}).get(
                   "value"), "x", 0.8, None),
        Figure("12", f"TickWriter peak memory, {args.writer_ticks:,} ticks in 1 M chunks",
               writer_memory.get("value"), "MB", 64, None, higher_is_better=False,
               note="above a baseline holding the chunk"),
        Figure("12", "CSV import of a trades file",
               csv.get("csv import of trades", {}).get("value"), "MB/s", 150, None),
        Figure("12", "pandas read_csv + conversion + save_ticks / CSV import",
               csv.get("pandas path / csv import", {}).get("value"), "x", 3.0, None,
               note="" if "pandas path / csv import" in csv else "pandas not installed"),
        Figure("11", "L0 with fees and funding / plain L0, no-op strategy",
               ratio(rate(venue.get("BM_VenueFeesFundingL0"), "items_per_second", 1e6),
                     plain_l0), "x", 0.8, None,
               note=f"plain L0 {plain_l0:.0f} M ticks/s" if plain_l0 else ""),
        Figure("11", "L1 with latency, queue and impact / plain L0, no-op strategy",
               ratio(rate(venue.get("BM_VenueFullL1"), "items_per_second", 1e6), plain_l0),
               "x", 0.5, None),
        Figure("11", "L2 engine, a depth update every 4 ticks",
               rate(venue.get("BM_L2DepthEveryFourTicks"), "items_per_second", 1e6),
               "M ticks+updates/s", 20, None),
        Figure("11", "L2 run, depth merged from memory, a depth update every 4 ticks",
               rate(depth_run.get("BM_L2RunDepthFromMemory"), "items_per_second", 1e6),
               "M ticks+updates/s", None, None),
        Figure("11", "L2 run, depth streamed from a depth file, an update every 4 ticks",
               rate(depth_run.get("BM_L2RunDepthFromFile"), "items_per_second", 1e6),
               "M ticks+updates/s", None, None),
        Figure("10", "compatibility mode, trivial on_tick / plain loop",
               edge.get("edge compat trivial / plain loop", {}).get("value"), "x", 2.0, None,
               higher_is_better=False),
        Figure("10", "compatibility mode, trivial on_tick, per tick",
               edge.get("edge compat trivial ns per tick", {}).get("value"), "ns", 80, None,
               higher_is_better=False),
        Figure("10", "compatibility mode, EMA crossover / plain loop over contexts",
               edge.get("edge compat EMA crossover / plain loop", {}).get("value"), "x", 1.3,
               None, higher_is_better=False),
        Figure("10", "another thread's progress during a compat run / idle",
               edge.get("edge other thread's share during a compat run", {}).get("value"), "x",
               0.35, 0.5),
        Figure("10", "batch 4096, list form, from a list",
               edge.get("edge batch 4096 list form, from a list", {}).get("value"), "M ticks/s",
               40, None),
        Figure("10", "batch 4096, array form / never called, from a file",
               edge.get("edge batch 4096 array form / never called, from a file", {}).get(
                   "value"), "x", 0.7, 1.0),
        Figure("10", "batch 4096, array form / never called, from an array",
               edge.get("edge batch 4096 array form / never called, from an array", {}).get(
                   "value"), "x", 0.7, 1.0),
        Figure("10", "moments over 1 M float64, NumPy / ours",
               edge.get("edge numpy / moments over 1 M float64", {}).get("value"), "x", 3.0,
               None),
        Figure("10", "overfitting 16x50x2000 numpy matrix, NumPy / ours",
               edge.get("edge numpy / overfitting 16x50x2000 matrix", {}).get("value"), "x", 10.0,
               None),
    ]
    # Per-order time with 100,000 orders in one return over that with 1,000.
    figures += [Figure("-", name.removeprefix("orders "), entry.get("value"), "x", 2.0, None,
                       higher_is_better=False)
                for name, entry in orders.items() if " / " in name]
    # Wall time from SIGINT to KeyboardInterrupt, per entry point.
    figures += [Figure("-", f"Ctrl-C latency, {name.removeprefix('interrupt ')}",
                       entry.get("value"), "s", 0.5, None, higher_is_better=False,
                       note=entry.get("note", ""))
                for name, entry in interrupts.items()]

    def show(v: float | None) -> str:
        if v is None:
            return "-"
        return f"{v:.3g}" if abs(v) < 1000 else f"{v:,.0f}"

    rows = [("#", "figure", "median", "unit", "floor", "target", "", "")]
    for f in figures:
        mark = {True: "pass", False: "MISS", None: "-"}[f.passed()]
        bound = "" if f.higher_is_better or f.floor is None else "<= "
        rows.append((f.number, f.name, show(f.value), f.unit, bound + show(f.floor),
                     show(f.target), mark, f.note))
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    for r in rows:
        print("  ".join(cell.rjust(w) if i in (2, 4, 5) else cell.ljust(w)
                        for i, (cell, w) in enumerate(zip(r, widths))).rstrip())
    if args.json:
        Path(args.json).write_text(json.dumps([f.__dict__ for f in figures], indent=1,
                                              default=str))
    missed = [f for f in figures if f.passed() is False]
    if missed:
        print(f"{len(missed)} of {len(figures)} figures below their floor")
    return 1 if missed and args.strict else 0


if __name__ == "__main__":
    os.chdir(ROOT)
    sys.exit(main())
