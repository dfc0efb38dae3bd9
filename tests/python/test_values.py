"""The module's face: its names and texts, and the value classes."""

import gc

import pytest

import tallowmarsh as t
from conftest import Script, make_ticks, message_of

FIELDS = ("exch_ts", "local_ts", "last", "high", "low", "bid", "ask", "volume")
NAMES = ["sharpe_ratio", "moments", "probabilistic_sharpe_ratio", "deflated_sharpe_ratio",
         "probability_of_backtest_overfitting", "minimum_track_record_length", "CASH_SCALE",
         "Tick", "TickSource", "Context", "Order", "RunResult", "ModeComparison",
         "LookaheadReport", "load_ticks", "save_ticks", "run_backtest", "compare_modes",
         "lookahead_check"]
DOCS = {
    "Tick": "One observation, as Python sees it.",
    "Order": "An order a Python strategy wants placed.",
    "Context": "The tick plus the account, as Python sees it.",
    "RunResult": "What a run produced.",
    "LookaheadReport": "What the lookahead check found. See `lookahead_check`.",
    "load_ticks": "Open a tick file for a run, without reading it.",
    "save_ticks": "Write ticks to a file `load_ticks` can read.",
}


def test_names_texts_and_constants():
    # The original names keep their order; what later features add follows them.
    assert [n for n in vars(t) if not n.startswith("_")][:len(NAMES)] == NAMES
    assert t.__doc__ == "Evaluate the backtest you already have."
    assert type(t.CASH_SCALE) is int and t.CASH_SCALE == 100000000
    assert not hasattr(t, "InvariantError")
    assert "Errors\n------" in t.save_ticks.__doc__
    # The signatures are pinned by the stub check; the statistics functions have no more.
    assert [getattr(t, name).__doc__ for name in NAMES[:6]] == [None] * 6
    for name, doc in DOCS.items():
        assert getattr(t, name).__doc__.startswith(doc), name
        assert getattr(getattr(t, name), "__module__", "tallowmarsh") == "tallowmarsh"


def test_values_are_read_only_untracked_and_only_some_constructible(tmp_path):
    path, seen = str(tmp_path / "x.tmtk"), []
    t.save_ticks(path, make_ticks(3))
    result = t.run_backtest(type("Keep", (), {"on_tick": lambda s, ctx: seen.append(ctx)})(),
                            make_ticks(3), 1000)
    for value, attribute in [(t.Tick(1, 2), "last"), (t.Order("buy", 1), "qty"), (result, "ticks"),
                             (seen[0], "position"), (t.load_ticks(path), "count"),
                             (t.compare_modes(Script, make_ticks(3), 1000, 2), "batch"),
                             (t.lookahead_check(lambda k: Script(), make_ticks(3), 1000), "clean")]:
        for name in (attribute, "anything"):
            with pytest.raises(AttributeError):
                setattr(value, name, 1)
        assert not hasattr(value, "__dict__")
        if type(value) not in (t.Tick, t.Order):
            with pytest.raises(TypeError):
                type(value)()
    assert not any(gc.is_tracked(v) for v in (t.Tick(1, 2), t.Order("buy", 1), seen[0]))
    assert t.Tick(1, 2) != t.Tick(1, 2)


@pytest.mark.parametrize("args,kwargs,expected", [
    ((5, 100, None), {"high": None}, (5, 5, 100, 100, 100, 0, 0, 0)),  # from exch_ts and last
    ((5, 100, 7), {}, (5, 7, 100, 100, 100, 0, 0, 0)),  # the third positional is local_ts
    ((), dict(exch_ts=1, last=2, local_ts=3, high=4, low=5, bid=6, ask=7, volume=8),
     (1, 3, 2, 4, 5, 6, 7, 8)),
    ((-1, 0), dict(high=1, low=9, bid=10, ask=5, volume=-3), (-1, -1, 0, 1, 9, 10, 5, -3)),
    ((2**63 - 1, -(2**63)), {}, (2**63 - 1, 2**63 - 1, -(2**63), -(2**63), -(2**63), 0, 0, 0)),
])
def test_tick_fields(args, kwargs, expected):
    first = [t.Tick(i, 10 * i, bid=3, ask=4, volume=5) for i in range(100)]
    del first  # their memory goes to the next Ticks: every field must be rewritten
    ticks = [t.Tick(*args, **kwargs) for _ in range(100)]
    assert {tuple(getattr(k, name) for name in FIELDS) for k in ticks} == {expected}
    assert repr(t.Tick(5, 100)) == str(t.Tick(5, 100)) == "Tick(exch_ts=5, last=100, bid=0, ask=0)"


def test_order_defaults_text_and_interned_constants():
    order = t.Order("".join(["bu", "y"]), 1)
    assert (order.side, order.qty, order.offset, order.price) == ("buy", 1, "open", None)
    assert order.side is t.Order("buy", 2).side and order.offset is t.Order("sell", 2).offset
    assert repr(order) == 'Order("buy", 1, "open")'
    assert repr(t.Order("sell", 1, "close", 61000)) == 'Order("sell", 1, "close", price=61000)'
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
    assert message_of(ValueError, t.Order, *args) == message
