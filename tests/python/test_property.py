"""Hostile arguments for every function and constructor of the module.

Each parameter gets either a sound value or something it must refuse: the
wrong type, an integer outside 64 bits, a negative count, None, a float, a
str, a bool, a numpy scalar or array, a nested list. Whatever the mix, only
TypeError, OverflowError or ValueError may come out, and the interpreter
must survive to serve the next call.
"""

import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tallowmarsh as t

ALLOWED = (TypeError, OverflowError, ValueError)
I64 = (-(2**63), 2**63 - 1)

CASES = settings(max_examples=250, deadline=None,
                 suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

# --- Values a parameter must refuse, or accept at its edges -------------------

EDGE_INTS = st.sampled_from([0, 1, -1, 2**31, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1,
                             2**64 - 1, 2**64, 2**200, -(2**200)])
INTS = st.one_of(EDGE_INTS, st.integers(-(2**70), 2**70))
NUMPY = st.sampled_from([
    np.int64(3), np.int64(-1), np.int8(-5), np.uint64(2**64 - 1), np.uint8(200),
    np.float64(1.5), np.float32("nan"), np.bool_(True), np.bool_(False),
    np.array(7), np.array([1, 2]), np.array([]), np.array([[1.0, 2.0], [3.0, 4.0]]),
    np.array(["a"]), np.arange(5, dtype=np.float64), np.array([np.nan, 1.0]),
])
SCALARS = st.one_of(
    st.none(), st.booleans(), INTS, NUMPY,
    st.floats(allow_nan=True, allow_infinity=True),
    st.text(max_size=6), st.binary(max_size=6),
    st.sampled_from([object(), complex(1, 2), {}, set(), (), [], range(3), b"", "\ud800"]),
)
HOSTILE = st.one_of(
    SCALARS,
    st.lists(SCALARS, max_size=4),
    st.tuples(SCALARS, SCALARS),
    st.lists(st.lists(SCALARS, max_size=3), max_size=3),
)

i64 = st.integers(*I64)
u64 = st.integers(0, 2**64 - 1)
floats = st.floats(allow_nan=True, allow_infinity=True)
small_ticks = st.lists(
    st.builds(lambda ts, last: t.Tick(ts, last, bid=last - 1, ask=last + 1),
              st.integers(0, 10**6), st.integers(-10**6, 10**6)),
    max_size=12)
float_lists = st.lists(floats, max_size=40)


# --- Strategies handed to the run entry points --------------------------------

class Quiet:
    def __init__(self, ticks=None):
        pass

    def on_tick(self, ctx):
        return None

    def on_batch(self, ticks):
        return None


class Trader:
    """Buys on its first call, sells twice as much on its third, then repeats."""

    def __init__(self, ticks=None):
        self.calls = 0

    def decide(self):
        self.calls += 1
        if self.calls % 4 == 1:
            return [t.Order("buy", 1)]
        if self.calls % 4 == 3:
            return (t.Order("sell", 2, "close", price=5),)
        return None

    def on_tick(self, ctx):
        return self.decide()

    def on_batch(self, ticks):
        return self.decide()


class Odd:
    """Returns something that is not a list of Order."""

    def __init__(self, ticks=None):
        pass

    def on_tick(self, ctx):
        return {"buy": 1}

    def on_batch(self, ticks):
        return "buy"


class Raises:
    def __init__(self, ticks=None):
        pass

    def on_tick(self, ctx):
        raise RuntimeError("no")

    def on_batch(self, ticks):
        raise RuntimeError("no")


STRATEGY_CLASSES = st.sampled_from([Quiet, Trader, Odd, Raises])


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """A sound tick file, a corrupt one, a directory, and a place to write."""
    root = tmp_path_factory.mktemp("property")
    sound = str(root / "sound.tmtk")
    t.save_ticks(sound, [t.Tick(i, 100 + i) for i in range(20)])
    broken = root / "broken.tmtk"
    data = bytearray(open(sound, "rb").read())
    data[40] ^= 0xFF
    broken.write_bytes(bytes(data))
    return {
        "root": str(root),
        "sound": sound,
        "broken": str(broken),
        "out": str(root / "out.tmtk"),
        "hostile_paths": ["", "\0", str(root / "a\0b"), str(root), str(root / "missing" / "x"),
                          "\ud800", str(root / "none.tmtk")],
    }


def either(valid):
    """A parameter value: sound most of the time, hostile the rest."""
    return st.one_of(valid, valid, HOSTILE)


def either_path(paths):
    """A path parameter: one of `paths`, or a hostile value that is not a str
    (a str from the hostile set would name a file in the working directory)."""
    return st.one_of(st.sampled_from(paths), HOSTILE.filter(lambda v: not isinstance(v, str)))


def call(data, func, params):
    """Calls `func` with drawn arguments: each optional parameter may be
    omitted, and arguments go positionally or by keyword."""
    values = []
    for name, strategy, required in params:
        if not required and data.draw(st.booleans(), label="omit " + name):
            values.append((name, None, True))
        else:
            values.append((name, data.draw(strategy, label=name), False))
    by_keyword = data.draw(st.booleans(), label="by keyword")
    args, kwargs = [], {}
    for name, value, omitted in values:
        if omitted:
            by_keyword = True  # later arguments must be named once one is skipped
            continue
        if by_keyword:
            kwargs[name] = value
        else:
            args.append(value)
    try:
        return func(*args, **kwargs)
    except ALLOWED:
        return None


def assert_healthy():
    result = t.run_backtest(Trader(), [t.Tick(i, 100) for i in range(4)], 1000)
    assert result.ticks == 4 and result.fills == 2


# --- Value classes ------------------------------------------------------------

@CASES
@given(data=st.data())
def test_tick_constructor(data):
    tick = call(data, t.Tick, [
        ("exch_ts", either(i64), True), ("last", either(i64), True),
        ("local_ts", either(st.one_of(st.none(), i64)), False),
        ("high", either(st.one_of(st.none(), i64)), False),
        ("low", either(st.one_of(st.none(), i64)), False),
        ("bid", either(i64), False), ("ask", either(i64), False),
        ("volume", either(i64), False),
    ])
    if tick is not None:
        assert all(I64[0] <= getattr(tick, f) <= I64[1] for f in
                   ("exch_ts", "local_ts", "last", "high", "low", "bid", "ask", "volume"))
        repr(tick)


@CASES
@given(data=st.data())
def test_order_constructor(data):
    order = call(data, t.Order, [
        ("side", either(st.sampled_from(["buy", "sell", "BUY", "", "buy\0"])), True),
        ("qty", either(i64), True),
        ("offset", either(st.sampled_from(["open", "close", "opn"])), False),
        ("price", either(st.one_of(st.none(), i64)), False),
    ])
    if order is not None:
        assert order.side in ("buy", "sell") and order.offset in ("open", "close")
        assert order.qty > 0
        repr(order)


# --- Runs ---------------------------------------------------------------------

def ticks_argument(files):
    return st.one_of(small_ticks,
                     st.sampled_from([files["sound"], files["broken"]]).map(t.load_ticks))


@CASES
@given(data=st.data())
def test_run_backtest(data, files):
    result = call(data, t.run_backtest, [
        ("strategy", either(STRATEGY_CLASSES.map(lambda cls: cls())), True),
        ("ticks", either(ticks_argument(files)), True),
        ("balance", either(i64), True),
        ("batch", either(st.one_of(st.integers(0, 5), u64)), False),
        ("enforce_margin", either(st.sampled_from([True, False, np.bool_(True)])), False),
        ("equity_every", either(u64), False),
        ("contract_size", either(st.one_of(st.integers(-10**6, 10**6), i64)), False),
    ])
    if result is not None:
        assert result.fills == len(result.fill_prices)
        repr(result)


@CASES
@given(data=st.data())
def test_compare_modes(data, files):
    result = call(data, t.compare_modes, [
        ("build", either(STRATEGY_CLASSES), True),
        ("ticks", either(ticks_argument(files)), True),
        ("balance", either(i64), True),
        ("batch", either(st.one_of(st.integers(0, 5), u64)), True),
        ("enforce_margin", either(st.booleans()), False),
        ("contract_size", either(st.one_of(st.integers(-10**6, 10**6), i64)), False),
    ])
    if result is not None:
        repr(result)


@CASES
@given(data=st.data())
def test_lookahead_check(data):
    result = call(data, t.lookahead_check, [
        ("build", either(STRATEGY_CLASSES), True),
        ("ticks", either(small_ticks), True),
        ("balance", either(i64), True),
        ("max_points", either(st.one_of(st.integers(0, 5), u64)), False),
        ("enforce_margin", either(st.booleans()), False),
        ("contract_size", either(st.one_of(st.integers(-10**6, 10**6), i64)), False),
    ])
    if result is not None:
        assert result.clean == (result.divergences == [])
        repr(result)


# --- Tick files ---------------------------------------------------------------

@CASES
@given(data=st.data())
def test_load_ticks(data, files):
    paths = [files["sound"], files["broken"]] + files["hostile_paths"]
    source = call(data, t.load_ticks, [("path", either_path(paths), True)])
    if source is not None:
        assert len(source) == source.count
        repr(source)


@CASES
@given(data=st.data())
def test_save_ticks(data, files):
    paths = [files["out"]] + files["hostile_paths"]
    written = call(data, t.save_ticks, [
        ("path", either_path(paths), True),
        ("ticks", either(small_ticks), True),
        ("instrument", either(u64), False),
    ])
    if written is not None:
        assert written == len(t.load_ticks(files["out"]))


# --- Statistics ---------------------------------------------------------------

@CASES
@given(data=st.data())
def test_moments_and_sharpe_ratio(data):
    for func in (t.moments, t.sharpe_ratio):
        value = call(data, func, [("returns", either(float_lists), True)])
        if func is t.sharpe_ratio and value is not None:
            assert isinstance(value, float)


@CASES
@given(data=st.data())
def test_probabilistic_and_deflated_sharpe_ratio(data):
    call(data, t.probabilistic_sharpe_ratio, [
        ("observed", either(floats), True), ("benchmark", either(floats), True),
        ("n_observations", either(u64), True), ("skewness", either(floats), True),
        ("kurtosis", either(floats), True),
    ])
    call(data, t.deflated_sharpe_ratio, [
        ("all_sharpes", either(float_lists), True), ("n_observations", either(u64), True),
        ("skewness", either(floats), True), ("kurtosis", either(floats), True),
    ])


@CASES
@given(data=st.data())
def test_minimum_track_record_length(data):
    value = call(data, t.minimum_track_record_length, [
        ("observed", either(floats), True), ("benchmark", either(floats), True),
        ("skewness", either(floats), True), ("kurtosis", either(floats), True),
        ("confidence", either(floats), False),
    ])
    assert value is None or isinstance(value, float)


@CASES
@given(data=st.data())
def test_probability_of_backtest_overfitting(data):
    columns = st.integers(1, 4).flatmap(lambda n: st.integers(0, 40).flatmap(
        lambda length: st.lists(st.lists(st.floats(-1, 1), min_size=length, max_size=length),
                                min_size=n, max_size=n)))
    value = call(data, t.probability_of_backtest_overfitting, [
        ("columns", either(columns), True),
        ("n_blocks", either(st.sampled_from([0, 2, 3, 4, 6, 8, 16, 24, 26, 2**40])), False),
    ])
    assert value is None or (isinstance(value, float) and not math.isnan(value))


def test_interpreter_still_serves_calls():
    assert_healthy()


# --- Sequences that lie about their length ------------------------------------

class Liar:
    """Claims 2^40 items but holds two; asking for the third raises IndexError."""

    def __init__(self, item):
        self.item = item

    def __len__(self):
        return 2**40

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError(i)
        return self.item


def test_a_lying_tick_sequence_allocates_nothing_for_its_claim():
    # The claimed length must not be reserved up front (2^40 ticks are 64 TiB):
    # the sequence fails when read, as the fixed TypeError.
    with pytest.raises(TypeError, match="^ticks must be a sequence of Tick"):
        t.run_backtest(Quiet(), Liar(t.Tick(1, 100)), 1000)
    with pytest.raises(TypeError, match="^ticks must be a sequence of Tick"):
        t.save_ticks("/nonexistent-dir/x.tmtk", Liar(t.Tick(1, 100)))


def test_a_lying_float_sequence_allocates_nothing_for_its_claim():
    # Its own IndexError comes out, not a MemoryError for the claimed length.
    with pytest.raises(IndexError):
        t.sharpe_ratio(Liar(0.5))
    with pytest.raises(IndexError):
        t.probability_of_backtest_overfitting([Liar(0.5), Liar(0.25)])
    assert_healthy()
