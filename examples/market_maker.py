"""A market maker at a perpetual-futures venue with latency, a queue and costs.

    python examples/market_maker.py [--ticks N]

`Quoter` rests one buy at the bid and one sell at the ask. When the quote
moves it cancels both by id and quotes again; past its inventory limit it
quotes only the side that reduces the position. Its profit is the spread it
earns less the adverse moves it suffers, so fees decide whether it works: the
run is made twice over the same ticks, at a venue without costs and at
`perpetual(...)`, a realistic venue (maker and taker fees, hourly funding, L1
execution), and the two are printed side by side.
"""

from __future__ import annotations

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import tallowmarsh as tm  # noqa: E402

import synth  # noqa: E402

BALANCE = 10_000  # whole USDT
CONTRACT = 1_000_000  # one lot is 0.01 of the underlying
HOUR = 3_600 * 10**9

# L1: orders reach the venue 2-15 ms after the tick they were decided on, fills
# are reported 1 ms after they happen, a new quote waits behind half the volume
# of the last tick interval, and market orders pay 30 % square-root impact.
EXECUTION = tm.L1(submit_latency=tm.Quantiles(2_000_000, 4_000_000, 8_000_000, 15_000_000),
                  report_latency=1_000_000, queue="50%", impact=30)


def perpetual(first_ts: int, last_ts: int, rates=("0.0001", "-0.00005", "0.0002")):
    """A venue with 2 bp maker and 5 bp taker fees, and funding on every full
    hour (cycling through `rates`) from the first tick to the last."""
    start = first_ts - first_ts % HOUR + HOUR
    funding = [(at, rates[i % len(rates)])
               for i, at in enumerate(range(start, last_ts + 1, HOUR))]
    return tm.Venue(maker_fee="0.0002", taker_fee="0.0005", funding=funding,
                    execution=EXECUTION)


class Quoter:
    """Quotes `qty` lots on both sides at the touch, cancelling and requoting
    whenever the bid or ask moves; quotes one side only at `limit` lots."""

    def __init__(self, qty: int = 1, limit: int = 5) -> None:
        self.name = f"quoter-{qty}x{limit}"
        self.qty, self.limit = qty, limit
        self.quoted = None  # the (bid, ask) quoted last
        self.ids = []       # ids of the orders of the current quote
        self.sent = 0       # orders sent so far: the run numbers them 1, 2, ...

    def on_tick(self, ctx):
        bid, ask = ctx.tick.bid, ctx.tick.ask
        if bid <= 0 or ask <= bid or (bid, ask) == self.quoted:
            return None
        requests = [tm.Cancel(order_id) for order_id in self.ids]
        self.quoted, self.ids = (bid, ask), []
        if ctx.position < self.limit:
            requests.append(tm.Order("buy", self.qty, price=bid))
        if ctx.position > -self.limit:
            requests.append(tm.Order("sell", self.qty, price=ask))
        for request in requests:
            if isinstance(request, tm.Order):
                self.sent += 1
                self.ids.append(self.sent)
        return requests


def side_by_side(ticks, **kwargs):
    """The quoter without costs and at the perpetual venue: two RunResults."""
    free = tm.run_backtest(Quoter(), ticks, BALANCE, contract_size=CONTRACT,
                           venue=tm.Venue(execution=EXECUTION), **kwargs)
    costly = tm.run_backtest(Quoter(), ticks, BALANCE, contract_size=CONTRACT,
                             venue=perpetual(ticks[0].exch_ts, ticks[-1].exch_ts), **kwargs)
    return free, costly


def table(free, costly) -> str:
    def units(cash):
        return f"{cash / tm.CASH_SCALE:>12,.2f}"

    rows = [("fills", f"{free.fills:>12,}", f"{costly.fills:>12,}"),
            ("fees paid (USDT)", units(free.fees_paid), units(costly.fees_paid)),
            ("funding (USDT)", units(free.funding_paid), units(costly.funding_paid)),
            ("realised (USDT)", units(free.realised), units(costly.realised)),
            ("final equity (USDT)", units(free.final_equity), units(costly.final_equity))]
    lines = [f"  {'':<22}{'no costs':>12}  {'perpetual':>12}"]
    lines += [f"  {name:<22}{a}  {b}" for name, a, b in rows]
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ticks", type=int, default=200_000)
    args = parser.parse_args()
    ticks = synth.generate(args.ticks, seed=5)
    print(table(*side_by_side(ticks)))


if __name__ == "__main__":
    main()
