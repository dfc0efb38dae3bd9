"""The interpreter lock: calls side by side give what they give one by one and never
deadlock, even from strategies that sleep or start threads; others run during a call."""

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


def in_thread(target):
    worker = threading.Thread(target=target)
    worker.start()
    worker.join()


def nested():
    t.run_backtest(Swing(), walk(3, 200), 1000, batch=3)


class Busy(Swing):
    """Decides as Swing does, but sleeps, runs backtests, and joins threads that do."""

    def __init__(self, ticks=None):
        super().__init__()
        self.calls = 0
        in_thread(nested)

    def on_tick(self, ctx):
        self.calls += 1
        time.sleep(0)
        if self.calls % 1000 == 500:
            in_thread(nested)
        elif self.calls % 1000 == 0:
            nested()
        return super().on_tick(ctx)

    def on_batch(self, ticks):
        self.calls += 1
        if self.calls % 20 == 0:
            in_thread(lambda: t.probability_of_backtest_overfitting(PBO, 4))
        return super().on_batch(ticks)


def test_side_by_side_matches_serial(tmp_path):
    path = str(tmp_path / "walk.tmtk")
    t.save_ticks(path, walk(99, 20000))
    source, work = t.load_ticks(path), []  # each a call of a strategy class
    for seed in range(2):
        ticks = walk(seed)
        work += [lambda s, k=ticks: summary(t.run_backtest(s(), k, 1000)),
                 lambda s, k=ticks: summary(t.run_backtest(s(), k, 1000, batch=7)),
                 lambda s, k=ticks: repr(t.compare_modes(s, k, 1000, 5)),
                 lambda s, k=ticks: t.lookahead_check(s, k[:400], 1000, max_points=20).divergences,
                 lambda s: t.probability_of_backtest_overfitting(PBO, 8)]
    work += [lambda s, b=b: summary(t.run_backtest(s(), source, 1000, batch=b)) for b in (1, 64)]
    serial = [call(Swing) for call in work]
    # Every call twice with Swing and once with Busy, which decides alike, all at once.
    found, order = {}, [(i, s) for s in (Swing, Swing, Busy) for i in range(len(work))]
    random.Random(5).shuffle(order)
    run_threads([lambda i=i, s=s: found.setdefault(i, []).append(work[i](s)) for i, s in order])
    assert [found[i] for i in range(len(work))] == [[value] * 3 for value in serial]


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
