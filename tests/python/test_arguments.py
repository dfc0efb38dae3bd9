"""Argument binding: the interpreter's own wording, the parameter named on each failed
conversion, and hostile values that raise only TypeError, OverflowError or ValueError."""

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tallowmarsh as t
from conftest import NOT_TICKS, Items, Script, buy, make_ticks, message_of

TICKS = make_ticks(5)
GOOD = [0.01 * ((i * 7) % 5 - 2) for i in range(40)]


@pytest.mark.parametrize("call,message", [
    (lambda: t.Tick(5), "Tick() missing 1 required positional argument: 'last'"),
    (lambda: t.Tick(), "Tick() missing 2 required positional arguments: 'exch_ts' and 'last'"),
    (lambda: t.Tick(*range(9)), "Tick() takes from 2 to 8 positional arguments but 9 were given"),
    (lambda: t.Tick(1, 2, x=3), "Tick() got an unexpected keyword argument 'x'"),
    (lambda: t.Order("buy", 1, side="sell"), "Order() got multiple values for argument 'side'"),
    (lambda: t.run_backtest(Script(), []),
     "run_backtest() missing 1 required positional argument: 'balance'"),
    (lambda: t.run_backtest(Script(), [], 1, 1, True, 0, 1, None, None, None, 11),
     "run_backtest() takes from 3 to 10 positional arguments but 11 were given"),
    (lambda: t.compare_modes(Script, [], 1000),
     "compare_modes() missing 1 required positional argument: 'batch'"),
    (lambda: t.moments(), "moments() missing 1 required positional argument: 'returns'"),
    (lambda: t.sharpe_ratio(r=[1.0]), "sharpe_ratio() got an unexpected keyword argument 'r'"),
    (lambda: t.probability_of_backtest_overfitting([[1.0]], 4, n_blocks=4),
     "probability_of_backtest_overfitting() got multiple values for argument 'n_blocks'"),
])
def test_binding_wording_is_the_interpreters(call, message):
    assert message_of(TypeError, call) == message


@pytest.mark.parametrize("call,exc,param", [
    (lambda: t.Tick(5, 100, bid=None), TypeError, "bid"),  # None is no default but where given
    (lambda: t.Tick(2**63, 1), OverflowError, "exch_ts"),
    (lambda: t.Tick(1, -(2**63) - 1), OverflowError, "last"),
    (lambda: t.Tick(5, 2.0), TypeError, "last"),
    (lambda: t.Order("buy", "1"), TypeError, "qty"),
    (lambda: t.Order(1, 1), TypeError, "side"),
    (lambda: t.Order("nope", 1, price="x"), TypeError, "price"),  # converted before validation
    (lambda: t.run_backtest(Script(), TICKS, 1.5), TypeError, "balance"),
    (lambda: t.run_backtest(Script(), TICKS, 1000, batch=-1), OverflowError, "batch"),
    (lambda: t.run_backtest(Script(), TICKS, 1000, enforce_margin=1), TypeError, "enforce_margin"),
    (lambda: t.run_backtest(Script(), TICKS, 1000, equity_every=2**64), OverflowError,
     "equity_every"),
    (lambda: t.run_backtest(Script(), TICKS, 1000, contract_size="1"), TypeError, "contract_size"),
    (lambda: t.compare_modes(Script, TICKS, 1000, None), TypeError, "batch"),
    (lambda: t.lookahead_check(Script, TICKS, 1000, max_points=-1), OverflowError, "max_points"),
    (lambda: t.save_ticks("x.tmtk", [], instrument=-1), OverflowError, "instrument"),
    (lambda: t.load_ticks(3), TypeError, "path"),
    (lambda: t.moments("abcd"), TypeError, "returns"),
    (lambda: t.deflated_sharpe_ratio([1.0, 0.5], 250.0, 0.0, 3.0), TypeError, "n_observations"),
    (lambda: t.probabilistic_sharpe_ratio(0.1, 0.0, 10, "0", 3.0), TypeError, "skewness"),
    (lambda: t.probability_of_backtest_overfitting(["abc", "def"]), TypeError, "columns"),
    (lambda: t.probability_of_backtest_overfitting([GOOD, GOOD], 2**64), OverflowError,
     "n_blocks"),
])
def test_a_failed_conversion_names_its_parameter_once(call, exc, param):
    with pytest.raises(exc) as info:
        call()
    assert info.value.__notes__ == [f"while processing '{param}'"]


def test_accepted_conversions():
    seven = type("Seven", (), {"__index__": lambda s: 7})()
    assert (t.Tick(seven, True).exch_ts, t.Tick(seven, True).last) == (7, 1)
    assert t.Tick(np.int64(3), np.int8(-5)).last == -5
    assert t.run_backtest(Script(), TICKS, 1000, enforce_margin=np.bool_(False)).ticks == 5
    assert t.probabilistic_sharpe_ratio(True, 0, True + 9, 0, 3) == \
        t.probabilistic_sharpe_ratio(1.0, 0.0, 10, 0.0, 3.0)
    assert t.moments((1, 2, 3, 4))[0] == t.sharpe_ratio(np.array([1.0, 2.0, 3.0, 4.0]))
    assert t.sharpe_ratio(returns=[1, 2, 3, 4]) == t.sharpe_ratio([1, 2, 3, 4])
    assert message_of(TypeError, t.moments, "abcd") == "Can't extract `str` to `Vec`"
    assert message_of(TypeError, t.probability_of_backtest_overfitting, ["abc", "def"]) == \
        "Can't extract `str` to `Vec`"
    lying = Items([0.5] * 2, length=2**40)  # nothing may be reserved for its claim
    for call in (lambda: t.sharpe_ratio(lying),
                 lambda: t.probability_of_backtest_overfitting([lying, lying])):
        with pytest.raises(IndexError):
            call()


@pytest.mark.parametrize("bad", ["ticks", (x for x in []), [t.Tick(1, 1), None], 3, None,
                                 Items([t.Tick(1, 100)] * 2, length=2**40)])
def test_ticks_that_are_not_ticks(bad, tmp_path):
    assert message_of(TypeError, t.run_backtest, Script(), bad, 1000) == NOT_TICKS
    assert message_of(TypeError, t.save_ticks, str(tmp_path / "x"), bad) == NOT_TICKS
    assert not (tmp_path / "x").exists()


# Hostile values: only the documented exception types, and the interpreter survives.
SCALARS = st.one_of(
    st.none(), st.booleans(), st.integers(-(2**70), 2**70),
    st.sampled_from([2**63 - 1, 2**63, -(2**63) - 1, 2**64, np.int64(3), np.uint64(2**64 - 1),
                     np.float32("nan"), np.bool_(True), np.array([1, 2]), np.array([]),
                     np.array([[1.0, 2.0]]), object(), complex(1, 2), {}, (), b"", "\ud800"]),
    st.floats(), st.text(max_size=4))
HOSTILE = st.one_of(SCALARS, st.lists(SCALARS, max_size=4), st.lists(st.lists(SCALARS, max_size=3),
                                                                         max_size=3))
# Sound arguments for each function, each of which may be swapped for a hostile value;
# a path is never hostile, as a hostile str would name a file in the working directory.
PATHS = st.sampled_from(["", "\0", "/nonexistent/x.tmtk", "/", "\ud800", b"/nonexistent/x", None, 5])
SOUND = {
    t.Tick: (5, 100, None, None, None, 99, 101, 3),
    t.Order: ("buy", 1, "close", 100),
    t.run_backtest: (Script({1: [buy()]}), TICKS, 1000, 2, True, 1, 10000),
    t.compare_modes: (Script, TICKS, 1000, 2, True, 10000),
    t.lookahead_check: (lambda k: Script({1: [buy()]}), TICKS, 1000, 3, True, 10000),
    t.load_ticks: (PATHS,),
    t.save_ticks: (PATHS, TICKS, 1),
    t.moments: (GOOD,),
    t.probabilistic_sharpe_ratio: (0.1, 0.0, 10, 0.0, 3.0),
    t.deflated_sharpe_ratio: ([0.1, 0.2], 10, 0.0, 3.0),
    t.minimum_track_record_length: (0.1, 0.0, 0.0, 3.0, 0.9),
    t.probability_of_backtest_overfitting: ([GOOD, GOOD[::-1]], 4),
}


@pytest.mark.parametrize("func", SOUND, ids=lambda f: f.__name__)
@settings(max_examples=120, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_hostile_arguments_raise_only_documented_types(func, data):
    args = [data.draw(v if v is PATHS else st.one_of(st.just(v), HOSTILE)) for v in SOUND[func]]
    args = args[:data.draw(st.integers(len(args) - 1, len(args)))]
    try:
        func(*args)
    except (TypeError, OverflowError, ValueError):
        pass
