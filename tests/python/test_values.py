"""The module's face: registration, argument conventions and the value classes."""

import gc
import inspect
import subprocess
import sys

import pytest

import tallowmarsh as t


class TestModule:
    def test_documentation_and_cash_scale(self):
        assert t.__doc__ == "Evaluate the backtest you already have."
        assert t.CASH_SCALE == 100000000
        assert type(t.CASH_SCALE) is int

    def test_classes_come_in_registration_order(self):
        names = [n for n in vars(t) if not n.startswith("_")]
        classes = [n for n in names if isinstance(getattr(t, n), type)]
        expected = ["Tick", "TickSource", "Context", "Order", "RunResult",
                    "ModeComparison", "LookaheadReport"]
        assert classes == [n for n in expected if hasattr(t, n)]
        assert names.index("CASH_SCALE") < names.index("Tick")

    def test_invariant_exception_is_not_exported(self):
        assert not hasattr(t, "InvariantError")

    def test_classes_live_in_the_module(self):
        for cls in (t.Tick, t.Order, t.Context):
            assert cls.__module__ == "tallowmarsh"

    def test_printing_from_a_fresh_interpreter(self):
        code = ("import tallowmarsh as t; print(t.Tick(5, 100), "
                "t.Order('sell', 1, 'close', price=61000))")
        out = subprocess.run([sys.executable, "-c", code], capture_output=True,
                             text=True, check=True).stdout
        assert out == ('Tick(exch_ts=5, last=100, bid=0, ask=0) '
                       'Order("sell", 1, "close", price=61000)\n')


class TestTick:
    def test_defaults_fill_from_exch_ts_and_last(self):
        tick = t.Tick(5, 100)
        assert (tick.exch_ts, tick.local_ts, tick.last, tick.high, tick.low,
                tick.bid, tick.ask, tick.volume) == (5, 5, 100, 100, 100, 0, 0, 0)
        assert repr(tick) == str(tick) == "Tick(exch_ts=5, last=100, bid=0, ask=0)"

    def test_third_positional_is_local_ts(self):
        tick = t.Tick(5, 100, 7)
        assert tick.local_ts == 7 and tick.high == 100

    def test_every_field_by_keyword(self):
        tick = t.Tick(exch_ts=1, last=2, local_ts=3, high=4, low=5, bid=6, ask=7, volume=8)
        assert (tick.exch_ts, tick.local_ts, tick.last, tick.high, tick.low,
                tick.bid, tick.ask, tick.volume) == (1, 3, 2, 4, 5, 6, 7, 8)

    def test_none_means_omitted_only_where_documented(self):
        tick = t.Tick(5, 100, None, high=None, low=None)
        assert (tick.local_ts, tick.high, tick.low) == (5, 100, 100)
        with pytest.raises(TypeError) as info:
            t.Tick(5, 100, bid=None)
        assert info.value.__notes__ == ["while processing 'bid'"]

    def test_inconsistent_values_are_stored_unchanged(self):
        tick = t.Tick(-1, 0, high=1, low=9, bid=10, ask=5, volume=-3)
        assert (tick.exch_ts, tick.high, tick.low, tick.bid, tick.ask, tick.volume) == (
            -1, 1, 9, 10, 5, -3)

    def test_signature(self):
        assert str(inspect.signature(t.Tick)) == (
            "(exch_ts, last, local_ts=None, high=None, low=None, bid=0, ask=0, volume=0)")
        assert t.Tick.__doc__.startswith("One observation, as Python sees it.")

    def test_limits_of_64_bits(self):
        top = t.Tick(2**63 - 1, -(2**63))
        assert (top.exch_ts, top.last) == (2**63 - 1, -(2**63))
        with pytest.raises(OverflowError) as info:
            t.Tick(2**63, 1)
        assert info.value.__notes__ == ["while processing 'exch_ts'"]
        with pytest.raises(OverflowError):
            t.Tick(1, -(2**63) - 1)

    @pytest.mark.parametrize("bad", [1.5, "100", 2.0])
    def test_float_and_str_are_type_errors(self, bad):
        with pytest.raises(TypeError) as info:
            t.Tick(5, bad)
        assert info.value.__notes__ == ["while processing 'last'"]

    def test_index_protocol_and_bool_are_integers(self):
        class Seven:
            def __index__(self):
                return 7

        assert t.Tick(Seven(), True).exch_ts == 7
        assert t.Tick(Seven(), True).last == 1

    def test_attributes_are_read_only_and_there_is_no_dict(self):
        tick = t.Tick(5, 100)
        with pytest.raises(AttributeError):
            tick.last = 3
        with pytest.raises(AttributeError):
            tick.anything = 3
        assert not hasattr(tick, "__dict__")

    def test_no_value_equality(self):
        assert t.Tick(1, 2) != t.Tick(1, 2)

    def test_not_tracked_by_the_cyclic_collector(self):
        assert not gc.is_tracked(t.Tick(1, 2))
        assert not gc.is_tracked(t.Order("buy", 1))

    def test_reused_memory_carries_nothing_over(self):
        # Dropped Ticks give their memory to the next ones; every field is rewritten.
        first = [t.Tick(i, 10 * i, bid=3, ask=4, volume=5) for i in range(100)]
        del first
        fresh = [t.Tick(7, 8) for _ in range(100)]
        assert {(x.exch_ts, x.local_ts, x.last, x.high, x.low, x.bid, x.ask, x.volume)
                for x in fresh} == {(7, 7, 8, 8, 8, 0, 0, 0)}


class TestBinding:
    """The TypeError wording is the interpreter's own for a Python function."""

    def test_missing_one(self):
        with pytest.raises(TypeError, match=r"^Tick\(\) missing 1 required positional "
                                            r"argument: 'last'$"):
            t.Tick(5)

    def test_missing_two(self):
        with pytest.raises(TypeError, match=r"^Tick\(\) missing 2 required positional "
                                            r"arguments: 'exch_ts' and 'last'$"):
            t.Tick()

    def test_too_many(self):
        with pytest.raises(TypeError, match=r"^Tick\(\) takes from 2 to 8 positional "
                                            r"arguments but 9 were given$"):
            t.Tick(*range(9))

    def test_unexpected_keyword(self):
        with pytest.raises(TypeError, match=r"^Tick\(\) got an unexpected keyword argument 'x'$"):
            t.Tick(1, 2, x=3)

    def test_multiple_values(self):
        with pytest.raises(TypeError, match=r"^Order\(\) got multiple values for argument 'side'$"):
            t.Order("buy", 1, side="sell")

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

    def test_a_failed_conversion_is_noted_once_with_its_parameter(self):
        with pytest.raises(TypeError) as info:
            t.Order("buy", "1")
        assert info.value.__notes__ == ["while processing 'qty'"]
        with pytest.raises(TypeError) as info:
            t.Order(1, 1)
        assert info.value.__notes__ == ["while processing 'side'"]


class TestOrder:
    def test_defaults(self):
        order = t.Order("buy", 1)
        assert (order.side, order.qty, order.offset, order.price) == ("buy", 1, "open", None)
        assert repr(order) == 'Order("buy", 1, "open")'

    def test_text_with_price(self):
        assert repr(t.Order("sell", 1, "close", price=61000)) == (
            'Order("sell", 1, "close", price=61000)')

    def test_side_and_offset_are_the_interned_constants(self):
        side = "".join(["bu", "y"])
        order = t.Order(side, 3)
        assert order.side == "buy" and order.side is not side
        assert order.side is t.Order("buy", 1).side

    def test_side_is_case_sensitive_and_untrimmed(self):
        with pytest.raises(ValueError, match=r'^side must be "buy" or "sell", got "BUY"$'):
            t.Order("BUY", 1)
        with pytest.raises(ValueError, match=r'got " buy"$'):
            t.Order(" buy", 1)

    def test_offset_is_validated_before_quantity(self):
        with pytest.raises(ValueError) as info:
            t.Order("buy", 0, "opn")
        assert str(info.value) == 'offset must be "open" or "close", got "opn"'
        with pytest.raises(ValueError) as info:
            t.Order("buy", 0)
        assert str(info.value) == "qty must be positive, got 0"
        with pytest.raises(ValueError, match=r"^qty must be positive, got -4$"):
            t.Order("sell", -4)

    def test_conversion_precedes_validation(self):
        # A bad side is not reported while a later argument fails to convert.
        with pytest.raises(TypeError) as info:
            t.Order("nope", 1, price="x")
        assert info.value.__notes__ == ["while processing 'price'"]

    def test_rejected_text_is_escaped(self):
        with pytest.raises(ValueError) as info:
            t.Order('a"b\\c\nd\x01', 1)
        assert str(info.value) == 'side must be "buy" or "sell", got "a\\"b\\\\c\\nd\\u{1}"'

    def test_price_is_not_validated(self):
        assert t.Order("sell", 2, price=-5).price == -5
        assert t.Order("sell", 2, price=0).price == 0

    def test_signature_and_doc(self):
        assert str(inspect.signature(t.Order)) == "(side, qty, offset='open', price=None)"
        assert t.Order.__doc__.startswith("An order a Python strategy wants placed.")

    def test_read_only(self):
        order = t.Order("buy", 1)
        for name in ("side", "qty", "offset", "price"):
            with pytest.raises(AttributeError):
                setattr(order, name, 1)


class TestContext:
    def test_not_constructible(self):
        with pytest.raises(TypeError):
            t.Context()

    def test_documentation(self):
        assert t.Context.__doc__.startswith("The tick plus the account, as Python sees it.")

    def test_not_tracked_by_the_cyclic_collector(self):
        seen = []

        class Keep:
            def on_tick(self, ctx):
                seen.append(ctx)

        t.run_backtest(Keep(), [t.Tick(1, 2)], 1000)
        assert type(seen[0]) is t.Context and not gc.is_tracked(seen[0])
