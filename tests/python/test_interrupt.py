"""What stops a call rather than fails it: Ctrl-C, promptly, a BaseException from the
strategy, raised again unchanged, and the engine's broken invariant, a BaseException too."""

import _thread
import gc
import os
import signal
import sys
import threading
import time
import weakref

import numpy as np
import pytest

import tallowmarsh as t
from conftest import FAILED, NOT_TICKS, Items, Script, buy, failing, make_ticks, message_of

BIG = 8_000_000  # ticks in the long file: a few tenths of a second of engine time
LATENCY = 0.75  # seconds from the interrupt to the exception, generously
SENDERS = {"interrupt_main": _thread.interrupt_main,
           "SIGINT": lambda: signal.raise_signal(signal.SIGINT)}


class Slow(Script):
    """A strategy slow enough that a few thousand calls take seconds; buys every tenth."""

    def on_tick(self, ctx):
        super().on_tick(ctx)
        sum(range(2000))
        return [buy()] if self.calls % 10 == 0 else None

    on_batch = on_tick


@pytest.fixture(scope="module")
def long(tmp_path_factory):
    """A file and a list long enough that a run over either takes a while, and how long."""
    path = str(tmp_path_factory.mktemp("interrupt") / "big.tmtk")
    t.save_ticks(path, [t.Tick(1, 100)] * BIG)
    series, seconds = {"file": t.load_ticks(path), "list": [t.Tick(1, 100)] * (BIG // 2)}, {}
    for name, ticks in series.items():
        t.run_backtest(Script(), ticks, 1000, batch=2**40)  # the first run also maps the memory
        start = time.perf_counter()
        assert t.run_backtest(Script(), ticks, 1000, batch=2**40).ticks == len(ticks)
        seconds[name] = time.perf_counter() - start
    return series, seconds


def interrupted(call, send, after=0.15):
    """When `call` started and ended, and when the interrupt was sent, after `after`."""
    # Ctrl-C raises KeyboardInterrupt here even where SIGINT is ignored, as it is for a
    # background job of a non-interactive shell.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    sent = []
    timer = threading.Timer(after, lambda: (sent.append(time.perf_counter()), send()))
    start, ended = time.perf_counter(), None
    timer.start()
    try:
        call()
    except KeyboardInterrupt:
        ended = time.perf_counter()
    finally:
        try:  # a call that ended first leaves the interrupt to be taken here, not in pytest
            timer.join()
            time.sleep(0 if ended else 0.2)
        except KeyboardInterrupt:
            pass
        signal.signal(signal.SIGINT, previous)
    if ended is None:
        pytest.fail("the call ended before the interrupt arrived")
    return start, ended, sent[0]


CALLS = {  # each given the series and a strategy
    "file run": lambda s, k: t.run_backtest(k, s["file"], 1000, batch=2**40),
    "list run": lambda s, k: t.run_backtest(k, s["list"], 1000, batch=2**40),
    "per-tick run": lambda s, k: t.run_backtest(k, s["list"], 1000),
    "batched run": lambda s, k: t.run_backtest(k, s["list"], 1000, batch=100),
    "compare_modes": lambda s, k: t.compare_modes(lambda: k, s["file"], 1000, 2**40),
    "lookahead_check": lambda s, k: t.lookahead_check(lambda p: k, s["list"][:3000], 1000),
}


@pytest.mark.parametrize("send", SENDERS)
@pytest.mark.parametrize("name", CALLS)
def test_ctrl_c_ends_every_kind_of_call(long, name, send):
    (series, seconds), strategy = long, Slow()
    after, ref = seconds.get(name.split()[0], 0.6) / 8, weakref.ref(strategy)
    start, ended, sent = interrupted(lambda: CALLS[name](series, strategy), SENDERS[send], after)
    assert ended - sent < LATENCY
    if name == "file run":  # it never calls Python, yet stops well before it would have ended
        assert ended - sent < (seconds["file"] - (sent - start)) / 2
    del strategy
    gc.collect()
    assert ref() is None  # released


@pytest.mark.parametrize("send", SENDERS)
def test_ctrl_c_ends_a_long_write_and_a_writer_takes_that_write_back(tmp_path, send):
    rows = np.zeros((2 * BIG, 8), dtype=np.int64)  # 1 GiB written without the lock, ~1 s
    target = tmp_path / "saved.tmtk"
    target.write_bytes(b"before")
    start, ended, sent = interrupted(lambda: t.save_ticks(str(target), rows), SENDERS[send])
    assert ended - sent < LATENCY and target.read_bytes() == b"before"
    with t.TickWriter(str(tmp_path / "written.tmtk")) as writer:
        writer.write([t.Tick(0, 100)] * 3)
        start, ended, sent = interrupted(lambda: writer.write(rows), SENDERS[send])
        assert ended - sent < LATENCY and writer.count == 3  # nothing of the stopped write
        writer.write([t.Tick(10**6, 100)])
    assert len(t.load_ticks(str(tmp_path / "written.tmtk"))) == 4
    assert sorted(os.listdir(tmp_path)) == ["saved.tmtk", "written.tmtk"]


def test_a_base_exception_from_python_is_raised_unchanged():
    raised, ticks = KeyboardInterrupt("from the strategy"), make_ticks(50)

    strategy = failing(raised, 3)()
    stops_batched = type("StopsBatched", (Script,), {"on_batch": lambda s, batch: sys.exit(3)})
    with pytest.raises(KeyboardInterrupt) as info:
        t.run_backtest(strategy, ticks, 1000)
    assert info.value is raised and strategy.calls == 3
    assert "on_tick" in [entry.name for entry in info.traceback]  # it still leads to the strategy
    for call in [lambda: t.run_backtest(failing(SystemExit(3))(), ticks, 1000, batch=4),
                 lambda: t.lookahead_check(failing(SystemExit(3), 20, [buy()]), ticks, 1000),
                 lambda: t.lookahead_check(lambda k: Script({5: [buy()]}) if len(k) == 50
                                           else sys.exit(3), ticks, 1000),  # from the build
                 lambda: t.compare_modes(stops_batched, ticks, 1000, 2),  # in the second run
                 lambda: t.run_backtest(Script(), Items([ticks[0]] * 2, SystemExit(3), 1), 1000),
                 lambda: t.lookahead_check(Script, Items([ticks[0]] * 2, SystemExit(3), -1), 1),
                 *[lambda at=at: t.run_backtest(Script({1: Items([buy()] * 2, SystemExit(3), at)}),
                                                ticks, 1000) for at in (-1, 0, 1)]]:
        with pytest.raises(SystemExit) as info:
            call()
        assert info.value.code == 3
    assert message_of(ValueError, t.run_backtest, Script({1: Items([buy()] * 2, LookupError(), 1)}),
                      ticks, 1000).startswith(FAILED + "a strategy must return None")
    assert message_of(TypeError, t.run_backtest, Script(), Items([ticks[0]] * 2, LookupError(), 1),
                      1000) == NOT_TICKS


def overflowing(batch=1):
    """A long position marked at the smallest price, with `low` 0 so that `last` is used:
    the adverse-excursion subtraction overflows."""
    return make_ticks(batch + 1) + [t.Tick(batch + 1, -(2**63), low=0, high=0)]


def test_a_broken_invariant_is_a_base_exception(tmp_path):
    path = str(tmp_path / "collapse.tmtk")
    t.save_ticks(path, overflowing())
    nesting = type("Nesting", (), {"on_tick": lambda s, ctx: t.run_backtest(  # its own run fails
        Script({1: [buy()]}), overflowing(), 1000, enforce_margin=False)})()
    for call in [lambda: t.run_backtest(Script({1: [buy()]}), overflowing(3), 1000, 3, False),
                 lambda: t.run_backtest(Script({1: [buy()]}), t.load_ticks(path), 1000, 1, False),
                 lambda: t.compare_modes(lambda: Script({1: [buy()]}), overflowing(), 1000, 1,
                                         enforce_margin=False),
                 lambda: t.lookahead_check(lambda k: Script({1: [buy()]}), overflowing(), 1000,
                                           enforce_margin=False),
                 lambda: t.run_backtest(nesting, make_ticks(3), 1000)] * 40:
        try:
            call()
        except Exception:  # noqa: BLE001 - it must not be caught here
            pytest.fail("caught as an Exception")
        except BaseException as error:  # noqa: B036 - checked here
            assert (type(error).__name__, type(error).__module__, str(error)) == (
                "InvariantError", "tallowmarsh", "arithmetic overflow")
        else:
            pytest.fail("no invariant error")
    assert t.run_backtest(Script({1: [buy()]}), overflowing(), 1000).liquidations == 1
