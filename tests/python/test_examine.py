"""compare_modes and lookahead_check: strategies examined rather than just run."""

import pytest

import tallowmarsh as t
from conftest import Quiet, make_ticks


def flat(n=20, price=100):
    """Constant prices: a market buy fills at 101, a market sell at 99."""
    return make_ticks(n, start=1000, price=price)


class TwoFaced:
    """Places `per_tick[n]` on the n-th on_tick call and `batched[n]` on the n-th on_batch call."""

    def __init__(self, per_tick, batched):
        self.per_tick, self.batched = per_tick, batched
        self.tick_calls = self.batch_calls = 0

    def on_tick(self, ctx):
        self.tick_calls += 1
        return [t.Order(*o) for o in self.per_tick.get(self.tick_calls, [])]

    def on_batch(self, ticks):
        self.batch_calls += 1
        return [t.Order(*o) for o in self.batched.get(self.batch_calls, [])]


def compare(per_tick, batched, batch=4, ticks=None):
    return t.compare_modes(lambda: TwoFaced(per_tick, batched), ticks or flat(), 100000, batch)


class TestCompareModes:
    # Bought at 101 and marked at 100: one tick down per lot, 10,000 cash units.
    @pytest.mark.parametrize("per_tick,batched,outcome,text", [
        ({1: [("buy", 1)], 2: [("buy", 1)]}, {1: [("buy", 1)], 2: [("sell", 1)]},
         (2, 2, 1, False, 0), "fills 2 vs 2, first divergence Some(1), equity +0"),
        ({1: [("buy", 1)]}, {1: [("buy", 1)], 2: [("buy", 1)]},
         (1, 2, 1, False, -10000), "fills 1 vs 2, first divergence Some(1), equity -10000"),
        ({1: [("buy", 1)]}, {1: [("buy", 1)]}, (1, 1, None, True, 0), "identical"),
        ({1: [("buy", 1)]}, {1: [("buy", 3)]},  # same prices, different equity
         (1, 1, None, False, -20000), "fills 1 vs 1, first divergence None, equity -20000"),
        ({1: [("buy", 3)]}, {1: [("buy", 1)]},
         (1, 1, None, False, 20000), "fills 1 vs 1, first divergence None, equity +20000"),
        ({1: [("buy", 1)]}, {1: [("sell", 1)]},  # a zero difference has a sign
         (1, 1, 0, False, 0), "fills 1 vs 1, first divergence Some(0), equity +0"),
    ])
    def test_outcomes_and_text(self, per_tick, batched, outcome, text):
        c = compare(per_tick, batched)
        assert (c.compat_fills, c.batched_fills, c.first_divergence, c.identical,
                c.equity_difference) == outcome
        assert repr(c) == f"ModeComparison(batch=4, {text})"

    def test_batch_one_runs_per_tick_twice(self):
        built = []

        def build():
            built.append(TwoFaced({1: [("buy", 1)]}, {}))
            return built[-1]

        c = t.compare_modes(build, flat(), 100000, 1)
        assert c.identical and c.batch == 1
        assert [(s.tick_calls, s.batch_calls) for s in built] == [(20, 0), (20, 0)]

    def test_batch_zero_is_refused_after_the_first_run(self):
        built = []

        def build():
            built.append(Quiet())
            return built[-1]

        with pytest.raises(ValueError, match="^batch must be at least 1; 1 is compatibility mode$"):
            t.compare_modes(build, flat(), 100000, 0)
        assert [s.calls for s in built] == [20, 0]

    def test_build_errors_propagate_unchanged(self):
        def build():
            raise KeyError("x")

        with pytest.raises(KeyError):
            t.compare_modes(build, flat(), 100000, 2)

    def test_run_errors_are_run_backtests(self):
        class TickOnly:
            def on_tick(self, ctx):
                pass

        with pytest.raises(TypeError, match=r"^a strategy run with batch=8 must implement "
                                            r"on_batch\(\)$"):
            t.compare_modes(TickOnly, flat(), 100000, 8)

        class Fails:
            def on_tick(self, ctx):
                raise RuntimeError("boom")

        with pytest.raises(ValueError, match="^the strategy failed during the run: "
                                             "RuntimeError: boom$"):
            t.compare_modes(Fails, flat(), 100000, 2)
        with pytest.raises(TypeError, match="^ticks must be a sequence of Tick"):
            t.compare_modes(Quiet, "ticks", 100000, 2)

    def test_a_tick_source_is_run_twice(self, tmp_path):
        path = str(tmp_path / "t.tmtk")
        t.save_ticks(path, flat())
        c = t.compare_modes(lambda: TwoFaced({1: [("buy", 1)]}, {1: [("buy", 1)]}),
                            t.load_ticks(path), 100000, 4)
        assert c.identical and c.compat_fills == 1

    def test_signature_and_class(self):
        assert t.compare_modes.__text_signature__ == (
            "(build, ticks, balance, batch, enforce_margin=True, contract_size=10000)")
        with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'batch'"):
            t.compare_modes(Quiet, flat(), 1000)
        c = compare({}, {})
        with pytest.raises(AttributeError):
            c.batch = 3
        with pytest.raises(TypeError):
            type(c)()


SIGNALS = (5, 10, 20, 25)


class Peeker:
    """Buys on the signal ticks; the buy on tick 10 is made only when the
    strategy was built from the whole series, which no honest strategy knows."""

    def __init__(self, ticks, total=30, cheat=True):
        self.see_future = cheat and len(ticks) == total
        self.index = -1

    def on_tick(self, ctx):
        self.index += 1
        if self.index == 10 and not self.see_future:
            return None
        if self.index in SIGNALS:
            return [t.Order("buy", 1)]


class TestLookaheadCheck:
    def ticks(self):
        return make_ticks(30, start=1000)

    def test_reading_the_future_is_found(self):
        report = t.lookahead_check(Peeker, self.ticks(), 100000)
        assert (report.signals, report.checked) == (4, 4)
        assert not report.clean and not report.sampled
        assert report.divergences == [(10, 10, 1010), (20, 10, 1010), (25, 10, 1010)]
        assert repr(report) == "LookaheadReport(signals=4, checked=4, clean=False, divergences=3)"

    def test_honest_strategy_is_clean(self):
        built = []

        def build(ticks):
            built.append(len(ticks))
            return Peeker(ticks, cheat=False)

        report = t.lookahead_check(build, self.ticks(), 100000)
        assert report.clean and report.divergences == []
        assert repr(report) == "LookaheadReport(signals=3, checked=3, clean=True, divergences=0)"
        # The full series first, then each prefix up to and including its point.
        assert built == [30, 6, 21, 26]

    def test_sampled(self):
        report = t.lookahead_check(Peeker, self.ticks(), 100000, max_points=2)
        assert (report.signals, report.checked, report.sampled) == (4, 2, True)
        assert report.divergences == [(25, 10, 1010)]
        nothing = t.lookahead_check(Peeker, self.ticks(), 100000, max_points=0)
        assert (nothing.checked, nothing.clean, nothing.sampled) == (0, True, True)

    def test_build_gets_a_list_of_ticks(self):
        seen = []

        def build(ticks):
            seen.append(ticks)
            return Quiet()

        series = self.ticks()
        t.lookahead_check(build, series, 1000)
        assert len(seen) == 1 and type(seen[0]) is list
        assert [(x.exch_ts, x.last, x.bid) for x in seen[0]] == [
            (x.exch_ts, x.last, x.bid) for x in series]

    def test_build_raising_on_a_prefix(self):
        def build(ticks):
            if len(ticks) < 30:
                raise KeyError("x")
            return Peeker(ticks)

        with pytest.raises(ValueError) as info:
            t.lookahead_check(build, self.ticks(), 100000)
        assert str(info.value) == ("the strategy failed during the check: "
                                   "build raised: KeyError: 'x'")

    def test_the_first_failure_wins(self):
        class FailsLate:
            def __init__(self, ticks):
                self.n = len(ticks)
                self.calls = 0

            def on_tick(self, ctx):
                self.calls += 1
                if self.calls == 6:
                    raise RuntimeError(f"built from {self.n}")
                return [t.Order("buy", 1)] if self.calls < 6 else None

        with pytest.raises(ValueError) as info:
            t.lookahead_check(FailsLate, self.ticks(), 100000)
        assert str(info.value) == ("the strategy failed during the check: "
                                   "RuntimeError: built from 30")

    def test_missing_on_tick_fails_at_first_tick(self):
        class NoMethod:
            def __init__(self, ticks):
                pass

        with pytest.raises(ValueError, match="^the strategy failed during the check: "
                                             "AttributeError: "):
            t.lookahead_check(NoMethod, self.ticks(), 1000)

    def test_tick_source_is_refused(self, tmp_path):
        path = str(tmp_path / "t.tmtk")
        t.save_ticks(path, self.ticks())
        with pytest.raises(TypeError) as info:
            t.lookahead_check(Peeker, t.load_ticks(path), 1000)
        assert str(info.value).startswith("ticks must be a sequence of Tick, or a TickSource;")

    def test_report_class(self):
        report = t.lookahead_check(Peeker, self.ticks(), 100000)
        assert report.divergences is not report.divergences
        with pytest.raises(AttributeError):
            report.clean = True
        with pytest.raises(TypeError):
            type(report)()
        assert type(report).__doc__ == "What the lookahead check found. See `lookahead_check`."
        assert t.lookahead_check.__text_signature__ == (
            "(build, ticks, balance, max_points=200, enforce_margin=True, contract_size=10000)")
