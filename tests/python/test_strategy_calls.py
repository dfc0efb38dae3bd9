"""How the strategy is called: batches as lists or arrays, reused objects that no one can
see change, the interpreter lock shared while a run holds it, statistics read from arrays,
and the hostile corners (exit during a run, signal handlers, names, deep nesting)."""

import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import tallowmarsh as t
from conftest import FAILED, Swing, summary, walk


class Keeper:
    """Keeps every batch it is given, in either form, and trades like Swing on it."""

    def __init__(self):
        self.kept, self.swing = [], Swing()

    def on_batch(self, ticks):
        self.kept.append((ticks, [(k.exch_ts, k.last, k.bid) for k in ticks]))
        return self.swing.on_batch(ticks)


class ArrayKeeper(Keeper):
    def on_batch_array(self, ticks):
        rows = np.asarray(ticks)
        self.kept.append((ticks, rows.copy()))
        return self.swing.on_batch([t.Tick(int(r[0]), int(r[2])) for r in rows])


def test_batch_forms_agree_and_kept_batches_stay_as_given():
    ticks = walk(3, 5000)
    listed, arrays = Keeper(), ArrayKeeper()
    assert summary(t.run_backtest(listed, ticks, 1000, batch=64)) == \
        summary(t.run_backtest(arrays, ticks, 1000, batch=64))
    assert len(listed.kept) == len(arrays.kept) == 5000 // 64
    for (batch, seen), (array, rows) in zip(listed.kept, arrays.kept):
        assert [(k.exch_ts, k.last, k.bid) for k in batch] == seen
        assert np.array_equal(np.asarray(array), rows) and rows.shape == (64, 8)
        assert [tuple(r) for r in rows[:, [0, 2, 5]]] == seen
    # on_batch_array wins over on_batch; on_batch alone keeps the list form.
    assert arrays.kept and not any(isinstance(b, list) for b, _ in arrays.kept)


def test_reused_objects_never_change_under_a_reference():
    class Partial:  # keeps one tick of each batch, every other context, one whole list
        def __init__(self):
            self.ticks, self.contexts, self.lists = [], [], []

        def on_batch(self, ticks):
            self.ticks.append((ticks[3], ticks[3].last))
            if len(self.ticks) == 5:
                self.lists.append((ticks, [k.last for k in ticks]))

        def on_tick(self, ctx):
            if ctx.tick.exch_ts % 2:
                self.contexts.append((ctx, ctx.last, ctx.tick.exch_ts))

    ticks = walk(4, 2000)
    s = Partial()
    t.run_backtest(s, ticks, 1000, batch=16)
    t.run_backtest(s, ticks, 1000)
    assert all(k.last == last for k, last in s.ticks)
    assert all([k.last for k in batch] == lasts for batch, lasts in s.lists)
    assert all(c.last == last and c.tick.exch_ts == ts for c, last, ts in s.contexts)
    assert len(s.contexts) == 1000


def test_batches_carry_every_tick_in_order_and_kept_arrays_stay_as_given():
    class Arrays:  # copies every batch; keeps every third, as the array or a numpy view of it
        def __init__(self):
            self.rows, self.kept = [], []

        def on_batch_array(self, ticks):
            rows = np.asarray(ticks)
            self.rows.append(rows.copy())
            if len(self.rows) % 3 == 2:
                self.kept.append((ticks if len(self.rows) % 2 else rows, rows.copy()))

        def on_batch(self, ticks):
            self.rows.append(np.array([[k.exch_ts, k.last] for k in ticks]))

    rng = np.random.default_rng(5)
    records = np.zeros((150_000, 8), dtype=np.int64)
    records[:, 0] = np.arange(150_000)
    records[:, 2] = 1000 + rng.integers(-3, 4, 150_000).cumsum()
    # A batch above the storage's first size grows it while the first batch fills.
    for batch in (7, 100, 70_000):
        whole = len(records) - len(records) % batch
        s = Arrays()
        t.run_backtest(s, records, 1000, batch=batch)
        assert np.array_equal(np.concatenate(s.rows), records[:whole])
        assert s.kept and all(np.array_equal(np.asarray(k), c) for k, c in s.kept)
        listed = type("Listed", (), {"on_batch": Arrays.on_batch, "rows": []})()
        t.run_backtest(listed, records, 1000, batch=batch)
        assert np.array_equal(np.concatenate(listed.rows), records[:whole, [0, 2]])


def plain(value):
    """A result's fields with every array as a list, for comparing two results."""
    if isinstance(value, tuple):
        return tuple(plain(v) for v in value)
    return np.asarray(value).tolist() if isinstance(value, t.Int64Array) else value


def test_flat_spells_between_batches_change_nothing(tmp_path):
    class Spells:  # trades at random, often goes flat, and notes all it is shown
        def __init__(self, seed):
            self.rng, self.seen = np.random.default_rng(seed), []

        def on_batch_array(self, ticks):
            rows = np.asarray(ticks)
            self.seen.append((self.position, self.equity, self.last, rows.tolist()))
            what, qty = self.rng.integers(0, 6), int(self.rng.integers(1, 4))
            if what == 0 and self.position:
                return [t.CancelAll(), t.Order("sell" if self.position > 0 else "buy",
                                               abs(self.position))]
            if what == 1:
                return [t.Order("buy" if self.rng.integers(0, 2) else "sell", qty)]
            if what == 2:
                return [t.Order("buy", qty, price=int(rows[-1, 2]) - 1)]
            return [t.CancelAll()] if what == 3 else None

    ticks = walk(7, 20_000)
    records = np.array([[k.exch_ts, k.local_ts, k.last, k.high, k.low, k.bid, k.ask, k.volume]
                        for k in ticks], dtype=np.int64)
    fees = dict(maker_fee="0.0002", taker_fee="0.0005")
    # A funding event after the last tick settles nothing, but keeps every tick on the
    # engine's full step: the run it joins is the oracle.
    stepped = t.Venue(funding=[(10**12, "0.0001")], **fees)
    t.save_ticks(str(tmp_path / "walk.tmtk"), ticks)
    source = t.load_ticks(str(tmp_path / "walk.tmtk"))
    for batch, given, every in ((3, ticks, 1), (64, records, 7), (1000, records, 0),
                                (50, source, 3)):
        runs = [(Spells(batch), venue) for venue in (t.Venue(**fees), stepped)]
        got = [plain(t.run_backtest(s, given, 10**6, batch=batch, equity_every=every,
                                    venue=venue).__reduce__()[1]) for s, venue in runs]
        assert got[0] == got[1] and runs[0][0].seen == runs[1][0].seen
        assert len(runs[0][0].seen) == len(ticks) // batch


def test_statistics_read_arrays_exactly_as_lists():
    rng = np.random.default_rng(9)
    returns, table = rng.normal(0.001, 0.02, 3001), rng.normal(0, 0.01, (12, 400))
    for given in (returns, returns[::2], returns[::2].copy()):
        assert t.sharpe_ratio(given) == t.sharpe_ratio(given.tolist())
        assert t.moments(given) == t.moments(given.tolist())
        assert t.deflated_sharpe_ratio(given[:40], 250, 0.1, 3.5) == \
            t.deflated_sharpe_ratio(given[:40].tolist(), 250, 0.1, 3.5)
    for given in (table, np.asfortranarray(table), table[:, ::2]):
        assert t.probability_of_backtest_overfitting(given, 8) == \
            t.probability_of_backtest_overfitting(given.tolist(), 8)
    # Other dtypes and shapes take the sequence path, with its results and errors.
    assert t.moments(returns.astype(np.float32)) == t.moments(returns.astype(np.float32).tolist())
    with pytest.raises(ValueError) as array_error:
        t.sharpe_ratio(np.array([1.0, np.nan, 2.0]))
    with pytest.raises(ValueError) as list_error:
        t.sharpe_ratio([1.0, np.nan, 2.0])
    assert str(array_error.value) == str(list_error.value)


def test_another_thread_runs_while_a_run_holds_the_lock():
    def spin(seconds, out):
        end, n = time.perf_counter() + seconds, 0
        while time.perf_counter() < end:
            n += 1
        out.append(n)

    idle = []
    spin(0.3, idle)
    busy, done = [], threading.Event()
    worker = threading.Thread(target=spin, args=(0.3, busy))

    class Trivial:
        def on_tick(self, ctx):
            return None

    ticks = walk(5, 200_000)  # runs of several switch intervals each

    def runs():
        while not done.is_set():
            t.run_backtest(Trivial(), ticks, 1000)

    runner = threading.Thread(target=runs)
    runner.start()
    worker.start()
    worker.join()
    done.set()
    runner.join()
    assert busy[0] >= 0.1 * idle[0]


def run_script(code, timeout=120):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout)


def test_interpreter_exit_with_runs_on_daemon_threads_is_clean():
    code = """
        import threading, tallowmarsh as t
        ticks = [t.Tick(i, 100 + i % 7) for i in range(200_000)]
        class S:
            def on_tick(self, ctx): return None
            def on_batch(self, ticks): return None
        def forever(batch):
            while True: t.run_backtest(S(), ticks, 1000, batch=batch)
        for batch in (1, 1, 64, 64):
            threading.Thread(target=forever, args=(batch,), daemon=True).start()
        import time; time.sleep(0.05)
        """
    for _ in range(12):
        done = run_script(code)
        assert done.returncode == 0, done.stderr


def test_a_signal_handlers_exception_reaches_the_caller_unchanged():
    class Busy:
        def on_tick(self, ctx):
            sum(range(200))

    def alarm(signum, frame):
        raise TimeoutError("took too long")

    ticks, previous = walk(6, 400_000), signal.signal(signal.SIGALRM, alarm)
    try:
        for delay in (0.001, 0.002, 0.005, 0.01, 0.02, 0.04):  # a run takes > 0.3 s
            signal.setitimer(signal.ITIMER_REAL, delay)
            with pytest.raises(TimeoutError, match="took too long"):
                t.run_backtest(Busy(), ticks, 1000)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    # A strategy raising TimeoutError itself still fails the run.
    with pytest.raises(ValueError, match=FAILED + "TimeoutError"):
        t.run_backtest(type("S", (), {"on_tick": lambda s, c: alarm(0, None)})(), walk(6, 9), 1)


def test_reading_the_name_lets_only_ordinary_errors_pass():
    def named(error):
        def name(self):
            raise error
        return type("Named", (), {"name": property(name), "on_tick": lambda s, c: None})()

    assert t.run_backtest(named(ValueError()), walk(7, 10), 1000).strategy == "Named"
    with pytest.raises(KeyboardInterrupt):
        t.run_backtest(named(KeyboardInterrupt()), walk(7, 10), 1000)


def test_nested_runs_fail_cleanly_on_small_stacks():
    code = """
        import threading, tallowmarsh as t
        ticks = [t.Tick(0, 100)]
        class Nest:
            def on_tick(self, ctx): t.run_backtest(Nest(), ticks, 1000)
        out = []
        def go():
            try: t.run_backtest(Nest(), ticks, 1000)
            except ValueError as e: out.append("RecursionError" in str(e))
            except RecursionError: out.append(True)
        for size in (512 << 10, 1 << 20, 0):
            threading.stack_size(size)
            th = threading.Thread(target=go); th.start(); th.join()
        print(out)
        """
    done = run_script(code)
    assert done.returncode == 0 and done.stdout.strip() == "[True, True, True]", done.stderr
