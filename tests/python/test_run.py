"""run_backtest: the adapter's two cadences, its conversion of what a strategy
returns, every refusal and failure, and the interpreter lock during a run."""

import threading
import time

import pytest

import tallowmarsh as t
from conftest import Quiet, Script, make_ticks

BAD_RETURN = ("the strategy failed during the run: a strategy must return None or a list "
              "of Order; returning anything else would be silently ignored")


def buy(qty=1, price=None):
    return t.Order("buy", qty, price=price)


def sell(qty=1, price=None):
    return t.Order("sell", qty, price=price)


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")


class TestResult:
    def test_balance_is_in_whole_units(self, ticks):
        result = t.run_backtest(Quiet(), ticks, 100000)
        assert result.final_equity == result.min_equity == 10_000_000_000_000
        assert (result.fees_paid, result.funding_paid, result.liquidations) == (0, 0, 0)

    def test_balance_saturates(self):
        assert t.run_backtest(Quiet(), [], 10**11).final_equity == 2**63 - 1
        assert t.run_backtest(Quiet(), [], -(10**11)).final_equity == -(2**63)
        assert t.run_backtest(Quiet(), [], -5).final_equity == -5 * t.CASH_SCALE

    def test_empty_series(self):
        strategy = Quiet()
        result = t.run_backtest(strategy, [], 1000)
        assert (result.ticks, result.fills, result.fill_prices) == (0, 0, [])
        assert strategy.calls == 0

    def test_worked_round_trip(self, ticks):
        # Buy after tick 0, filled at tick 1's ask (1002); sell after tick 2,
        # filled at tick 3's bid (1002): flat again, nothing gained or lost.
        result = t.run_backtest(Script({1: [buy()], 3: [sell()]}), ticks, 100000)
        assert result.fill_prices == [1002, 1002]
        assert result.fills == 2
        assert result.final_equity == 10_000_000_000_000
        # Marked at tick 1's last (1001) right after buying at 1002: one tick down.
        assert result.min_equity == 10_000_000_000_000 - 10000
        assert repr(result) == ('RunResult(strategy="Script", ticks=50, fills=2, '
                                'final_equity=10000000000000)')

    def test_read_only_not_constructible_and_fill_prices_a_new_list(self, ticks):
        result = t.run_backtest(Script({1: [buy()]}), ticks, 100000)
        result.fill_prices.append(0)
        assert result.fill_prices == [1002]
        assert result.fill_prices is not result.fill_prices
        with pytest.raises(AttributeError):
            result.ticks = 0
        with pytest.raises(TypeError):
            type(result)()
        assert type(result).__doc__ == "What a run produced."

    def test_liquidation_shows_in_text(self):
        # Ten whole units bought near 1001 with 1,000 units of balance, while
        # the price falls ten ticks per tick: the account cannot survive.
        ticks = [t.Tick(i, 1000 - 10 * i, bid=999 - 10 * i, ask=1001 - 10 * i)
                 for i in range(30)]
        result = t.run_backtest(Script({1: [buy(10)]}), ticks, 1000, contract_size=10**8)
        assert (result.liquidations, result.final_equity, result.min_equity) == (1, 0, 0)
        assert repr(result) == ('RunResult(strategy="Script", ticks=30, fills=1, '
                                'final_equity=0, LIQUIDATED 1x)')
        unenforced = t.run_backtest(Script({1: [buy(10)]}), ticks, 1000, enforce_margin=False,
                                    contract_size=10**8)
        assert unenforced.liquidations == 0
        assert unenforced.final_equity < 0
        assert "LIQUIDATED" not in repr(unenforced)

    def test_list_and_file_agree(self, ticks, tmp_path):
        path = str(tmp_path / "t.tmtk")
        t.save_ticks(path, ticks)
        plan = {1: [buy(2)], 7: [sell(1, price=1010)], 20: [sell(1)]}
        a = t.run_backtest(Script(plan), ticks, 5000)
        b = t.run_backtest(Script(plan), t.load_ticks(path), 5000)
        assert (a.ticks, a.fill_prices, a.final_equity, a.min_equity) == (
            b.ticks, b.fill_prices, b.final_equity, b.min_equity)
        assert len(a.fill_prices) == 3


class RaisingName:
    def __get__(self, obj, owner):
        raise RuntimeError("no")


@pytest.mark.parametrize("name,strategy,text", [
    ("sma", "sma", '"sma"'),
    (42, "Named", '"Named"'),             # not a str: the type's name instead
    (RaisingName(), "Named", '"Named"'),  # a failing lookup is discarded
    ('a"b', 'a"b', '"a\\"b"'),           # escaped in the text
])
def test_strategy_name(ticks, name, strategy, text):
    named = type("Named", (), {"name": name, "on_tick": lambda self, ctx: None})
    result = t.run_backtest(named(), ticks, 1000)
    assert result.strategy == strategy
    assert repr(result).startswith(f"RunResult(strategy={text}, ")


class TestCompatibilityMode:
    def test_context_carries_tick_and_account(self, ticks):
        seen = []

        class Watch:
            def on_tick(self, ctx):
                seen.append(ctx)
                return [buy()] if len(seen) == 1 else None

        t.run_backtest(Watch(), ticks[:3], 100000)
        first, second = seen[0], seen[1]
        assert (first.position, first.entry, first.equity, first.working) == (
            0, 0, 10_000_000_000_000, 0)
        assert (second.position, second.entry, second.last) == (1, 1002, 1001)
        assert (second.short_position, second.short_entry) == (0, 0)
        assert repr(second) == "Context(last=1001, position=1, equity=9999999990000)"
        assert second.tick is not second.tick
        assert second.tick.last == second.last and second.tick.exch_ts == 1
        with pytest.raises(AttributeError):
            second.position = 3

    def test_working_counts_resting_orders(self, ticks):
        seen = []

        class Rest:
            def on_tick(self, ctx):
                seen.append(ctx.working)
                return [buy(price=1)] if len(seen) <= 2 else None

        t.run_backtest(Rest(), ticks[:4], 100000)
        assert seen == [0, 1, 2, 2]

    def test_failure_stops_calls(self, ticks):
        class FifthFails:
            calls = 0

            def on_tick(self, ctx):
                self.calls += 1
                if self.calls == 5:
                    return 1 / 0

        strategy = FifthFails()
        with pytest.raises(ValueError) as info:
            t.run_backtest(strategy, ticks, 1000)
        assert str(info.value) == ("the strategy failed during the run: "
                                   "ZeroDivisionError: division by zero")
        assert strategy.calls == 5

    def test_failure_text_uses_qualified_name_and_survives_bad_str(self, ticks):
        class Raise:
            def on_tick(self, ctx):
                raise Unprintable()

        with pytest.raises(ValueError) as info:
            t.run_backtest(Raise(), ticks, 1000)
        assert str(info.value) == ("the strategy failed during the run: "
                                   "Unprintable: <exception str() failed>")

    def test_method_looked_up_at_every_call(self, ticks):
        class Swap:
            calls = 0

            def on_tick(self, ctx):
                self.calls += 1
                self.on_tick = lambda ctx: [buy()]

        result = t.run_backtest(Swap(), ticks[:3], 100000)
        assert result.fills == 1

class TestReturns:
    def test_none_and_empty_place_nothing(self, ticks):
        assert t.run_backtest(Script({1: None, 2: []}), ticks, 100000).fills == 0

    def test_tuple_is_accepted(self, ticks):
        result = t.run_backtest(Script({1: (sell(), buy(2))}), ticks, 100000)
        assert sorted(result.fill_prices) == [1000, 1002]

    @pytest.mark.parametrize("returned", [
        "buy", {"a": 1}, (o for o in [t.Order("buy", 1)]), [t.Order("buy", 1), 3], 7, {1, 2}])
    def test_anything_else_fails(self, ticks, returned):
        with pytest.raises(ValueError) as info:
            t.run_backtest(Script({2: returned}), ticks, 100000)
        assert str(info.value) == BAD_RETURN

    def test_custom_sequence_is_accepted(self, ticks):
        class Orders:
            def __len__(self):
                return 1

            def __getitem__(self, i):
                if i:
                    raise IndexError
                return buy()

        assert t.run_backtest(Script({1: Orders()}), ticks, 100000).fills == 1

    def test_order_ids_continue_across_calls(self, ticks):
        # A resting limit order keeps its id working; a second order reusing
        # that id would be refused by the venue and never fill.
        rest = buy(price=1)
        across = t.run_backtest(Script({1: [rest], 2: [buy()]}), ticks, 100000)
        within = t.run_backtest(Script({1: [rest, buy()]}), ticks, 100000)
        assert across.fills == within.fills == 1

    def test_ids_do_not_skip_over_a_refused_return(self, ticks):
        class Once:
            calls = 0

            def on_tick(self, ctx):
                self.calls += 1
                if self.calls == 1:
                    return [buy()]

        assert t.run_backtest(Once(), ticks, 100000).fills == 1


class TestThroughputMode:
    def test_account_attributes_set_before_each_call(self):
        ticks = make_ticks(9, price=1000, step=1)
        seen = []

        class View:
            def on_batch(self, batch):
                seen.append((self.position, self.entry, self.short_position, self.equity,
                             self.last, batch[-1].last))
                return [buy()] if len(seen) == 1 else None

        t.run_backtest(View(), ticks, 100000, batch=3)
        assert seen[0] == (0, 0, 0, 10_000_000_000_000, 1002, 1002)
        # Bought at tick 3's ask (1004); marked at tick 5's last (1005).
        assert seen[1] == (1, 1004, 0, 10_000_000_010_000, 1005, 1005)
        assert [s[4] for s in seen] == [s[5] for s in seen]

    def test_orders_are_placed_after_the_completing_tick(self):
        ticks = make_ticks(8, price=1000, step=1)
        result = t.run_backtest(Script({1: [buy()]}), ticks, 100000, batch=4)
        assert result.fill_prices == [1005]  # tick 4's ask

    def test_attributes_that_cannot_be_set(self, ticks):
        class Slots:
            __slots__ = ("position",)

            def on_batch(self, batch):
                raise AssertionError("never called")

        with pytest.raises(ValueError) as info:
            t.run_backtest(Slots(), ticks, 1000, batch=2)
        assert str(info.value).startswith("the strategy failed during the run: AttributeError: ")

    def test_failure_in_a_batch(self, ticks):
        class Bad:
            def on_batch(self, batch):
                raise ValueError("bad window")

        with pytest.raises(ValueError, match="^the strategy failed during the run: "
                                             "ValueError: bad window$"):
            t.run_backtest(Bad(), ticks, 1000, batch=4)

class TestRefusals:
    def test_batch_zero_first(self):
        with pytest.raises(ValueError, match="^batch must be at least 1; 1 is compatibility mode$"):
            t.run_backtest(object(), "not ticks", 1000, batch=0)

    def test_missing_method(self, ticks):
        class TickOnly:
            def on_tick(self, ctx):
                pass

        class BatchOnly:
            def on_batch(self, batch):
                pass

        with pytest.raises(TypeError, match=r"^a strategy run with batch=64 must implement "
                                            r"on_batch\(\)$"):
            t.run_backtest(TickOnly(), ticks, 1000, batch=64)
        with pytest.raises(TypeError, match=r"^a strategy run with batch=1 must implement "
                                            r"on_tick\(\)$"):
            t.run_backtest(BatchOnly(), ticks, 1000)

    def test_method_lookup_errors_propagate(self, ticks):
        class Broken:
            @property
            def on_tick(self):
                raise KeyError("lookup")

        with pytest.raises(KeyError):
            t.run_backtest(Broken(), ticks, 1000)

    @pytest.mark.parametrize("bad", ["ticks", (x for x in []), [t.Tick(1, 1), None], 3, None])
    def test_bad_ticks(self, bad):
        with pytest.raises(TypeError) as info:
            t.run_backtest(Quiet(), bad, 1000)
        assert str(info.value) == (
            "ticks must be a sequence of Tick, or a TickSource; build them with "
            "tallowmarsh.Tick(...), or read a file with load_ticks() \u2014 which is the one to "
            "use when the series is larger than memory")

    @pytest.mark.parametrize("kwargs,exc,param", [
        ({"balance": 1.5}, TypeError, "balance"),
        ({"balance": 1000, "batch": -1}, OverflowError, "batch"),
        ({"balance": 1000, "enforce_margin": 1}, TypeError, "enforce_margin"),
        ({"balance": 1000, "equity_every": 2**64}, OverflowError, "equity_every"),
        ({"balance": 1000, "contract_size": "1"}, TypeError, "contract_size"),
    ])
    def test_argument_conversion(self, ticks, kwargs, exc, param):
        with pytest.raises(exc) as info:
            t.run_backtest(Quiet(), ticks, **kwargs)
        assert info.value.__notes__ == [f"while processing '{param}'"]

    def test_numpy_booleans_are_flags(self, ticks):
        np = pytest.importorskip("numpy")
        assert t.run_backtest(Quiet(), ticks, 1000, enforce_margin=np.bool_(False)).ticks == 50

    def test_binding_wording(self):
        with pytest.raises(TypeError, match=r"^run_backtest\(\) missing 1 required positional "
                                            r"argument: 'balance'$"):
            t.run_backtest(Quiet(), [])
        with pytest.raises(TypeError, match=r"^run_backtest\(\) takes from 3 to 7 positional "
                                            r"arguments but 8 were given$"):
            t.run_backtest(Quiet(), [], 1, 1, True, 0, 1, 9)


class TestInterpreterLock:
    def test_other_threads_run_during_a_run(self):
        # A long run that never calls Python: a thread that needs the lock
        # must make progress while it executes.
        ticks = make_ticks(300_000)
        progress = []
        stop = threading.Event()

        def count():
            while not stop.is_set():
                progress.append(time.perf_counter())

        started = []

        class Mark:
            def on_batch(self, batch):
                started.append(len(progress))

        worker = threading.Thread(target=count)
        worker.start()
        try:
            time.sleep(0.01)
            before = len(progress)
            t.run_backtest(Mark(), ticks, 1000, batch=len(ticks))
            during = len(progress) - before
        finally:
            stop.set()
            worker.join()
        assert during > 1000
