"""A broken invariant of the engine, reached from Python.

A long position marked against a tick whose `last` is the smallest 64-bit
price (and whose `low` is 0, so `last` is the price used) makes the run loop's
checked adverse-excursion subtraction overflow. With margin enforced the
account is liquidated first; without, the run stops with the fixed message
"arithmetic overflow". From Python that is tallowmarsh's InvariantError, a
BaseException that `except Exception` does not swallow, and the interpreter
goes on serving runs afterwards.
"""

import gc
import weakref

import pytest

import tallowmarsh as t

MIN = -(2**63)


class BuyOnce:
    """Buys one lot at the market on its first call."""

    def __init__(self, ticks=None):
        self.calls = 0

    def decide(self):
        self.calls += 1
        return [t.Order("buy", 1)] if self.calls == 1 else None

    def on_tick(self, ctx):
        return self.decide()

    def on_batch(self, ticks):
        return self.decide()


def overflowing(batch=1):
    """Ticks on which BuyOnce, asked every `batch` ticks, is long when `last` collapses."""
    sound = [t.Tick(i, 100, bid=99, ask=101) for i in range(batch + 1)]
    return sound + [t.Tick(batch + 1, MIN, low=0, high=0)]


def assert_invariant_error(error):
    assert type(error).__name__ == "InvariantError"
    assert type(error).__module__ == "tallowmarsh"
    assert isinstance(error, BaseException) and not isinstance(error, Exception)
    assert str(error) == "arithmetic overflow"


def assert_healthy():
    result = t.run_backtest(BuyOnce(), [t.Tick(i, 100, bid=99, ask=101) for i in range(5)],
                            1000, enforce_margin=False)
    assert (result.ticks, result.fills, result.fill_prices) == (5, 1, [101])


class TestFromARun:
    @pytest.mark.parametrize("batch", [1, 3])
    def test_run_backtest(self, batch):
        with pytest.raises(BaseException) as info:
            t.run_backtest(BuyOnce(), overflowing(batch), 1000, batch=batch,
                           enforce_margin=False)
        assert_invariant_error(info.value)
        assert_healthy()

    def test_margin_enforced_liquidates_before_the_overflow(self):
        result = t.run_backtest(BuyOnce(), overflowing(), 1000)
        assert result.liquidations == 1
        assert_healthy()

    def test_except_exception_does_not_swallow_it(self):
        def swallow():
            try:
                t.run_backtest(BuyOnce(), overflowing(), 1000, enforce_margin=False)
            except Exception:  # noqa: BLE001 - must not catch the invariant
                return "swallowed"

        with pytest.raises(BaseException) as info:
            swallow()
        assert_invariant_error(info.value)

    def test_from_a_file(self, tmp_path):
        path = str(tmp_path / "collapse.tmtk")
        t.save_ticks(path, overflowing())
        with pytest.raises(BaseException) as info:
            t.run_backtest(BuyOnce(), t.load_ticks(path), 1000, enforce_margin=False)
        assert_invariant_error(info.value)
        assert_healthy()

    def test_compare_modes_and_lookahead_check(self):
        with pytest.raises(BaseException) as info:
            t.compare_modes(BuyOnce, overflowing(), 1000, 1, enforce_margin=False)
        assert_invariant_error(info.value)
        with pytest.raises(BaseException) as info:
            t.lookahead_check(BuyOnce, overflowing(), 1000, enforce_margin=False)
        assert_invariant_error(info.value)
        assert_healthy()

    def test_strategy_is_released(self):
        strategy = BuyOnce()
        ref = weakref.ref(strategy)
        with pytest.raises(BaseException):
            t.run_backtest(strategy, overflowing(), 1000, enforce_margin=False)
        del strategy
        gc.collect()
        assert ref() is None

    def test_many_in_a_row(self):
        for _ in range(200):
            try:
                t.run_backtest(BuyOnce(), overflowing(), 1000, enforce_margin=False)
            except BaseException as error:  # noqa: B036 - checked below
                assert_invariant_error(error)
            else:
                pytest.fail("no invariant error")
        assert_healthy()


class TestRaisedInsideAStrategy:
    """A strategy whose own nested run breaks the invariant: the outer run
    does not turn it into failure text but raises the same object."""

    class Nesting:
        def __init__(self):
            self.caught = None

        def on_tick(self, ctx):
            try:
                t.run_backtest(BuyOnce(), overflowing(), 1000, enforce_margin=False)
            except BaseException as error:  # noqa: B036 - re-raised unchanged
                self.caught = error
                raise

    def test_run_backtest(self):
        strategy = self.Nesting()
        with pytest.raises(BaseException) as info:
            t.run_backtest(strategy, [t.Tick(i, 100) for i in range(3)], 1000)
        assert info.value is strategy.caught
        assert_invariant_error(info.value)
        assert_healthy()

    def test_lookahead_check(self):
        strategies = []

        def build(prefix):
            strategies.append(self.Nesting())
            return strategies[-1]

        with pytest.raises(BaseException) as info:
            t.lookahead_check(build, [t.Tick(i, 100) for i in range(3)], 1000)
        assert info.value is strategies[0].caught
        assert len(strategies) == 1
        assert_healthy()
