"""The cost of one order when a strategy places many in one return.

A strategy returns n orders from one call, and the run fills or cancels them on the
ticks after. Each case is timed at n = 1,000 and n = 100,000 in CPU time of the
calling thread, in turns and over about as many orders at both sizes, and prints the time per order at both sizes and their ratio: an
order must cost about the same however many share its return (floor: 2x). Prints
one JSON object per line: {"figure": ..., "value": ..., "unit": ...}.

    python bench/orders_bench.py [--repeats N] [--sizes 1000,100000] [--only CASE,...]
"""
from __future__ import annotations

import argparse
import os
import statistics
import sys

import tallowmarsh as tm

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from module_bench import emit, seconds  # noqa: E402

BALANCE = 10**15
PRICE = 100_000


def ticks(count: int = 8) -> list:
    """A flat market, then a fall through every limit below it, then a flat tail."""
    out = [tm.Tick(i, PRICE, high=PRICE, low=PRICE, bid=PRICE - 1, ask=PRICE + 1, volume=10 * i)
           for i in range(4)]
    low = PRICE // 2
    out += [tm.Tick(i, low, high=low, low=low, bid=low - 1, ask=low + 1, volume=10 * i)
            for i in range(4, count)]
    return out


class Burst:
    """Returns `orders` from each call listed in `at`, and `later` from call `then`."""

    def __init__(self, orders, at=(1,), later=None, then=0):
        self.orders, self.at, self.later, self.then, self.calls = orders, at, later, then, 0

    def on_tick(self, ctx):
        self.calls += 1
        if self.calls in self.at:
            return self.orders
        return self.later if self.calls == self.then else None


def market(n):
    return [tm.Order("buy" if i % 2 else "sell", 1) for i in range(n)]


def limits(n):
    # Many distinct prices below the market, each shared by several orders.
    return [tm.Order("buy", 1, price=PRICE - 10 - i % 97) for i in range(n)]


CASES = {  # name: (orders of one return, calls returning them, cancel on call 2, venue)
    "market L0": (market, (1,), False, None),
    "resting L0": (limits, (1, 2, 3), False, None),
    "cancel L0": (limits, (1,), True, None),
    "market L1": (market, (1,), False, tm.Venue(execution=tm.L1(submit_latency=1))),
    "resting L1": (limits, (1, 2, 3), False, tm.Venue(execution=tm.L1(submit_latency=1, queue=5))),
    "cancel L1": (limits, (1,), True, tm.Venue(execution=tm.L1(submit_latency=1))),
    "cancel queued L1": (limits, (1,), True, tm.Venue(execution=tm.L1(queue=10**9))),
    "market L2": (market, (1,), False, tm.Venue(execution=tm.L2(submit_latency=1))),
    "resting L2": (limits, (1, 2, 3), False, tm.Venue(execution=tm.L2())),
    "market hedge": (market, (1,), False, tm.Venue(two_leg=True)),
    "resting hedge": (limits, (1, 2, 3), False, tm.Venue(two_leg=True)),
}


def order_runner(case: str, n: int, series: list, orders_per_sample: int):
    """A callable running the case with n orders per return often enough to place about
    orders_per_sample orders, and the number of orders one call places."""
    make, at, cancel, venue = CASES[case]
    orders, placed = make(n), n * len(at)
    runs = max(1, orders_per_sample // placed)

    def run():
        for _ in range(runs):
            strategy = Burst(orders, at, [tm.CancelAll()] if cancel else None, 2 if cancel else 0)
            result = tm.run_backtest(strategy, series, BALANCE, enforce_margin=False, venue=venue)
            if result.fills != (0 if cancel else placed):
                raise SystemExit(f"{case}: {result.fills} fills of {placed} orders")

    return run, placed * runs


def per_order(case: str, sizes: list, series: list, repeats: int) -> tuple[list, float]:
    """Median CPU seconds per order at each size, and the median ratio of the largest
    size's cost to the smallest's. Every size places about as many orders per sample
    (small returns are run many times), and the sizes are timed in turns, so that what
    the machine does meanwhile weighs on both sides of the ratio alike."""
    runners = [order_runner(case, n, series, 3 * max(sizes)) for n in sizes]
    samples = [[seconds(run) / placed for run, placed in runners] for _ in range(repeats)]
    costs = [statistics.median(sample[i] for sample in samples) for i in range(len(sizes))]
    return costs, statistics.median(sample[-1] / sample[0] for sample in samples)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--sizes", default="1000,100000")
    parser.add_argument("--only", default="")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    series = ticks()
    for case in CASES:
        if args.only and case not in args.only.split(","):
            continue
        costs, ratio = per_order(case, sizes, series, max(1, args.repeats))
        for n, cost in zip(sizes, costs):
            emit(f"orders {case} per order at {n}", cost * 1e6, "us")
        emit(f"orders {case} per order at {sizes[-1]} / at {sizes[0]}", ratio, "x")


if __name__ == "__main__":
    main()
