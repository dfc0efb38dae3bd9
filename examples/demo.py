"""What tallowmarsh does, end to end, on data it makes itself.

    make demo                 # or: python examples/demo.py [--ticks N]

1. Generates a synthetic BTC-perpetual-like tick file once (examples/data/).
2. Runs the example strategies over the file, per tick and batched, and prints each
   RunResult with the ticks per second achieved.
3. Compares the per-tick and batched crossover with compare_modes.
4. Checks an honest and a dishonest strategy for lookahead bias, and runs a market
   maker at L1 without costs and at a perpetual venue (fees, funding) side by side.
5. Sweeps the crossover's parameters and judges the best configuration: Sharpe
   ratio, moments, probabilistic and deflated Sharpe ratio, minimum track record
   length, and the probability that picking it was backtest overfitting.
6. Draws the equity curve of the best configuration to out/equity.png and writes its
   report (summary, equity, drawdown and position charts, fills) to out/report.html.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import tallowmarsh as tm  # noqa: E402

import market_maker as mm  # noqa: E402
import strategies as st  # noqa: E402
import synth  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BALANCE = 10_000  # whole USDT
CONTRACT = 1_000_000  # one lot is 0.01 of the underlying: 600 USDT at a price of 60,000
BATCH = 4096
SWEEP = [(50, 400), (100, 800), (200, 1000), (200, 2000), (400, 3000), (800, 6000)]


def heading(text: str) -> None:
    print(f"\n== {text} " + "=" * max(0, 74 - len(text)))


def units(cash: int) -> str:
    """Cash units as whole currency units with two decimals."""
    return f"{cash / tm.CASH_SCALE:,.2f}"


def timed_run(strategy, ticks, **kwargs):
    started = time.perf_counter()
    result = tm.run_backtest(strategy, ticks, BALANCE, contract_size=CONTRACT, **kwargs)
    return result, time.perf_counter() - started


def show_run(result, seconds: float) -> None:
    rate = result.ticks / seconds / 1e6 if seconds > 0 else float("inf")
    print(f"  {result.strategy:<24} {result.ticks:>11,} ticks {result.fills:>7,} fills "
          f"{result.liquidations:>3} liq  equity {units(result.final_equity):>12} "
          f"(low {units(result.min_equity):>12})  {rate:7.2f} M ticks/s")


def ensure_data(path: str, n: int) -> tm.TickSource:
    if os.path.exists(path):
        try:
            source = tm.load_ticks(path)
            if len(source) == n:
                return source
        except ValueError:
            pass
    started = time.perf_counter()
    synth.write(path, n)
    print(f"  generated {n:,} ticks into {os.path.relpath(path, ROOT)} "
          f"in {time.perf_counter() - started:.1f} s")
    return tm.load_ticks(path)


def main() -> None:
    parser = argparse.ArgumentParser(description="tallowmarsh demo")
    parser.add_argument("--ticks", type=int, default=3_000_000)
    parser.add_argument("--out", default=os.path.join(ROOT, "out"), help="where the picture goes")
    parser.add_argument("--data", default=os.path.join(HERE, "data"), help="where the tick file goes")
    args = parser.parse_args()
    started = time.perf_counter()

    heading("Data")
    path = os.path.join(args.data, f"btc-{args.ticks}.tmtk")
    source = ensure_data(path, args.ticks)
    print(f"  {source}")

    heading(f"Runs over the file (balance {BALANCE:,} USDT, lots of 600 USDT, margin enforced)")
    best_run = None
    for strategy, batch in ((st.MovingAverageCross(), 1),
                            (st.BatchedMovingAverageCross(), BATCH),
                            (st.PassiveMaker(), 1)):
        result, seconds = timed_run(strategy, source, batch=batch)
        show_run(result, seconds)
        best_run = best_run or result
    print(f"  {best_run}")

    heading("Per tick against batched: compare_modes")
    comparison = tm.compare_modes(st.MovingAverageCross, source, BALANCE, 64,
                                  contract_size=CONTRACT)
    print(f"  {comparison}")
    print(f"  fills {comparison.compat_fills} per tick vs {comparison.batched_fills} batched; "
          f"batching changed final equity by {units(comparison.equity_difference)} USDT")

    heading("Lookahead bias: lookahead_check on the first 20,000 ticks")
    ticks = synth.generate_array(20_000, seed=11)  # build gets the array and views of it
    for label, build in (("honest crossover", lambda t: st.HonestCross(t, fast=20, slow=100)),
                         ("future peeker", lambda t: st.FuturePeeker(t))):
        report = tm.lookahead_check(build, ticks, BALANCE, max_points=40,
                                    contract_size=CONTRACT)
        verdict = "clean" if report.clean else f"{len(report.divergences)} divergences"
        print(f"  {label:<18} {report}  -> {verdict}")
        if report.divergences:
            checked_at, tick, exch_ts = report.divergences[0]
            print(f"  {'':<18} first: the prefix ending at tick {checked_at:,} decided "
                  f"differently on tick {tick:,} (exch_ts {exch_ts})")

    heading("Costs: a market maker at L1, without costs and at a perpetual venue")
    print(mm.table(*mm.side_by_side(synth.generate(100_000, seed=5))))

    heading(f"Parameter sweep of the crossover ({len(SWEEP)} configurations, batched, "
            f"on every core)")
    sweep_started = time.perf_counter()
    sweep = tm.sweep(st.BatchedMovingAverageCross, [{"fast": f, "slow": s} for f, s in SWEEP],
                     source, BALANCE, batch=BATCH, equity_every=BATCH * 8,
                     contract_size=CONTRACT)
    print(f"  {sweep}  in {time.perf_counter() - sweep_started:.1f} s")
    print(sweep.table())
    fast, slow = sweep.best_params["fast"], sweep.best_params["slow"]
    ratio, skew, kurt = tm.moments(sweep.returns[sweep.best])
    n = len(sweep.returns[sweep.best])
    print(f"\n  moments of the best: Sharpe {ratio:+.4f}, skewness {skew:+.3f}, "
          f"kurtosis {kurt:.3f}")
    print(f"  probabilistic Sharpe ratio (benchmark 0): "
          f"{tm.probabilistic_sharpe_ratio(ratio, 0.0, n, skew, kurt):.4f}")
    for line in sweep.judgement().splitlines():
        print(f"  {line}")
    os.makedirs(args.out, exist_ok=True)
    sweep_report = os.path.join(args.out, "sweep.html")
    sweep.report(sweep_report)
    print(f"  wrote the sweep's report to {os.path.relpath(sweep_report, ROOT)}")

    heading("Equity curve")
    os.makedirs(args.out, exist_ok=True)
    png = os.path.join(args.out, "equity.png")
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        curve = [e / tm.CASH_SCALE for e in sweep.best_result.equity_curve.equity.tolist()]
        fig, ax = plt.subplots(figsize=(9, 4))
        ax.plot(curve, linewidth=1.0)
        ax.set_title(f"sma-{fast}/{slow}, batched: equity every {BATCH * 8:,} ticks")
        ax.set_xlabel("sample")
        ax.set_ylabel("equity (USDT)")
        ax.grid(alpha=0.3)
        fig.tight_layout()
        fig.savefig(png, dpi=110)
        print(f"  wrote {os.path.relpath(png, ROOT)}")
    except ImportError:
        print("  matplotlib is not installed; skipped the picture")
    report = tm.report(sweep.best_result, os.path.join(args.out, "report.html"))
    print(f"  wrote the best run's report to {os.path.relpath(report, ROOT)}")

    print(f"\ndemo finished in {time.perf_counter() - started:.1f} s")


if __name__ == "__main__":
    main()
