"""Ctrl-C and other exceptions that must stop a run rather than fail it.

A KeyboardInterrupt delivered while a run executes (with the interpreter
lock released, possibly without calling Python for millions of ticks) must
end the run promptly and reach the caller as KeyboardInterrupt. An exception
from the strategy that is not an `Exception` (KeyboardInterrupt, SystemExit)
is raised again unchanged instead of becoming failure text.
"""

import _thread
import gc
import signal
import struct
import threading
import time
import weakref
import zlib

import numpy as np
import pytest

import tallowmarsh as t

BIG = 6_000_000  # ticks in the long file: most of a second of engine time
LATENCY_BOUND = 0.75  # seconds from the interrupt to the exception, generously


def write_ticks(path, n):
    """A sound file of n ticks, one nanosecond apart, written without Tick objects."""
    records = np.empty((n, 8), dtype="<i8")
    index = np.arange(n, dtype="<i8")
    records[:, 0] = index
    records[:, 1] = index
    records[:, 2:7] = [100, 101, 99, 99, 101]
    records[:, 7] = index
    body = records.tobytes()
    with open(path, "wb") as f:
        f.write(struct.pack("<4sHHQQII", b"TMTK", 2, 0, n, 1, zlib.crc32(body), 0))
        f.write(body)


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("interrupt") / "big.tmtk")
    write_ticks(path, BIG)
    return t.load_ticks(path)


@pytest.fixture(scope="module")
def full_run_seconds(big):
    """How long a run over the long file takes when nothing stops it."""
    start = time.perf_counter()
    assert t.run_backtest(Silent(), big, 1000, batch=2**40).ticks == BIG
    return time.perf_counter() - start


class Silent:
    """Never called in practice: its batch is larger than any series here."""

    def on_batch(self, ticks):
        return None


class Slow:
    """A per-tick strategy slow enough that a few thousand ticks take seconds."""

    def __init__(self, ticks=None):
        self.calls = 0

    def on_tick(self, ctx):
        self.calls += 1
        sum(range(2000))

    def on_batch(self, ticks):
        self.calls += 1
        sum(range(2000 * len(ticks)))


def interrupt_main():
    _thread.interrupt_main()


def raise_sigint():
    signal.raise_signal(signal.SIGINT)


SENDERS = [pytest.param(interrupt_main, id="interrupt_main"),
           pytest.param(raise_sigint, id="SIGINT")]


def interrupted(call, send, after=0.15):
    """Runs `call` while another thread sends an interrupt after `after`
    seconds. Returns (seconds the call ran, seconds from the interrupt to the
    exception, the exception). Fails if the call ends without one."""
    sent = []

    def sender():
        time.sleep(after)
        sent.append(time.perf_counter())
        send()

    thread = threading.Thread(target=sender)
    start = time.perf_counter()
    thread.start()
    try:
        call()
    except KeyboardInterrupt as error:
        end = time.perf_counter()
        thread.join()
        return end - start, end - sent[0], error
    # The call ended first: absorb the interrupt here rather than in pytest.
    try:
        thread.join()
        time.sleep(0.2)
    except KeyboardInterrupt:
        pass
    pytest.fail("the call ended before the interrupt arrived")


def assert_module_still_works():
    result = t.run_backtest(Slow(), [t.Tick(i, 100) for i in range(3)], 1000)
    assert result.ticks == 3


class TestCtrlC:
    @pytest.mark.parametrize("send", SENDERS)
    def test_file_run_that_never_calls_python(self, big, full_run_seconds, send):
        ran, latency, _ = interrupted(
            lambda: t.run_backtest(Silent(), big, 1000, batch=2**40), send,
            after=full_run_seconds / 4)
        print(f"\nthroughput file run: interrupt latency {latency * 1000:.1f} ms, "
              f"full run {full_run_seconds:.2f} s")
        assert latency < LATENCY_BOUND
        assert ran < full_run_seconds * 0.8
        assert_module_still_works()

    def test_list_run_that_never_calls_python(self):
        ticks = [t.Tick(1, 100, bid=99, ask=101)] * 4_000_000
        start = time.perf_counter()
        t.run_backtest(Silent(), ticks, 1000, batch=2**40)
        full = time.perf_counter() - start
        ran, latency, _ = interrupted(
            lambda: t.run_backtest(Silent(), ticks, 1000, batch=2**40), interrupt_main,
            after=full / 4)
        print(f"\nthroughput list run: interrupt latency {latency * 1000:.1f} ms, "
              f"full run {full:.2f} s")
        assert latency < LATENCY_BOUND

    @pytest.mark.parametrize("send", SENDERS)
    def test_per_tick_run(self, send):
        strategy = Slow()
        ticks = [t.Tick(i, 100) for i in range(200_000)]
        ran, latency, _ = interrupted(lambda: t.run_backtest(strategy, ticks, 1000), send)
        print(f"\nper-tick run: interrupt latency {latency * 1000:.2f} ms "
              f"after {strategy.calls} calls")
        assert latency < LATENCY_BOUND
        assert 0 < strategy.calls < len(ticks)
        assert_module_still_works()

    def test_batched_run(self):
        strategy = Slow()
        ticks = [t.Tick(i, 100) for i in range(200_000)]
        _, latency, _ = interrupted(
            lambda: t.run_backtest(strategy, ticks, 1000, batch=100), interrupt_main)
        assert latency < LATENCY_BOUND
        assert 0 < strategy.calls < len(ticks) // 100

    def test_compare_modes(self, big):
        class Fast:
            def on_tick(self, ctx):
                return None

            def on_batch(self, ticks):
                return None

        _, latency, _ = interrupted(lambda: t.compare_modes(Fast, big, 1000, 2**40),
                                    interrupt_main)
        assert latency < LATENCY_BOUND
        assert_module_still_works()

    def test_lookahead_check(self):
        def build(ticks):
            return Traded(ticks)

        ticks = [t.Tick(i, 100) for i in range(3000)]
        _, latency, _ = interrupted(lambda: t.lookahead_check(build, ticks, 1000), interrupt_main)
        print(f"\nlookahead check: interrupt latency {latency * 1000:.2f} ms")
        assert latency < LATENCY_BOUND
        assert_module_still_works()

    def test_strategy_is_released_after_the_interrupt(self, big):
        strategy = Silent()
        ref = weakref.ref(strategy)
        interrupted(lambda: t.run_backtest(strategy, big, 1000, batch=2**40), interrupt_main,
                    after=0.05)
        del strategy
        gc.collect()
        assert ref() is None


class Traded(Slow):
    """Slow, and sends an order on every tenth tick, so the check reruns prefixes."""

    def on_tick(self, ctx):
        super().on_tick(ctx)
        return [t.Order("buy", 1)] if self.calls % 10 == 0 else None


class TestStrategyRaisesBaseException:
    def test_keyboard_interrupt_is_raised_unchanged(self):
        raised = KeyboardInterrupt("from the strategy")

        class Stop:
            calls = 0

            def on_tick(self, ctx):
                self.calls += 1
                if self.calls == 3:
                    raise raised

        strategy = Stop()
        with pytest.raises(KeyboardInterrupt) as info:
            t.run_backtest(strategy, [t.Tick(i, 100) for i in range(100)], 1000)
        assert info.value is raised
        # The traceback still leads into the strategy.
        assert "on_tick" in [entry.name for entry in info.traceback]
        assert strategy.calls == 3

    def test_system_exit_in_a_batch(self):
        class Exit:
            def on_batch(self, ticks):
                raise SystemExit(3)

        with pytest.raises(SystemExit) as info:
            t.run_backtest(Exit(), [t.Tick(i, 100) for i in range(10)], 1000, batch=4)
        assert info.value.code == 3

    def test_it_wins_over_a_corrupt_file(self, tmp_path):
        path = str(tmp_path / "c.tmtk")
        t.save_ticks(path, [t.Tick(i, 100) for i in range(10000)])
        data = bytearray(open(path, "rb").read())
        data[-1] ^= 1
        open(path, "wb").write(data)

        class Stop:
            def on_tick(self, ctx):
                raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            t.run_backtest(Stop(), t.load_ticks(path), 1000)

    def test_lookahead_strategy_and_build(self):
        ticks = [t.Tick(i, 100) for i in range(50)]

        class StopLate:
            def __init__(self, prefix):
                self.calls = 0

            def on_tick(self, ctx):
                self.calls += 1
                if self.calls == 20:
                    raise KeyboardInterrupt("late")
                return [t.Order("buy", 1)]

        with pytest.raises(KeyboardInterrupt, match="^late$"):
            t.lookahead_check(StopLate, ticks, 1000)

        def build(prefix):
            if len(prefix) < len(ticks):
                raise SystemExit("no prefixes")
            return Traded(prefix)

        with pytest.raises(SystemExit, match="^no prefixes$"):
            t.lookahead_check(build, ticks, 1000)

    def test_lookahead_ordinary_failure_is_still_text(self):
        def build(prefix):
            raise KeyError("x")

        with pytest.raises(ValueError, match="^the strategy failed during the check: "
                                             "build raised: KeyError: 'x'$"):
            t.lookahead_check(build, [t.Tick(1, 100)], 1000)

    def test_compare_modes_second_run(self):
        built = []

        class StopBatched:
            def on_tick(self, ctx):
                return None

            def on_batch(self, ticks):
                raise KeyboardInterrupt("batched")

        def build():
            built.append(1)
            return StopBatched()

        with pytest.raises(KeyboardInterrupt, match="^batched$"):
            t.compare_modes(build, [t.Tick(i, 100) for i in range(10)], 1000, 2)
        assert len(built) == 2


class Raising:
    """A sequence of two items whose reading raises `error` at item `at`
    (at -1: when asked for its length)."""

    def __init__(self, item, error, at):
        self.item, self.error, self.at = item, error, at

    def __len__(self):
        if self.at < 0:
            raise self.error
        return 2

    def __getitem__(self, i):
        if i == self.at:
            raise self.error
        if i >= 2:
            raise IndexError(i)
        return self.item


class TestReadingASequenceRaisesBaseException:
    @pytest.mark.parametrize("at", [-1, 0, 1])
    def test_returned_orders(self, at):
        class Returns:
            def on_tick(self, ctx):
                return Raising(t.Order("buy", 1), KeyboardInterrupt("reading"), at)

        with pytest.raises(KeyboardInterrupt, match="^reading$"):
            t.run_backtest(Returns(), [t.Tick(i, 100) for i in range(5)], 1000)

    def test_returned_orders_raising_an_exception_are_still_a_bad_return(self):
        class Returns:
            def on_tick(self, ctx):
                return Raising(t.Order("buy", 1), LookupError("reading"), 1)

        with pytest.raises(ValueError, match="^the strategy failed during the run: a strategy "
                                             "must return None or a list of Order"):
            t.run_backtest(Returns(), [t.Tick(i, 100) for i in range(5)], 1000)

    @pytest.mark.parametrize("at", [-1, 1])
    def test_ticks_argument(self, at):
        ticks = Raising(t.Tick(1, 100), SystemExit("reading"), at)
        with pytest.raises(SystemExit, match="^reading$"):
            t.run_backtest(Silent(), ticks, 1000, batch=2)
        with pytest.raises(SystemExit, match="^reading$"):
            t.lookahead_check(Slow, ticks, 1000)
        ticks = Raising(t.Tick(1, 100), LookupError("reading"), at)
        with pytest.raises(TypeError, match="^ticks must be a sequence of Tick"):
            t.run_backtest(Silent(), ticks, 1000, batch=2)


class TestFailureEndsTheRun:
    def test_failed_strategy_stops_a_long_run_early(self, big, full_run_seconds):
        class FailFirst:
            def on_batch(self, ticks):
                raise RuntimeError("first batch")

        start = time.perf_counter()
        with pytest.raises(ValueError, match="^the strategy failed during the run: "
                                             "RuntimeError: first batch$"):
            t.run_backtest(FailFirst(), big, 1000, batch=1000)
        assert time.perf_counter() - start < full_run_seconds / 4

    def test_failure_on_the_last_tick_is_reported_the_same(self):
        class FailLast:
            calls = 0

            def on_tick(self, ctx):
                self.calls += 1
                if self.calls == 5:
                    raise RuntimeError("last")

        with pytest.raises(ValueError, match="^the strategy failed during the run: "
                                             "RuntimeError: last$"):
            t.run_backtest(FailLast(), [t.Tick(i, 100) for i in range(5)], 1000)
