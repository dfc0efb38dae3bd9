"""The three run entry points end to end: the adapter's two cadences, what a
strategy may return, its failures as text, and the examined runs."""

import pytest

import tallowmarsh as t
from conftest import (FAILED, Items, Script, buy, failing, make_ticks, message_of, sell,
                      summary)

BAD_RETURN = FAILED + ("a strategy must return None or a list of Order; returning anything "
                       "else would be silently ignored")
START = 10_000_000_000_000  # 100,000 units of balance in cash units


@pytest.fixture
def ticks():
    return make_ticks(50, price=1000, step=1)


def test_batched_run_sets_the_account_before_each_call():
    seen = []

    class View:
        def on_batch(self, batch):
            seen.append((self.position, self.entry, self.short_position, self.equity, self.last,
                         [k.exch_ts for k in batch]))
            return [buy()] if len(seen) == 1 else None

    result = t.run_backtest(View(), make_ticks(10, price=1000, step=1), 100000, batch=3)
    # Bought at tick 3's ask (1004) and marked at tick 5's last (1005); tick 9 reaches the
    # engine but, an incomplete batch, never the strategy.
    assert seen == [(0, 0, 0, START, 1002, [0, 1, 2]),
                    (1, 1004, 0, START + 10000, 1005, [3, 4, 5]),
                    (1, 1004, 0, START + 40000, 1008, [6, 7, 8])]
    assert (result.ticks, result.fill_prices, result.final_equity) == (10, [1004], START + 50000)
    assert t.run_backtest(Script({1: "never called"}), make_ticks(10), 1000, batch=11).ticks == 10


def test_every_sequence_form_runs_alike_and_the_callers_ticks_stay_as_given():
    class Mutating:
        """Trades on a price pattern, keeps every third batch, and empties the caller's list."""

        def __init__(self, given):
            self.given, self.kept, self.calls = given, [], 0

        def on_batch(self, batch):
            self.calls += 1
            if self.calls % 3 == 0:
                self.kept.append((batch, list(batch), [tuple(fields(k)) for k in batch]))
            if isinstance(self.given, list):
                self.given.clear()
            return [buy()] if batch[-1].last % 7 == 0 else [sell()] if batch[0].last % 5 else None

    def fields(k):
        return k.exch_ts, k.local_ts, k.last, k.high, k.low, k.bid, k.ask, k.volume

    class Listed(list):
        pass

    base = [t.Tick(i, 1000 + i * 37 % 101, bid=999, ask=1001, volume=i) for i in range(500)]
    original = [fields(k) for k in base]
    outcomes = []
    for given in (list(base), tuple(base), Listed(base), Items(list(base))):
        strategy = Mutating(given)
        outcomes.append(summary(t.run_backtest(strategy, given, 100000, batch=16)))
        for batch, items, values in strategy.kept:
            assert batch == items and [tuple(fields(k)) for k in batch] == values
    assert outcomes[0][1] > 0 and outcomes.count(outcomes[0]) == 4
    assert [fields(k) for k in base] == original


def test_per_tick_run_and_its_context(ticks):
    seen, plan = [], {1: [buy(price=1)], 2: [buy(price=1)], 4: [buy()], 5: [sell()]}

    class Watch:
        def on_tick(self, ctx):
            seen.append((ctx, ctx.position, ctx.entry, ctx.last, ctx.equity, ctx.working,
                         ctx.short_position, ctx.short_entry))
            return plan.get(len(seen))

    # Two orders rest far below; a buy after tick 3 fills at tick 4's ask (1005) and is
    # marked at its last (1004); a sell after tick 4 fills at tick 5's bid (1004).
    result = t.run_backtest(Watch(), ticks[:6], 100000)
    assert [s[1:] for s in seen] == [
        (0, 0, 1000, START, 0, 0, 0), (0, 0, 1001, START, 1, 0, 0), (0, 0, 1002, START, 2, 0, 0),
        (0, 0, 1003, START, 2, 0, 0), (1, 1005, 1004, START - 10000, 2, 0, 0),
        (0, 0, 1005, START - 10000, 2, 0, 0)]
    assert repr(seen[4][0]) == "Context(last=1004, position=1, equity=9999999990000)"
    assert seen[4][0].tick is not seen[4][0].tick and seen[4][0].tick.exch_ts == 4
    assert (result.fill_prices, result.min_equity, result.fees_paid, result.funding_paid) == (
        [1005, 1004], START - 10000, 0, 0)
    assert repr(result) == \
        'RunResult(strategy="Watch", ticks=6, fills=2, final_equity=9999999990000)'
    result.fill_prices.append(0)
    assert result.fill_prices == [1005, 1004]


def test_balance_is_whole_units_and_saturates():
    for balance, final in [(10**11, 2**63 - 1), (-(10**11), -(2**63)), (-5, -5 * t.CASH_SCALE)]:
        assert t.run_backtest(Script(), [], balance).final_equity == final


def test_liquidation_shows_in_the_text():
    # Ten whole units bought near 1001 with 1,000 units of balance while the price falls
    # ten ticks per tick: the account cannot survive, unless the margin is not enforced.
    ticks = make_ticks(30, price=1000, step=-10)
    runs = [t.run_backtest(Script({1: [buy(10)]}), ticks, 1000, enforce_margin=enforce,
                           contract_size=10**8) for enforce in (True, False)]
    assert (runs[0].liquidations, runs[0].final_equity, runs[0].min_equity) == (1, 0, 0)
    assert repr(runs[0]) == \
        'RunResult(strategy="Script", ticks=30, fills=1, final_equity=0, LIQUIDATED 1x)'
    assert (runs[1].liquidations, runs[1].final_equity < 0, "LIQUIDATED" in repr(runs[1])) == (
        0, True, False)


@pytest.mark.parametrize("name,strategy,text", [
    ("sma", "sma", '"sma"'),
    (42, "Named", '"Named"'),             # not a str: the type's name instead
    (property(lambda s: 1 / 0), "Named", '"Named"'),  # a failing lookup is discarded
    ('a"b', 'a"b', '"a\\"b"'),           # escaped in the text
])
def test_strategy_name(ticks, name, strategy, text):
    named = type("Named", (), {"name": name, "on_tick": lambda self, ctx: None})
    result = t.run_backtest(named(), ticks, 1000)
    assert result.strategy == strategy
    assert repr(result).startswith(f"RunResult(strategy={text}, ")


@pytest.mark.parametrize("plan,fill_prices", [
    ({1: None, 2: []}, []),
    ({1: (sell(), buy(2))}, [1000, 1002]),
    ({1: Items([buy()])}, [1002]),
    ({1: [buy(price=1)], 2: [buy()]}, [1003]),  # ids go on across calls: no duplicate refused
    ({1: [buy(price=1), buy()]}, [1002]),
])
def test_accepted_returns(ticks, plan, fill_prices):
    assert sorted(t.run_backtest(Script(plan), ticks, 100000).fill_prices) == fill_prices


@pytest.mark.parametrize("returned", ["buy", {"a": 1}, (o for o in [buy()]), [buy(), 3], 7, {1}])
def test_anything_else_fails(ticks, returned):
    assert message_of(ValueError, t.run_backtest, Script({2: returned}), ticks, 1000) == BAD_RETURN


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")


@pytest.mark.parametrize("strategy,batch,calls,text", [
    (failing(ZeroDivisionError("division by zero"), 5)(), 1, 5,
     "ZeroDivisionError: division by zero"),
    (failing(Unprintable())(), 1, 1, r"Unprintable: <exception str\(\) failed>"),  # qualified
    (failing(ValueError("bad window"))(), 4, 1, "ValueError: bad window"),
    (type("Slots", (), {"__slots__": ("position",), "on_batch": print})(), 2, None,
     "AttributeError: .*"),
])
def test_strategy_failure_is_text_and_stops_the_calls(ticks, strategy, batch, calls, text):
    with pytest.raises(ValueError, match=f"^{FAILED}{text}$"):
        t.run_backtest(strategy, ticks, 1000, batch=batch)
    assert getattr(strategy, "calls", None) == calls


def test_refusals_and_method_lookup(ticks):
    swap = type("Swap", (), {"on_tick": lambda s, ctx: setattr(s, "on_tick", lambda c: [buy()])})
    assert t.run_backtest(swap(), ticks[:3], 100000).fills == 1  # looked up at every call
    assert message_of(ValueError, t.run_backtest, object(), "not ticks", 1, batch=0) == \
        "batch must be at least 1; 1 is compatibility mode"
    for has, batch, needs in (("on_tick", 64, "on_batch"), ("on_batch", 1, "on_tick")):
        assert message_of(TypeError, t.run_backtest, type("Half", (), {has: print})(), ticks, 1,
                          batch) == f"a strategy run with batch={batch} must implement {needs}()"
    with pytest.raises(KeyError):  # a failing lookup propagates as it is
        t.run_backtest(type("Broken", (), {"on_tick": property(lambda s: {}["x"])})(), ticks, 1)


class TwoFaced:
    """Follows one plan per tick and another batched."""

    def __init__(self, per_tick, batched):
        self.plans = Script(per_tick), Script(batched)
        self.on_tick, self.on_batch = self.plans[0].on_tick, self.plans[1].on_batch


# Flat prices: a market buy fills at 101 and is marked at 100, 10,000 cash units per lot.
@pytest.mark.parametrize("per_tick,batched,outcome,text", [
    ({1: [buy()]}, {1: [buy()], 2: [buy()]},
     (1, 2, 1, False, -10000), "fills 1 vs 2, first divergence Some(1), equity -10000"),
    ({1: [buy()]}, {1: [buy()]}, (1, 1, None, True, 0), "identical"),
    ({1: [buy(3)]}, {1: [buy()]},  # the same prices, not the same equity
     (1, 1, None, False, 20000), "fills 1 vs 1, first divergence None, equity +20000"),
    ({1: [buy()]}, {1: [sell()]},  # a zero difference has a sign
     (1, 1, 0, False, 0), "fills 1 vs 1, first divergence Some(0), equity +0"),
])
def test_compare_modes(per_tick, batched, outcome, text, tmp_path):
    path = str(tmp_path / "flat.tmtk")
    t.save_ticks(path, make_ticks(20, start=1000))
    for ticks in (make_ticks(20, start=1000), t.load_ticks(path)):
        c = t.compare_modes(lambda: TwoFaced(per_tick, batched), ticks, 100000, 4)
        assert (c.compat_fills, c.batched_fills, c.first_divergence, c.identical,
                c.equity_difference) == outcome
        assert repr(c) == f"ModeComparison(batch=4, {text})"


def test_compare_modes_runs_and_refusals():
    built = []

    def build():
        built.append(TwoFaced({1: [buy()]}, {}))
        return built[-1]

    assert t.compare_modes(build, make_ticks(20), 100000, 1).batch == 1  # per tick twice
    assert message_of(ValueError, t.compare_modes, build, make_ticks(20), 1000, 0) == \
        "batch must be at least 1; 1 is compatibility mode"  # refused after the first run
    assert [(a.calls, b.calls) for a, b in (s.plans for s in built)] == [(20, 0)] * 3 + [(0, 0)]
    with pytest.raises(KeyError):
        t.compare_modes(lambda: {}["x"], make_ticks(2), 1000, 2)


def test_compare_modes_runs_both_modes_over_one_copy():
    ticks = make_ticks(20)

    class Vandal:  # moves the caller's prices during the per-tick run
        def on_tick(self, ctx):
            ticks[:] = make_ticks(20, price=500)
            return [t.Order("buy", 1)] if ctx.tick.exch_ts == 3 else None

        def on_batch(self, batch):
            return [t.Order("buy", 1)] if batch[0].exch_ts == 3 else None

    c = t.compare_modes(Vandal, ticks, 100000, 3)
    assert c.identical and ticks[0].last == 500


class Peeker:
    """Buys on ticks 5, 10, 20 and 25, but on tick 10 only when built from the whole series."""

    def __init__(self, ticks, cheat=True):
        self.see_future, self.index = cheat and len(ticks) == 30, -1

    def on_tick(self, ctx):
        self.index += 1
        if self.index in (5, 10, 20, 25) and (self.index != 10 or self.see_future):
            return [buy()]


def test_lookahead_check():
    ticks, built = make_ticks(30, start=1000), []
    report = t.lookahead_check(Peeker, ticks, 100000)
    assert (report.signals, report.checked, report.clean, report.sampled) == (4, 4, False, False)
    assert report.divergences == [(10, 10, 1010), (20, 10, 1010), (25, 10, 1010)]
    assert report.divergences is not report.divergences
    assert repr(report) == "LookaheadReport(signals=4, checked=4, clean=False, divergences=3)"
    honest = t.lookahead_check(lambda k: built.append(k) or Peeker(k, False), ticks, 100000)
    assert repr(honest) == "LookaheadReport(signals=3, checked=3, clean=True, divergences=0)"
    assert [len(k) for k in built] == [30, 6, 21, 26]  # the series, then each prefix to a point
    assert type(built[0]) is list and [k.exch_ts for k in built[0]] == [k.exch_ts for k in ticks]
    sampled = t.lookahead_check(Peeker, ticks, 100000, max_points=2)
    assert (sampled.checked, sampled.sampled, sampled.divergences) == (2, True, [(25, 10, 1010)])
    assert (lambda r: (r.checked, r.clean, r.sampled))(
        t.lookahead_check(Peeker, ticks, 100000, max_points=0)) == (0, True, True)


def test_lookahead_failures():
    ticks = make_ticks(30, start=1000)
    check = "the strategy failed during the check: "
    assert message_of(ValueError, t.lookahead_check, lambda k: Peeker(k) if len(k) == 30
                      else {}["x"], ticks, 1000) == check + "build raised: KeyError: 'x'"
    assert message_of(ValueError, t.lookahead_check, lambda k: failing(
        RuntimeError(f"built from {len(k)}"), 6, [buy()])(), ticks, 1000) == \
        check + "RuntimeError: built from 30"  # the first failure wins
    assert message_of(ValueError, t.lookahead_check, lambda k: object(), ticks, 1000).startswith(
        check + "AttributeError: ")
