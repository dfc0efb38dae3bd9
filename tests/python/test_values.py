"""The module's face: registration, argument conventions and the value classes."""

import gc
import inspect
import subprocess
import sys

import pytest

import tallowmarsh as t

FIELDS = ("exch_ts", "local_ts", "last", "high", "low", "bid", "ask", "volume")


def fields(tick):
    return tuple(getattr(tick, name) for name in FIELDS)


class TestModule:
    def test_documentation_constants_and_classes(self):
        assert t.__doc__ == "Evaluate the backtest you already have."
        assert t.CASH_SCALE == 100000000
        assert type(t.CASH_SCALE) is int
        assert not hasattr(t, "InvariantError")
        for cls in (t.Tick, t.Order, t.Context):
            assert cls.__module__ == "tallowmarsh"
        assert t.Tick.__doc__.startswith("One observation, as Python sees it.")
        assert t.Order.__doc__.startswith("An order a Python strategy wants placed.")
        assert t.Context.__doc__.startswith("The tick plus the account, as Python sees it.")

    def test_classes_come_in_registration_order(self):
        names = [n for n in vars(t) if not n.startswith("_")]
        classes = [n for n in names if isinstance(getattr(t, n), type)]
        expected = ["Tick", "TickSource", "Context", "Order", "RunResult",
                    "ModeComparison", "LookaheadReport"]
        assert classes == [n for n in expected if hasattr(t, n)]
        assert names.index("CASH_SCALE") < names.index("Tick")

    def test_printing_from_a_fresh_interpreter(self):
        code = ("import tallowmarsh as t; print(t.Tick(5, 100), "
                "t.Order('sell', 1, 'close', price=61000))")
        out = subprocess.run([sys.executable, "-c", code], capture_output=True,
                             text=True, check=True).stdout
        assert out == ('Tick(exch_ts=5, last=100, bid=0, ask=0) '
                       'Order("sell", 1, "close", price=61000)\n')

    def test_values_are_not_tracked_by_the_cyclic_collector(self):
        seen = []

        class Keep:
            def on_tick(self, ctx):
                seen.append(ctx)

        t.run_backtest(Keep(), [t.Tick(1, 2)], 1000)
        assert type(seen[0]) is t.Context and not gc.is_tracked(seen[0])
        assert not gc.is_tracked(t.Tick(1, 2))
        assert not gc.is_tracked(t.Order("buy", 1))
        with pytest.raises(TypeError):
            t.Context()


class TestTick:
    @pytest.mark.parametrize("args,kwargs,expected", [
        ((5, 100), {}, (5, 5, 100, 100, 100, 0, 0, 0)),            # defaults from exch_ts, last
        ((5, 100, 7), {}, (5, 7, 100, 100, 100, 0, 0, 0)),         # third positional: local_ts
        ((5, 100, None), {"high": None, "low": None}, (5, 5, 100, 100, 100, 0, 0, 0)),
        ((), dict(exch_ts=1, last=2, local_ts=3, high=4, low=5, bid=6, ask=7, volume=8),
         (1, 3, 2, 4, 5, 6, 7, 8)),
        ((-1, 0), dict(high=1, low=9, bid=10, ask=5, volume=-3),  # stored unchanged
         (-1, -1, 0, 1, 9, 10, 5, -3)),
        ((2**63 - 1, -(2**63)), {}, (2**63 - 1, 2**63 - 1, -(2**63), -(2**63), -(2**63), 0, 0, 0)),
    ])
    def test_fields(self, args, kwargs, expected):
        assert fields(t.Tick(*args, **kwargs)) == expected

    def test_text_and_signature(self):
        tick = t.Tick(5, 100)
        assert repr(tick) == str(tick) == "Tick(exch_ts=5, last=100, bid=0, ask=0)"
        assert str(inspect.signature(t.Tick)) == (
            "(exch_ts, last, local_ts=None, high=None, low=None, bid=0, ask=0, volume=0)")

    @pytest.mark.parametrize("args,kwargs,exc,param", [
        ((5, 100), {"bid": None}, TypeError, "bid"),  # None means omitted only where documented
        ((2**63, 1), {}, OverflowError, "exch_ts"),
        ((1, -(2**63) - 1), {}, OverflowError, "last"),
        ((5, 1.5), {}, TypeError, "last"),
        ((5, "100"), {}, TypeError, "last"),
        ((5, 2.0), {}, TypeError, "last"),
    ])
    def test_conversion_failures_name_the_parameter(self, args, kwargs, exc, param):
        with pytest.raises(exc) as info:
            t.Tick(*args, **kwargs)
        assert info.value.__notes__ == [f"while processing '{param}'"]

    def test_index_protocol_and_bool_are_integers(self):
        class Seven:
            def __index__(self):
                return 7

        assert (t.Tick(Seven(), True).exch_ts, t.Tick(Seven(), True).last) == (7, 1)

    def test_read_only_without_dict_or_value_equality(self):
        tick = t.Tick(5, 100)
        with pytest.raises(AttributeError):
            tick.last = 3
        with pytest.raises(AttributeError):
            tick.anything = 3
        assert not hasattr(tick, "__dict__")
        assert t.Tick(1, 2) != t.Tick(1, 2)

    def test_reused_memory_carries_nothing_over(self):
        # Dropped Ticks give their memory to the next ones; every field is rewritten.
        first = [t.Tick(i, 10 * i, bid=3, ask=4, volume=5) for i in range(100)]
        del first
        fresh = [t.Tick(7, 8) for _ in range(100)]
        assert {fields(x) for x in fresh} == {(7, 7, 8, 8, 8, 0, 0, 0)}


class TestBinding:
    """The TypeError wording is the interpreter's own for a Python function."""

    @pytest.mark.parametrize("call,message", [
        (lambda: t.Tick(5), "Tick() missing 1 required positional argument: 'last'"),
        (lambda: t.Tick(), "Tick() missing 2 required positional arguments: 'exch_ts' and 'last'"),
        (lambda: t.Tick(*range(9)),
         "Tick() takes from 2 to 8 positional arguments but 9 were given"),
        (lambda: t.Tick(1, 2, x=3), "Tick() got an unexpected keyword argument 'x'"),
        (lambda: t.Order("buy", 1, x=2), "Order() got an unexpected keyword argument 'x'"),
        (lambda: t.Order("buy", 1, side="sell"), "Order() got multiple values for argument 'side'"),
    ])
    def test_wording(self, call, message):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message

    def test_wording_matches_a_python_function(self):
        namespace = {}
        exec("def Tick(exch_ts, last, local_ts=None, high=None, low=None, bid=0, ask=0,"
             " volume=0): pass", namespace)
        Tick = namespace["Tick"]
        for args, kwargs in [((), {}), ((1,), {}), (tuple(range(9)), {}),
                             ((1, 2), {"x": 1}), ((1, 2), {"last": 1}),
                             ((1, 2, 3, 4, 5, 6, 7, 8, 9), {"zzz": 1})]:
            with pytest.raises(TypeError) as ours:
                t.Tick(*args, **kwargs)
            with pytest.raises(TypeError) as theirs:
                Tick(*args, **kwargs)
            assert str(ours.value) == str(theirs.value)

    @pytest.mark.parametrize("args,kwargs,param", [
        (("buy", "1"), {}, "qty"),
        ((1, 1), {}, "side"),
        (("nope", 1), {"price": "x"}, "price"),  # conversion precedes validation of the side
    ])
    def test_a_failed_conversion_is_noted_once_with_its_parameter(self, args, kwargs, param):
        with pytest.raises(TypeError) as info:
            t.Order(*args, **kwargs)
        assert info.value.__notes__ == [f"while processing '{param}'"]


class TestOrder:
    def test_defaults_text_and_unvalidated_price(self):
        order = t.Order("buy", 1)
        assert (order.side, order.qty, order.offset, order.price) == ("buy", 1, "open", None)
        assert repr(order) == 'Order("buy", 1, "open")'
        assert repr(t.Order("sell", 1, "close", price=61000)) == (
            'Order("sell", 1, "close", price=61000)')
        assert t.Order("sell", 2, price=-5).price == -5
        assert t.Order("sell", 2, price=0).price == 0
        assert str(inspect.signature(t.Order)) == "(side, qty, offset='open', price=None)"
        for name in ("side", "qty", "offset", "price"):
            with pytest.raises(AttributeError):
                setattr(order, name, 1)

    def test_side_and_offset_are_the_interned_constants(self):
        side = "".join(["bu", "y"])
        order = t.Order(side, 3)
        assert order.side == "buy" and order.side is not side
        assert order.side is t.Order("buy", 1).side

    @pytest.mark.parametrize("args,message", [
        (("BUY", 1), 'side must be "buy" or "sell", got "BUY"'),   # case-sensitive
        ((" buy", 1), 'side must be "buy" or "sell", got " buy"'),  # untrimmed
        (('a"b\\c\nd\x01', 1), 'side must be "buy" or "sell", got "a\\"b\\\\c\\nd\\u{1}"'),
        (("buy", 0, "opn"), 'offset must be "open" or "close", got "opn"'),  # before qty
        (("buy", 0), "qty must be positive, got 0"),
        (("sell", -4), "qty must be positive, got -4"),
    ])
    def test_validation(self, args, message):
        with pytest.raises(ValueError) as info:
            t.Order(*args)
        assert str(info.value) == message
