"""Runs from several Python threads at once, and strategies that play with threads.

Runs, mode comparisons, lookahead checks and the overfitting estimate execute
with the interpreter lock released. Run side by side they must give exactly
what they give one after another, and no strategy that sleeps, starts threads,
or waits for a thread that itself calls into the module may deadlock a run.
"""

import random
import threading
import time

import pytest

import tallowmarsh as t

DEADLINE = 120  # seconds a scenario may take before it counts as a deadlock


def series(seed, n=3000):
    rng = random.Random(seed)
    out, last = [], 1000
    for i in range(n):
        last = max(10, last + rng.choice([-3, -1, 0, 1, 3]))
        out.append(t.Tick(i, last, bid=last - 1, ask=last + 1))
    return out


class Swing:
    """Buys after a fall and sells after a rise; the same in both cadences."""

    def __init__(self, ticks=None):
        self.previous = None

    def decide(self, last):
        previous, self.previous = self.previous, last
        if previous is None or last == previous:
            return None
        side = "buy" if last < previous else "sell"
        return [t.Order(side, 1, price=last)]

    def on_tick(self, ctx):
        return self.decide(ctx.last)

    def on_batch(self, ticks):
        return self.decide(ticks[-1].last)


class Peeking(Swing):
    """Decides from the last tick it was built with: lookahead by construction."""

    def __init__(self, ticks):
        super().__init__()
        self.final = ticks[-1].last if ticks else 0

    def on_tick(self, ctx):
        return [t.Order("buy", 1)] if ctx.last < self.final else None


def summary(result):
    return (result.strategy, result.ticks, result.fills, result.liquidations,
            result.final_equity, result.min_equity, result.fill_prices)


def pbo_columns(seed):
    rng = random.Random(seed)
    return [[rng.gauss(0.001 * c, 0.01) for _ in range(256)] for c in range(8)]


def jobs(tmp_path):
    """(name, zero-argument callable giving a comparable value) for every kind of work."""
    path = str(tmp_path / "series.tmtk")
    t.save_ticks(path, series(99, 20000))
    source = t.load_ticks(path)
    out = []
    for seed in range(3):
        ticks = series(seed)
        out += [
            (f"compat {seed}", lambda ticks=ticks: summary(t.run_backtest(Swing(), ticks, 1000))),
            (f"batched {seed}",
             lambda ticks=ticks: summary(t.run_backtest(Swing(), ticks, 1000, batch=7))),
            (f"compare {seed}", lambda ticks=ticks: repr(t.compare_modes(Swing, ticks, 1000, 5))),
            (f"lookahead {seed}", lambda ticks=ticks: (
                lambda r: (r.signals, r.checked, r.divergences))(
                    t.lookahead_check(Peeking, ticks[:400], 1000, max_points=20))),
            (f"pbo {seed}", lambda seed=seed: t.probability_of_backtest_overfitting(
                pbo_columns(seed), 8)),
        ]
    out += [
        ("file compat", lambda: summary(t.run_backtest(Swing(), source, 1000))),
        ("file batched", lambda: summary(t.run_backtest(Swing(), source, 1000, batch=64))),
    ]
    return out


def run_threads(targets):
    """Starts one thread per target, all released at once; fails on a deadlock."""
    barrier = threading.Barrier(len(targets))
    errors = []

    def wrap(target):
        def body():
            barrier.wait()
            try:
                target()
            except BaseException as error:  # noqa: B036 - reported below
                errors.append(error)
        return body

    threads = [threading.Thread(target=wrap(target), daemon=True) for target in targets]
    for thread in threads:
        thread.start()
    deadline = time.monotonic() + DEADLINE
    for thread in threads:
        thread.join(max(0.0, deadline - time.monotonic()))
    assert not any(thread.is_alive() for thread in threads), "deadlock: threads still running"
    if errors:
        raise errors[0]


class TestSideBySide:
    def test_concurrent_work_matches_serial_work(self, tmp_path):
        work = jobs(tmp_path)
        serial = {name: job() for name, job in work}
        found = {}

        def runner(name, job):
            def target():
                found[name] = job()
            return target

        # Every job twice, in a shuffled order, all at once.
        targets = [runner(f"{name} #{copy}", job) for copy in range(2) for name, job in work]
        random.Random(5).shuffle(targets)
        run_threads(targets)
        for name, value in serial.items():
            assert found[f"{name} #0"] == value, name
            assert found[f"{name} #1"] == value, name

    def test_one_strategy_class_many_threads_per_tick(self):
        ticks = series(7)
        expected = summary(t.run_backtest(Swing(), ticks, 1000))
        found = []
        run_threads([lambda: found.append(summary(t.run_backtest(Swing(), ticks, 1000)))] * 8)
        assert found == [expected] * 8


class Sleeper(Swing):
    """Gives the lock away inside every call."""

    def on_tick(self, ctx):
        time.sleep(0)
        return super().on_tick(ctx)

    def on_batch(self, ticks):
        time.sleep(0.0005)
        return super().on_batch(ticks)


class Spawner(Swing):
    """Starts a thread that runs a backtest of its own, and waits for it, on
    some calls: the waiting releases the lock while the inner run needs it."""

    def __init__(self, ticks=None, every=50):
        super().__init__()
        self.calls = 0
        self.every = every
        self.inner = []

    def on_tick(self, ctx):
        self.calls += 1
        if self.calls % self.every == 0:
            inner = threading.Thread(target=lambda: self.inner.append(
                summary(t.run_backtest(Sleeper(), series(3, 200), 1000))))
            inner.start()
            inner.join()
        return super().on_tick(ctx)

    def on_batch(self, ticks):
        self.calls += 1
        done = []
        inner = threading.Thread(target=lambda: done.append(
            t.probability_of_backtest_overfitting(pbo_columns(1), 4)))
        inner.start()
        inner.join()
        self.inner.append(done[0])
        return super().on_batch(ticks)


class Nested(Swing):
    """Runs a backtest from inside its own strategy call, on the same thread."""

    def __init__(self, ticks=None):
        super().__init__()
        self.calls = 0
        self.inner = []

    def on_tick(self, ctx):
        self.calls += 1
        if self.calls % 100 == 0:
            self.inner.append(summary(t.run_backtest(Swing(), series(4, 300), 1000, batch=3)))
        return super().on_tick(ctx)


class TestStrategiesThatUseThreads:
    def test_sleeping_strategy_in_both_modes(self):
        ticks = series(1, 1500)
        for batch in (1, 10):
            expected = summary(t.run_backtest(Swing(), ticks, 1000, batch=batch))
            found = []
            run_threads([lambda: found.append(
                summary(t.run_backtest(Sleeper(), ticks, 1000, batch=batch)))] * 4)
            assert [(f[1:]) for f in found] == [expected[1:]] * 4

    def test_strategy_joining_a_thread_that_runs_a_backtest(self):
        ticks = series(2, 600)
        expected_inner = summary(t.run_backtest(Sleeper(), series(3, 200), 1000))
        strategies = [Spawner() for _ in range(3)]
        run_threads([lambda s=s: t.run_backtest(s, ticks, 1000) for s in strategies])
        for strategy in strategies:
            assert strategy.inner == [expected_inner] * (600 // 50)

    def test_batched_strategy_joining_a_thread_that_computes_pbo(self):
        ticks = series(2, 300)
        expected = t.probability_of_backtest_overfitting(pbo_columns(1), 4)
        strategies = [Spawner() for _ in range(2)]
        run_threads([lambda s=s: t.run_backtest(s, ticks, 1000, batch=30) for s in strategies])
        for strategy in strategies:
            assert strategy.inner == [expected] * 10

    def test_backtest_nested_inside_a_strategy(self):
        ticks = series(5, 500)
        expected_inner = summary(t.run_backtest(Swing(), series(4, 300), 1000, batch=3))
        outer = Nested()
        result = t.run_backtest(outer, ticks, 1000)
        assert outer.inner == [expected_inner] * 5
        assert summary(result)[1:] == summary(t.run_backtest(Swing(), ticks, 1000))[1:]

    def test_nested_and_threaded_inside_lookahead_and_compare(self):
        ticks = series(6, 300)
        results = []
        run_threads([
            lambda: results.append(t.lookahead_check(
                lambda prefix: Spawner(prefix, every=100), ticks, 1000, max_points=3)),
            lambda: results.append(t.compare_modes(Nested, ticks, 1000, 1)),
        ])
        assert len(results) == 2

    def test_build_callback_starting_a_thread(self):
        def build(prefix):
            done = []
            worker = threading.Thread(target=lambda: done.append(
                t.run_backtest(Swing(), prefix, 1000).fills))
            worker.start()
            worker.join()
            return Peeking(prefix)

        ticks = series(8, 200)
        report = t.lookahead_check(build, ticks, 1000, max_points=5)
        assert report.checked <= 5
        assert report.signals == t.lookahead_check(Peeking, ticks, 1000, max_points=5).signals

    @pytest.mark.parametrize("batch", [1, 16])
    def test_strategy_failing_in_one_thread_leaves_the_others(self, batch):
        class Fails(Swing):
            def on_tick(self, ctx):
                raise RuntimeError("only me")

            on_batch = on_tick

        ticks = series(9, 800)
        expected = summary(t.run_backtest(Swing(), ticks, 1000, batch=batch))
        outcomes = []

        def good():
            outcomes.append(summary(t.run_backtest(Swing(), ticks, 1000, batch=batch)))

        def bad():
            with pytest.raises(ValueError, match="RuntimeError: only me$"):
                t.run_backtest(Fails(), ticks, 1000, batch=batch)
            outcomes.append("failed")

        run_threads([good, bad, good, bad])
        assert sorted(map(str, outcomes)) == sorted(map(str, [expected, expected, "failed",
                                                              "failed"]))
