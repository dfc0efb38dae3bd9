"""The interpreter lock: work run side by side from several threads gives what it
gives serially, other threads run during a call, and strategies that sleep,
start threads or run backtests of their own never deadlock."""

import random
import threading
import time

import numpy as np

import tallowmarsh as t
from conftest import Script, Swing, make_ticks, summary, walk

PBO = (np.random.default_rng(1).normal(0, 0.01, (8, 256)) + np.arange(8)[:, None] / 1000).tolist()


def run_threads(targets, deadline=120):
    """Runs every target on its own thread, released at once; fails on a deadlock."""
    barrier, errors = threading.Barrier(len(targets)), []

    def body(target):
        barrier.wait()
        try:
            target()
        except BaseException as error:  # noqa: B036 - raised again below
            errors.append(error)

    threads = [threading.Thread(target=body, args=(x,), daemon=True) for x in targets]
    for thread in threads:
        thread.start()
    end = time.monotonic() + deadline
    for thread in threads:
        thread.join(max(0.0, end - time.monotonic()))
    assert not any(thread.is_alive() for thread in threads), "deadlock"
    if errors:
        raise errors[0]


def test_side_by_side_matches_serial(tmp_path):
    path = str(tmp_path / "walk.tmtk")
    t.save_ticks(path, walk(99, 20000))
    source, jobs = t.load_ticks(path), []
    for seed in range(2):
        ticks = walk(seed)
        jobs += [lambda k=ticks: summary(t.run_backtest(Swing(), k, 1000)),
                 lambda k=ticks: summary(t.run_backtest(Swing(), k, 1000, batch=7)),
                 lambda k=ticks: repr(t.compare_modes(Swing, k, 1000, 5)),
                 lambda k=ticks: t.lookahead_check(Swing, k[:400], 1000, max_points=20).divergences,
                 lambda: t.probability_of_backtest_overfitting(PBO, 8)]
    jobs += [lambda b=b: summary(t.run_backtest(Swing(), source, 1000, batch=b)) for b in (1, 64)]
    serial, found = [job() for job in jobs], {}
    order = [(i, copy) for copy in range(2) for i in range(len(jobs))]
    random.Random(5).shuffle(order)
    run_threads([lambda i=i, c=c: found.__setitem__((i, c), jobs[i]()) for i, c in order])
    assert [found[i, c] for i, c in sorted(order)] == [v for v in serial for _ in range(2)]


def test_other_threads_run_during_a_call():
    ticks = make_ticks(300_000)
    columns = np.random.default_rng(11).normal(0, 0.01, (12, 480)).tolist()
    for call, least in [(lambda: t.run_backtest(Script(), ticks, 1000, batch=len(ticks)), 100),
                        (lambda: t.probability_of_backtest_overfitting(columns, 22), 5)]:
        done, count = threading.Event(), [0]

        def spin():
            while not done.is_set():
                count[0] += 1
                time.sleep(0)

        run_threads([lambda: (call(), done.set()), spin])
        assert count[0] > least


def in_thread(target):
    worker = threading.Thread(target=target)
    worker.start()
    worker.join()


class Busy(Swing):
    """Sleeps, and on some calls joins a thread that runs a backtest or runs one itself."""

    def __init__(self, ticks=None):
        super().__init__()
        self.calls, self.inner = 0, []

    def inner_run(self):
        self.inner.append(summary(t.run_backtest(Swing(), walk(3, 200), 1000, batch=3)))

    def on_tick(self, ctx):
        self.calls += 1
        time.sleep(0)
        if self.calls % 100 == 50:
            in_thread(self.inner_run)
        elif self.calls % 100 == 0:
            self.inner_run()
        return super().on_tick(ctx)

    def on_batch(self, ticks):
        time.sleep(0.0005)
        in_thread(lambda: self.inner.append(t.probability_of_backtest_overfitting(PBO, 4)))
        return super().on_batch(ticks)


def test_strategies_that_use_threads_do_not_deadlock():
    ticks, inner = walk(2, 600), summary(t.run_backtest(Swing(), walk(3, 200), 1000, batch=3))
    pbo = t.probability_of_backtest_overfitting(PBO, 4)
    expected = {b: summary(t.run_backtest(Swing(), ticks, 1000, batch=b)) for b in (1, 30)}
    strategies, found = [Busy() for _ in range(4)], []

    def build(prefix):  # a build that starts a thread of its own
        in_thread(lambda: t.run_backtest(Swing(), prefix, 1000))
        return Busy(prefix)

    run_threads([lambda s=s, b=b: found.append((b, summary(t.run_backtest(s, ticks, 1000, batch=b))))
                 for s, b in zip(strategies, (1, 1, 30, 30))] + [
        lambda: t.lookahead_check(build, ticks[:300], 1000, max_points=3),
        lambda: t.compare_modes(Busy, ticks[:300], 1000, 1)])
    assert sorted(found) == sorted((b, expected[b]) for b in (1, 1, 30, 30))
    assert [s.inner for s in strategies] == [[inner] * 12] * 2 + [[pbo] * 20] * 2
