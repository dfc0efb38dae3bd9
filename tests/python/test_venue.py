"""The venue: exact values and their refusals, a fees-and-funding run worked by
hand, and the L1/L2 engines from Python against a literal per-order model."""

import math
import pickle
import random
from decimal import Decimal

import pytest

import tallowmarsh as t
from conftest import Script

MS = 1_000_000
BUILT_IN = ((50_000, "0.004", 0), (500_000, "0.005", 50), (1_000_000, "0.01", 2_550),
            (10_000_000, "0.025", 17_550), (None, "0.05", 267_550))


@pytest.mark.parametrize("given, parts", [
    ("0.0005", 500_000), ("-0.0001", -100_000), ("2.5bp", 250_000), ("0.05%", 500_000),
    (Decimal("0.000000001"), 1), (123, 123), (" 1_000bp ", 100_000_000)])
def test_rates_are_exact_parts_per_billion(given, parts):
    venue = t.Venue(maker_fee=given, funding=[(5, given)])
    assert venue._engine_form()[0] == parts and venue._engine_form()[2] == ((5, parts),)
    assert t.Venue(maker_fee=venue.maker_fee, funding=venue.funding) == venue  # read back


@pytest.mark.parametrize("kwargs, error, words", [
    ({"taker_fee": 0.0005}, TypeError, "taker_fee must be exact, and the float 0.0005"),
    ({"maker_fee": "0.0000000001"}, ValueError, "maker_fee: '0.0000000001' is not a whole"),
    ({"maker_fee": "cheap"}, ValueError, "maker_fee: 'cheap' is not a decimal number"),
    ({"funding": [(2, 1), (1, 1)]}, ValueError, "funding times must ascend"),
    ({"funding": {"time": [1, 2], "rate": [1]}}, ValueError, "'time' has 2 entries"),
    ({"funding": [(1, 2, 3)]}, ValueError, "funding[0] must be a (time, rate) pair"),
    ({"margin_tiers": []}, ValueError, "at least one row"),
    ({"margin_tiers": [(100, "0.01", 0)]}, ValueError, "margin_tiers[0]: only the last row"),
    ({"margin_tiers": [(100, "0.01", 0), (None, "0.02", 2)]}, ValueError,
     "row 0 (100): this row's deduction would have to be 1, not 2"),
    ({"margin_tiers": [(None, "1.5", 0)]}, ValueError, "margin_tiers[0] rate: 1500000000"),
    ({"execution": "L1"}, TypeError, "execution must be L0(), L1(...) or L2(...)"),
    ({"execution": lambda: t.L1(queue="half")}, ValueError, "queue must be None"),
    ({"two_leg": 1}, TypeError, "two_leg must be a bool"),
])
def test_refusals_name_the_argument(kwargs, error, words):
    with pytest.raises(error) as caught:
        t.Venue(**{k: (v() if callable(v) else v) for k, v in kwargs.items()})
    assert words in str(caught.value)


def test_values_are_immutable_readable_and_pickle():
    venue = t.Venue("-0.0001", "0.0005", funding=[(8, "0.0001")], margin_tiers=BUILT_IN,
                    execution=t.L2(submit_latency=t.Quantiles(1, 2, 3, 4), queue="25%",
                                   impact=50), two_leg=True)
    assert repr(venue) == (
        "Venue(maker_fee='-0.0001', taker_fee='0.0005', funding=<1 events>, "
        "margin_tiers=<5 rows>, execution=L2(submit_latency=Quantiles(p50=1, p90=2, p99=3, "
        "p999=4), queue='25%', impact=50), two_leg=True)")
    assert pickle.loads(pickle.dumps(venue)) == venue and hash(venue) == hash(t.Venue(**{
        "maker_fee": "-0.0001", "taker_fee": "0.0005", "funding": {"time": [8], "rate": [100_000]},
        "margin_tiers": venue.margin_tiers, "execution": venue.execution, "two_leg": True}))
    assert venue.margin_tiers[1] == ("500000", "0.005", "50") and repr(t.Venue()) == "Venue()"
    with pytest.raises(AttributeError, match="immutable"):
        venue.two_leg = False
    assert t.L1() != t.L2() and t.Venue(execution=t.L0()) == t.Venue()


def test_worked_fees_funding_and_a_liquidation():
    # One lot at price p is worth p currency units (contract size 10^8 cash).
    # Buy 4 at the ask of 101 as taker: fee 404 x 0.0005 = 0.202. Funding at
    # 25 (+0.0001, mark 100, long 4): pays 0.04. Sell 2 at 103 as maker through
    # the rise: rebate 206 x 0.0001 = 0.0206, realised 2 x 2 = 4. Funding at 35
    # (-0.0002, mark 103, long 2): receives 0.0412; at 45 (+0.0003, mark 102):
    # pays 0.0612. At 80 equity is 43.7586 - 42 = 1.7586, at most the custom
    # table's 5 % of 160 = 8 (the built-in 0.4 % asks 0.64): liquidated, and
    # 1.7586 forfeited.
    ticks = [t.Tick(10, 100, bid=99, ask=101), t.Tick(20, 100, bid=99, ask=101),
             t.Tick(30, 103, bid=103, ask=104), t.Tick(40, 102, bid=101, ask=103),
             t.Tick(50, 80, bid=79, ask=81), t.Tick(60, 80, bid=79, ask=81)]
    plan = {1: [t.Order("buy", 4)], 2: [t.Order("sell", 2, price=103)]}
    funding = [(25, "0.0001"), (35, "-0.0002"), (45, "3bp")]
    tiers = [(300, "5%", 0), (None, "0.10", 15)]

    def run(**venue):
        return t.run_backtest(Script(dict(plan)), ticks, 40, contract_size=10**8,
                              venue=t.Venue(maker_fee="-0.0001", taker_fee="0.0005",
                                            funding=funding, **venue))

    r = run(margin_tiers=tiers, track_margin=True)
    # Peak maintenance: 4 lots at 100 in the second row, 40 - 15; the least
    # headroom after that tick: 40 - 0.202 - 4 - 25.
    assert r.margin_watch == (2_500_000_000, 1_079_800_000)
    assert (r.fill_prices, r.liquidations, r.final_equity) == ([101, 103], 1, 0)
    assert (r.fees_paid, r.funding_paid, r.realised) == (18_140_000, -6_000_000, -3_800_000_000)
    assert list(r.fill_records.fee) == [20_200_000, -2_060_000]
    assert list(r.fill_records.taker) == [1, 0]
    assert list(r.liquidation_records.forfeited) == [175_860_000]
    assert run().liquidations == 0


def test_two_leg_keeps_a_short_leg_beside_the_long_one():
    class Legs(Script):
        def on_tick(self, ctx):
            self.legs = (ctx.position, ctx.short_position)
            return super().on_tick(ctx)

    plan = {1: [t.Order("buy", 2)], 2: [t.Order("sell", 1)]}
    for two_leg, legs in ((False, (1, 0)), (True, (2, -1))):
        strategy = Legs(dict(plan))
        t.run_backtest(strategy, [t.Tick(i, 100, bid=99, ask=101) for i in range(4)], 10**6,
                       venue=t.Venue(two_leg=two_leg))
        assert strategy.legs == legs


def stream(seed, n=400):
    """Ticks 1-3 ms apart with a one-tick spread, a range and rising volume, and
    a plan of market orders and passive limit orders (at the own-side quote)."""
    rng, ticks, plan, last, volume, now = random.Random(seed), [], {}, 1000, 0, 0
    for i in range(n):
        now += rng.randint(1, 3) * MS
        last += rng.choice([-3, -1, 0, 1, 3])
        volume += rng.randint(0, 30)
        ticks.append(t.Tick(now, last, local_ts=now + MS, high=last + rng.randint(1, 3),
                            low=last - rng.randint(1, 3), bid=last - 1, ask=last + 1,
                            volume=volume))
        if i < n - 40 and rng.random() < 0.2:
            side, qty = rng.choice(["buy", "sell"]), rng.randint(1, 6)
            quote = last - 1 if side == "buy" else last + 1
            plan[i + 1] = [t.Order(side, qty, price=None if rng.random() < 0.4 else quote)]
    return ticks, plan


def model(ticks, plan, submit=0, report=0, queue=None, impact=0):
    """Each order on its own, by the rules: {id: (price, time of the booking tick)}."""
    out = {}
    for order_id, (k, orders) in enumerate(sorted(plan.items()), 1):
        order, p = orders[0], orders[0].price  # decided on ticks[k - 1], first seen by ticks[k]
        buy, due = order.side == "buy", ticks[k - 1].local_ts + submit
        arrival = k if not submit else next(
            (j for j in range(k, len(ticks)) if ticks[j].exch_ts >= due), len(ticks))
        # An order arriving with latency is queued from the next tick and is not
        # crossed by the range traded before its arrival.
        ahead, cross_from = (queue if p is not None else None), arrival + (1 if submit else 0)
        fill = None
        for j in range(arrival, len(ticks)):
            x, prev = ticks[j], ticks[j - 1]
            if p is None:
                v = x.volume - prev.volume
                m = int(math.sqrt(order.qty / v) * (impact / 100 * (x.high - x.low))) if v else 0
                fill = ((x.ask + m) if buy else (x.bid - m), j)
                break
            if ahead:
                if j < arrival + (1 if submit else 0):
                    continue
                through = x.high < p if buy else x.low > p
                if not through and x.low <= p <= x.high:
                    ahead -= x.volume - prev.volume
                if not through and ahead >= 1:
                    continue
                ahead, cross_from = None, j
            crossed = (x.high <= prev.last and x.low <= p < prev.last if buy
                       else prev.last < p <= x.high)
            if crossed and j >= cross_from:
                fill = (p, j)
            elif (x.ask <= p) if buy else (x.bid >= p):
                fill = (min(p, x.ask) if buy else max(p, x.bid), j)
            if fill:
                break
        if fill:
            made = ticks[fill[1]].exch_ts + report
            out[order_id] = (fill[0], next((x.exch_ts for x in ticks if x.exch_ts >= made),
                                           ticks[-1].exch_ts))
    return out


def fills(result):
    f = result.fill_records
    return {o: (p, e) for o, p, e in zip(f.order, f.price, f.exch_ts)}


@pytest.mark.parametrize("config", [
    {"submit": 2 * MS}, {"report": 3 * MS}, {"queue": 40}, {"impact": 80},
    {"submit": 3 * MS, "report": MS, "queue": 25, "impact": 150}])
@pytest.mark.parametrize("engine", [t.L1, t.L2])
def test_l1_and_l2_fill_as_the_literal_model(config, engine):
    execution = engine(submit_latency=config.get("submit", 0),
                       report_latency=config.get("report", 0), queue=config.get("queue"),
                       impact=config.get("impact", 0))
    for seed in range(3):
        ticks, plan = stream(seed)
        got = fills(t.run_backtest(Script(plan), ticks, 10**9, enforce_margin=False,
                                   venue=t.Venue(execution=execution)))
        want = model(ticks, plan, **config)
        plain = model(ticks, plan)
        assert want != plain  # the addition changes fills
        assert got == want


def test_l1_with_nothing_on_is_l0_and_l2_without_depth_is_l1():
    rng = random.Random(7)
    for seed in range(6):
        ticks, plan = stream(seed + 10)
        latency = rng.choice([0, 2 * MS, t.Quantiles(MS, 2 * MS, 3 * MS, 5 * MS)])
        config = dict(submit_latency=latency, report_latency=rng.choice([0, MS]),
                      queue=rng.choice([None, 5, "30%"]), impact=rng.choice([0, 60]))

        def run(execution):
            r = t.run_backtest(Script(dict(plan)), ticks, 10**9, enforce_margin=False,
                               venue=t.Venue(execution=execution))
            return tuple(map(list, r.fill_records)), r.final_equity

        assert run(t.L1()) == run(t.L0()) == run(None)
        assert run(t.L2(**config)) == run(t.L1(**config))
