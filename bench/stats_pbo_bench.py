"""Speed of probability_of_backtest_overfitting, beside NumPy evaluations of the
same algorithm on the same input (a list of return lists, one per
configuration), which must give the same probability.

Prints one JSON object per line: {"figure": ..., "value": ..., "unit": ...}.
Every time is the median of several repetitions, in CPU time of the calling
thread, which does all the work measured (the machine is shared: wall time would
count the other processes too, and process time NumPy's idle BLAS threads).

    python bench/stats_pbo_bench.py [--repeats N] [--skip-large]
"""

from __future__ import annotations

import argparse
import itertools
import json
import math
import statistics
import time

import numpy as np

import tallowmarsh as tm

EPS = 2.220446049250313e-16


def emit(figure: str, value: float, unit: str, **extra) -> None:
    print(json.dumps({"figure": figure, "value": value, "unit": unit, **extra}), flush=True)


def median_seconds(fn, repeats: int) -> tuple[float, object]:
    times, result = [], None
    for _ in range(repeats):
        started = time.thread_time()
        result = fn()
        times.append(time.thread_time() - started)
    return statistics.median(times), result


def block_stats(columns, n_blocks):
    """Per block and configuration: period count, sum, sum of squares, min, max."""
    m = np.asarray(columns, dtype=float).T  # periods x configs
    n_periods = m.shape[0]
    block_of = np.minimum(n_blocks - 1, np.arange(n_periods) * n_blocks // n_periods)
    starts = np.flatnonzero(np.r_[True, block_of[1:] != block_of[:-1]])
    counts = np.diff(np.r_[starts, n_periods])
    return (counts, np.add.reduceat(m, starts, axis=0), np.add.reduceat(m * m, starts, axis=0),
            np.minimum.reduceat(m, starts, axis=0), np.maximum.reduceat(m, starts, axis=0))


def sharpe(s, q, lo, hi, n):
    mean = s / n
    var = (q - mean * (mean * n)) / (n - 1)
    with np.errstate(invalid="ignore", divide="ignore"):
        ratio = mean / np.sqrt(var)
    return np.where((var > 0) & (lo < hi), ratio, -np.inf)


def logits_of(is_, oos, n_configs):
    """Rows are combinations: winner by first maximum, rank among the others."""
    w = np.argmax(is_, axis=1)
    target = oos[np.arange(len(w)), w][:, None]
    below = (oos < target).sum(axis=1)
    ties = (oos == target).sum(axis=1) - 1
    omega = np.clip((below + 0.5 * ties + 1) / (n_configs + 1), EPS, 1 - EPS)
    return np.log(omega / (1 - omega))


def numpy_per_combination(columns, n_blocks):
    """Vectorised over configurations, one combination at a time."""
    counts, sums, squares, lows, highs = block_stats(columns, n_blocks)
    n_configs = sums.shape[1]
    overfit = total = 0
    everything = set(range(n_blocks))
    for chosen in itertools.combinations(range(n_blocks), n_blocks // 2):
        rest = sorted(everything.difference(chosen))
        sides = []
        for blocks in (list(chosen), rest):
            sides.append(sharpe(sums[blocks].sum(axis=0), squares[blocks].sum(axis=0),
                                lows[blocks].min(axis=0), highs[blocks].max(axis=0), float(counts[blocks].sum())))
        if not (np.isfinite(sides[0]).any() and np.isfinite(sides[1]).any()):
            raise ValueError("sample has zero variance; Sharpe ratio is undefined")
        overfit += int(logits_of(sides[0][None, :], sides[1][None, :], n_configs)[0] <= 0)
        total += 1
    return overfit / total


def numpy_all_combinations(columns, n_blocks, chunk=20000):
    """Vectorised over combinations as well, a chunk of combinations at a time."""
    counts, sums, squares, lows, highs = block_stats(columns, n_blocks)
    n_configs = sums.shape[1]
    combos = np.array(list(itertools.combinations(range(n_blocks), n_blocks // 2)), dtype=np.int64)
    mask = np.zeros((len(combos), n_blocks), dtype=bool)
    mask[np.arange(len(combos))[:, None], combos] = True
    rests = np.nonzero(~mask)[1].reshape(len(combos), n_blocks // 2)
    overfit = 0
    for start in range(0, len(combos), chunk):
        sides = []
        for idx in (combos[start:start + chunk], rests[start:start + chunk]):
            n = counts[idx].sum(axis=1).astype(float)[:, None]
            sides.append(sharpe(sums[idx].sum(axis=1), squares[idx].sum(axis=1),
                                lows[idx].min(axis=1), highs[idx].max(axis=1), n))
        if not (np.isfinite(sides[0]).any(axis=1).all() and np.isfinite(sides[1]).any(axis=1).all()):
            raise ValueError("sample has zero variance; Sharpe ratio is undefined")
        overfit += int((logits_of(sides[0], sides[1], n_configs) <= 0).sum())
    return overfit / len(combos)


def matrix(seed, n_configs, n_periods):
    rng = np.random.default_rng(seed)
    return (rng.normal(0.0002, 0.01, (n_configs, n_periods)) + rng.normal(0, 0.0005, (n_configs, 1))).tolist()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--skip-large", action="store_true", help="skip the 24-block case")
    args = parser.parse_args()

    columns = matrix(1, 50, 2000)
    ours, p = median_seconds(lambda: tm.probability_of_backtest_overfitting(columns, 16), args.repeats)
    per_combo, p_loop = median_seconds(lambda: numpy_per_combination(columns, 16), max(1, args.repeats // 2))
    all_at_once, p_all = median_seconds(lambda: numpy_all_combinations(columns, 16), args.repeats)
    if not (p == p_loop == p_all):
        raise SystemExit(f"results differ: module {p!r}, numpy per combination {p_loop!r}, all at once {p_all!r}")
    emit("pbo_16x50x2000_module", ours, "s", pbo=p)
    emit("pbo_16x50x2000_numpy_per_combination", per_combo, "s")
    emit("pbo_16x50x2000_numpy_all_combinations", all_at_once, "s")
    emit("pbo_16x50x2000_speedup_vs_numpy_per_combination", per_combo / ours, "x")
    emit("pbo_16x50x2000_speedup_vs_numpy_all_combinations", all_at_once / ours, "x")

    if not args.skip_large:
        columns = matrix(2, 20, 4800)
        large, p = median_seconds(lambda: tm.probability_of_backtest_overfitting(columns, 24), args.repeats)
        emit("pbo_24x20x4800_module", large, "s", pbo=p, combinations=math.comb(24, 12))


if __name__ == "__main__":
    main()
