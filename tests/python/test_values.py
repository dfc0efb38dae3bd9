"""The module's face: its names and texts, and the value classes."""

import gc
import inspect
import subprocess
import sys

import pytest

import tallowmarsh as t
from conftest import Quiet, make_ticks

FIELDS = ("exch_ts", "local_ts", "last", "high", "low", "bid", "ask", "volume")
NAMES = ["sharpe_ratio", "moments", "probabilistic_sharpe_ratio", "deflated_sharpe_ratio",
         "probability_of_backtest_overfitting", "minimum_track_record_length", "CASH_SCALE",
         "Tick", "TickSource", "Context", "Order", "RunResult", "ModeComparison",
         "LookaheadReport", "load_ticks", "save_ticks", "run_backtest", "compare_modes",
         "lookahead_check"]
SIGNATURES = {
    "sharpe_ratio": "(returns)",
    "moments": "(returns)",
    "probabilistic_sharpe_ratio": "(observed, benchmark, n_observations, skewness, kurtosis)",
    "deflated_sharpe_ratio": "(all_sharpes, n_observations, skewness, kurtosis)",
    "probability_of_backtest_overfitting": "(columns, n_blocks=16)",
    "minimum_track_record_length": "(observed, benchmark, skewness, kurtosis, confidence=0.95)",
    "load_ticks": "(path)",
    "save_ticks": "(path, ticks, instrument=1)",
    "run_backtest": "(strategy, ticks, balance, batch=1, enforce_margin=True, equity_every=0, "
                    "contract_size=10000)",
    "compare_modes": "(build, ticks, balance, batch, enforce_margin=True, contract_size=10000)",
    "lookahead_check": "(build, ticks, balance, max_points=200, enforce_margin=True, "
                       "contract_size=10000)",
    "Tick": "(exch_ts, last, local_ts=None, high=None, low=None, bid=0, ask=0, volume=0)",
    "Order": "(side, qty, offset='open', price=None)",
}
DOCS = {
    "Tick": "One observation, as Python sees it.",
    "Order": "An order a Python strategy wants placed.",
    "Context": "The tick plus the account, as Python sees it.",
    "TickSource": "A tick file, held by name rather than by contents.",
    "RunResult": "What a run produced.",
    "ModeComparison": "What batching cost, measured on this strategy and this data.",
    "LookaheadReport": "What the lookahead check found. See `lookahead_check`.",
    "load_ticks": "Open a tick file for a run, without reading it.",
    "save_ticks": "Write ticks to a file `load_ticks` can read.",
    "run_backtest": "Run a Python strategy over a tick series.",
    "compare_modes": "Run one strategy both ways over the same ticks and report what\n"
                     "batching changed.",
    "lookahead_check": "Whether a strategy decides from the past alone.",
}


def fields(tick):
    return tuple(getattr(tick, name) for name in FIELDS)


def test_names_in_registration_order_and_constants():
    assert [n for n in vars(t) if not n.startswith("_")] == NAMES
    assert t.__doc__ == "Evaluate the backtest you already have."
    assert type(t.CASH_SCALE) is int and t.CASH_SCALE == 100000000
    assert not hasattr(t, "InvariantError")
    assert "Errors\n------" in t.save_ticks.__doc__


@pytest.mark.parametrize("name", SIGNATURES)
def test_signatures(name):
    assert str(inspect.signature(getattr(t, name))) == SIGNATURES[name]


@pytest.mark.parametrize("name", NAMES[:6])
def test_statistics_documentation_is_the_signature_alone(name):
    assert getattr(t, name).__text_signature__ == SIGNATURES[name]
    assert getattr(t, name).__doc__ is None


@pytest.mark.parametrize("name", DOCS)
def test_docstrings(name):
    assert getattr(t, name).__doc__.startswith(DOCS[name])
    if isinstance(getattr(t, name), type):
        assert getattr(t, name).__module__ == "tallowmarsh"


def instances(tmp_path):
    """One of each class the module hands out, with an attribute it must refuse to set."""
    path = str(tmp_path / "x.tmtk")
    t.save_ticks(path, make_ticks(3))
    seen = []

    class Keep:
        def on_tick(self, ctx):
            seen.append(ctx)

    result = t.run_backtest(Keep(), make_ticks(3), 1000)
    return [(t.Tick(1, 2), "last"), (t.Order("buy", 1), "qty"), (seen[0], "position"),
            (result, "ticks"), (t.load_ticks(path), "count"),
            (t.compare_modes(Quiet, make_ticks(3), 1000, 2), "batch"),
            (t.lookahead_check(lambda ticks: Quiet(), make_ticks(3), 1000), "clean")]


def test_values_are_read_only_untracked_and_only_some_constructible(tmp_path):
    for value, attribute in instances(tmp_path):
        for name in (attribute, "anything"):
            with pytest.raises(AttributeError):
                setattr(value, name, 1)
        assert not hasattr(value, "__dict__")
        if type(value) not in (t.Tick, t.Order):
            with pytest.raises(TypeError):
                type(value)()
    assert not gc.is_tracked(t.Tick(1, 2)) and not gc.is_tracked(t.Order("buy", 1))
    assert not gc.is_tracked(instances(tmp_path)[2][0])
    assert t.Tick(1, 2) != t.Tick(1, 2)


def test_printing_from_a_fresh_interpreter():
    code = ("import tallowmarsh as t; print(t.Tick(5, 100), "
            "t.Order('sell', 1, 'close', price=61000))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True,
                         text=True, check=True).stdout
    assert out == ('Tick(exch_ts=5, last=100, bid=0, ask=0) '
                   'Order("sell", 1, "close", price=61000)\n')


@pytest.mark.parametrize("args,kwargs,expected", [
    ((5, 100), {}, (5, 5, 100, 100, 100, 0, 0, 0)),            # defaults from exch_ts, last
    ((5, 100, 7), {}, (5, 7, 100, 100, 100, 0, 0, 0)),         # third positional: local_ts
    ((5, 100, None), {"high": None, "low": None}, (5, 5, 100, 100, 100, 0, 0, 0)),
    ((), dict(exch_ts=1, last=2, local_ts=3, high=4, low=5, bid=6, ask=7, volume=8),
     (1, 3, 2, 4, 5, 6, 7, 8)),
    ((-1, 0), dict(high=1, low=9, bid=10, ask=5, volume=-3), (-1, -1, 0, 1, 9, 10, 5, -3)),
    ((2**63 - 1, -(2**63)), {}, (2**63 - 1, 2**63 - 1, -(2**63), -(2**63), -(2**63), 0, 0, 0)),
])
def test_tick_fields(args, kwargs, expected):
    assert fields(t.Tick(*args, **kwargs)) == expected


def test_tick_text_and_reused_memory():
    assert repr(t.Tick(5, 100)) == str(t.Tick(5, 100)) == "Tick(exch_ts=5, last=100, bid=0, ask=0)"
    first = [t.Tick(i, 10 * i, bid=3, ask=4, volume=5) for i in range(100)]
    del first  # their memory goes to the next Ticks: every field must be rewritten
    assert {fields(t.Tick(7, 8)) for _ in range(100)} == {(7, 7, 8, 8, 8, 0, 0, 0)}


def test_order_defaults_text_and_interned_constants():
    order = t.Order("".join(["bu", "y"]), 1)
    assert (order.side, order.qty, order.offset, order.price) == ("buy", 1, "open", None)
    assert order.side is t.Order("buy", 2).side and order.offset is t.Order("sell", 2).offset
    assert repr(order) == 'Order("buy", 1, "open")'
    assert repr(t.Order("sell", 1, "close", price=61000)) == 'Order("sell", 1, "close", price=61000)'
    assert (t.Order("sell", 2, price=-5).price, t.Order("sell", 2, price=0).price) == (-5, 0)


@pytest.mark.parametrize("args,message", [
    (("BUY", 1), 'side must be "buy" or "sell", got "BUY"'),   # case-sensitive
    ((" buy", 1), 'side must be "buy" or "sell", got " buy"'),  # untrimmed
    (('a"b\\c\nd\x01', 1), 'side must be "buy" or "sell", got "a\\"b\\\\c\\nd\\u{1}"'),
    (("buy", 0, "opn"), 'offset must be "open" or "close", got "opn"'),  # before qty
    (("buy", 0), "qty must be positive, got 0"),
    (("sell", -4), "qty must be positive, got -4"),
])
def test_order_validation(args, message):
    with pytest.raises(ValueError) as info:
        t.Order(*args)
    assert str(info.value) == message
