"""The venue a run trades at: fees, funding, maintenance-margin tiers, the
execution engine and the account's switches, as immutable values.

Every number on its way to the account is exact. Rates are held as integer
parts per 10^9 of notional; they are given as an int in those parts, or as a
decimal string ("0.0005", "-0.0001", "0.04%", "2.5bp") or a Decimal, and a
float is refused because most decimal rates have no exact binary form. Money
in the margin tiers is in currency units (an int, or a decimal string or
Decimal exact at 1/CASH_SCALE). Times and latencies are int nanoseconds.

Each value converts itself once, with `_engine_form()`, into the plain tuple
of ints the compiled part reads at the start of a run.
"""

from decimal import Decimal, InvalidOperation
from fractions import Fraction
from numbers import Integral

__all__ = ["Venue", "L0", "L1", "L2", "Quantiles"]

_RATE_SCALE = 10**9
_I64_MAX = 2**63 - 1
_SUFFIXES = (("bp", Fraction(1, 10_000)), ("%", Fraction(1, 100)))


def _is_int(value):
    return isinstance(value, Integral) and not isinstance(value, bool)


def _exact(value, name, what):
    """An exact Fraction from a decimal string or Decimal; a float is refused."""
    if isinstance(value, float):
        raise TypeError(f"{name} must be exact, and the float {value!r} is not: most decimal "
                        f"fractions have no exact binary form. Pass {what}")
    text, scale = value, Fraction(1)
    if isinstance(value, str):
        text = value.strip().replace("_", "")
        for suffix, unit in _SUFFIXES:
            if text.endswith(suffix):
                text, scale = text[: -len(suffix)].strip(), unit
                break
    elif not isinstance(value, Decimal):
        raise TypeError(f"{name} must be {what}, not {type(value).__name__}")
    try:
        number = Decimal(text)
    except InvalidOperation:
        raise ValueError(f"{name}: {value!r} is not a decimal number; pass {what}") from None
    if not number.is_finite():
        raise ValueError(f"{name}: {value!r} is not a finite number")
    return Fraction(number) * scale


def _in_range(number, name, low, high):
    if not low <= number <= high:
        raise ValueError(f"{name}: {number} is out of range [{low}, {high}]")
    return number


def _rate(value, name, low=-_I64_MAX, high=_I64_MAX):
    """Parts per 10^9 from an int (taken as such) or an exact decimal rate."""
    if _is_int(value):
        return _in_range(int(value), name, low, high)
    what = ("a decimal string such as '0.0005', '0.05%' or '5bp', or an int in parts per "
            "10^9 such as 500000")
    parts = _exact(value, name, what) * _RATE_SCALE
    if parts.denominator != 1:
        raise ValueError(f"{name}: {value!r} is not a whole number of parts per 10^9, the "
                         "resolution of every rate")
    return _in_range(int(parts), name, low, high)


def _decimal_text(number, scale):
    """The shortest decimal string of number / scale (number an int or Fraction)."""
    number = Fraction(number)
    text = format(Decimal(number.numerator) / (Decimal(number.denominator) * scale), "f")
    return text.rstrip("0").rstrip(".") if "." in text else text


def _rate_text(parts):
    return _decimal_text(parts, _RATE_SCALE)


def _cash(value, name):
    """Currency units (int or exact decimal) as cash at 1/CASH_SCALE."""
    scale = _tm.CASH_SCALE
    if _is_int(value):
        return _in_range(int(value) * scale, name, -_I64_MAX, _I64_MAX)
    cash = _exact(value, name, "an int or a decimal string of currency units") * scale
    if cash.denominator != 1:
        raise ValueError(f"{name}: {value!r} is finer than 1/CASH_SCALE of a currency unit")
    return _in_range(int(cash), name, -_I64_MAX, _I64_MAX)


def _cash_text(cash):
    return _decimal_text(cash, _tm.CASH_SCALE)


def _int(value, name, low=0, high=_I64_MAX):
    if not _is_int(value):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    return _in_range(int(value), name, low, high)


class _Value:
    """An immutable value: equal, hashed and pickled by its `_key`."""

    __slots__ = ()

    def __setattr__(self, name, value):
        raise AttributeError(f"{type(self).__name__} is immutable; build a new one")

    def __delattr__(self, name):
        raise AttributeError(f"{type(self).__name__} is immutable")

    def _set(self, **fields):
        for name, value in fields.items():
            object.__setattr__(self, name, value)

    def __eq__(self, other):
        return type(other) is type(self) and other._key() == self._key()

    def __hash__(self):
        return hash((type(self).__name__, self._key()))

    def __reduce__(self):
        return (type(self), self._args())


class Quantiles(_Value):
    """A latency drawn per order: 50 %, 40 %, 9 % and 1 % of order ids take
    `p50`, `p90`, `p99` and `p999` nanoseconds, by a fixed hash of the id, so
    an order draws the same latency in every run."""

    __slots__ = ("p50", "p90", "p99", "p999")

    def __init__(self, p50, p90, p99, p999):
        self._set(p50=_int(p50, "p50"), p90=_int(p90, "p90"), p99=_int(p99, "p99"),
                  p999=_int(p999, "p999"))

    def _key(self):
        return (self.p50, self.p90, self.p99, self.p999)

    _args = _key

    def __repr__(self):
        return f"Quantiles(p50={self.p50}, p90={self.p90}, p99={self.p99}, p999={self.p999})"


def _latency(value, name):
    if isinstance(value, Quantiles):
        return value
    return _int(value, name)


def _latency_form(value):
    return value._key() if isinstance(value, Quantiles) else (value,)


def _queue(value):
    """None (no queue), an int of lots ahead, or a string "N%" of the volume
    traded over the last tick interval."""
    if value is None or _is_int(value):
        return None if value is None else _int(value, "queue")
    if isinstance(value, str) and value.strip().endswith("%"):
        number = value.strip()[:-1].strip()
        if number.isdigit():
            return f"{_in_range(int(number), 'queue', 0, 2**32 - 1)}%"
    raise ValueError(f"queue must be None, an int of lots ahead of every new limit order, or a "
                     f"whole percentage of the last interval's volume such as '25%'; got "
                     f"{value!r}")


def _queue_form(queue):
    if queue is None:
        return (0,)
    if isinstance(queue, str):
        return (2, int(queue[:-1]))
    return (1, queue)


class L0(_Value):
    """Fills against the ticks alone: no latency, no queue, no impact."""

    __slots__ = ()

    def _key(self):
        return ()

    _args = _key

    def __repr__(self):
        return "L0()"

    def _engine_form(self):
        return (0, (0,), (0,), (0,), 0)


class L1(_Value):
    """The L0 fills made realistic without depth: an order reaches the venue
    `submit_latency` after it was decided, a limit order waits behind `queue`
    before it can fill, a market order's price moves against it by the
    square-root impact (`impact` percent of the tick's range times
    sqrt(qty / volume)), and fills reach the account `report_latency` after
    they were made. Latencies are int nanoseconds or `Quantiles`."""

    __slots__ = ("submit_latency", "report_latency", "queue", "impact")
    _code = 1

    def __init__(self, submit_latency=0, report_latency=0, queue=None, impact=0):
        self._set(submit_latency=_latency(submit_latency, "submit_latency"),
                  report_latency=_latency(report_latency, "report_latency"),
                  queue=_queue(queue), impact=_int(impact, "impact", 0, 2**32 - 1))

    def _key(self):
        return (self.submit_latency, self.report_latency, self.queue, self.impact)

    _args = _key

    def __repr__(self):
        given = [f"{name}={getattr(self, name)!r}" for name, default in
                 zip(L1.__slots__, (0, 0, None, 0)) if getattr(self, name) != default]
        return f"{type(self).__name__}({', '.join(given)})"

    def _engine_form(self):
        return (self._code, _latency_form(self.submit_latency),
                _latency_form(self.report_latency), _queue_form(self.queue), self.impact)


class L2(L1):
    """L1 with the venue's market depth: a limit order queues behind the size
    shown at its price, and a market order is priced by walking the depth
    (pass the depth stream to the run); without depth it fills as L1."""

    __slots__ = ()
    _code = 2


def _funding(value):
    """(time, parts per 10^9) pairs in time order."""
    if isinstance(value, dict) or hasattr(value, "keys"):
        if set(value.keys()) != {"time", "rate"}:
            raise ValueError("funding given as a mapping must have exactly the keys 'time' and "
                             f"'rate', found {sorted(map(str, value.keys()))}")
        times, rates = list(value["time"]), list(value["rate"])
        if len(times) != len(rates):
            raise ValueError(f"funding: 'time' has {len(times)} entries and 'rate' has "
                             f"{len(rates)}; they must be of equal length")
        rows = zip(times, rates)
    else:
        try:
            rows = [tuple(row) for row in value]
        except TypeError:
            raise TypeError("funding must be a sequence of (time, rate) pairs or a mapping "
                            "{'time': times, 'rate': rates}") from None
        for i, row in enumerate(rows):
            if len(row) != 2:
                raise ValueError(f"funding[{i}] must be a (time, rate) pair, got {len(row)} "
                                 "items")
    events = []
    for i, (time, rate) in enumerate(rows):
        time = _int(time, f"funding[{i}] time", -_I64_MAX - 1)
        if events and time < events[-1][0]:
            raise ValueError(f"funding times must ascend (equal times are allowed): "
                             f"funding[{i}] at {time} comes after {events[-1][0]}")
        events.append((time, _rate(rate, f"funding[{i}] rate")))
    return tuple(events)


def _tiers(rows):
    """Margin rows as (limit cash or None, rate parts, deduction cash), checked."""
    try:
        rows = [tuple(row) for row in rows]
    except TypeError:
        raise TypeError("margin_tiers must be a sequence of (notional limit, rate, deduction) "
                        "rows") from None
    if not rows:
        raise ValueError("margin_tiers must have at least one row")
    out = []
    for i, row in enumerate(rows):
        name = f"margin_tiers[{i}]"
        if len(row) != 3:
            raise ValueError(f"{name} must be a (notional limit, rate, deduction) row")
        last = i == len(rows) - 1
        if (row[0] is None) != last:
            raise ValueError(f"{name}: only the last row has no notional limit (None), and it "
                             "must have none, so that every notional finds a row")
        limit = _I64_MAX if last else _cash(row[0], f"{name} notional limit")
        rate = _rate(row[1], f"{name} rate", 0, _RATE_SCALE)
        deduction = _cash(row[2], f"{name} deduction")
        if deduction < 0 or limit <= 0:
            raise ValueError(f"{name}: the notional limit must be positive and the deduction "
                             "not negative")
        if out and limit <= out[-1][0]:
            raise ValueError(f"{name}: notional limits must ascend")
        if out:
            bound, prev_rate, prev_deduction = out[-1]
            # At the boundary both rows must ask the same margin, to the cash unit.
            need = Fraction(bound * (rate - prev_rate), _RATE_SCALE) + prev_deduction
            if need != deduction:
                raise ValueError(
                    f"{name}: margin is not continuous at the notional limit of row {i - 1} "
                    f"({_cash_text(bound)}): this row's deduction would have to be "
                    f"{_cash_text(need)}, not {_cash_text(deduction)}")
        out.append((limit, rate, deduction))
    return tuple(out)


class Venue(_Value):
    """Where a run trades: maker and taker fee rates (negative for a rebate),
    a funding schedule settled against open positions, the maintenance-margin
    tiers, the execution engine, a hedge-mode account (`two_leg`: separate
    long and short legs, chosen by an order's offset) and whether to track the
    maintenance margin (`track_margin`). `Venue()` is the configuration of a
    run given no venue: L0, no fees, no funding, the built-in margin tiers."""

    __slots__ = ("_maker", "_taker", "_funding", "_tiers", "execution", "two_leg",
                 "track_margin")

    def __init__(self, maker_fee=0, taker_fee=0, funding=(), margin_tiers=None,
                 execution=None, two_leg=False, track_margin=False):
        execution = L0() if execution is None else execution
        if not isinstance(execution, (L0, L1)):
            raise TypeError(f"execution must be L0(), L1(...) or L2(...), not "
                            f"{type(execution).__name__}")
        for name, flag in (("two_leg", two_leg), ("track_margin", track_margin)):
            if not isinstance(flag, bool):
                raise TypeError(f"{name} must be a bool, not {type(flag).__name__}")
        self._set(_maker=_rate(maker_fee, "maker_fee"), _taker=_rate(taker_fee, "taker_fee"),
                  _funding=_funding(funding),
                  _tiers=None if margin_tiers is None else _tiers(margin_tiers),
                  execution=execution, two_leg=two_leg, track_margin=track_margin)

    @property
    def maker_fee(self):
        """The maker fee rate as a decimal string (negative: a rebate)."""
        return _rate_text(self._maker)

    @property
    def taker_fee(self):
        """The taker fee rate as a decimal string."""
        return _rate_text(self._taker)

    @property
    def funding(self):
        """The funding schedule: (time, rate as a decimal string) pairs."""
        return tuple((time, _rate_text(rate)) for time, rate in self._funding)

    @property
    def margin_tiers(self):
        """(notional limit, rate, deduction) rows as decimal strings, the last
        limit None; None for the built-in tiers."""
        if self._tiers is None:
            return None
        last = len(self._tiers) - 1
        return tuple((None if i == last else _cash_text(limit), _rate_text(rate),
                      _cash_text(deduction))
                     for i, (limit, rate, deduction) in enumerate(self._tiers))

    def _key(self):
        return (self._maker, self._taker, self._funding, self._tiers, self.execution,
                self.two_leg, self.track_margin)

    def _args(self):
        return (self._maker, self._taker, self.funding, self.margin_tiers, self.execution,
                self.two_leg, self.track_margin)

    def __repr__(self):
        given = []
        if self._maker:
            given.append(f"maker_fee={self.maker_fee!r}")
        if self._taker:
            given.append(f"taker_fee={self.taker_fee!r}")
        if self._funding:
            given.append(f"funding=<{len(self._funding)} events>")
        if self._tiers is not None:
            given.append(f"margin_tiers=<{len(self._tiers)} rows>")
        if self.execution != L0():
            given.append(f"execution={self.execution!r}")
        given += [f"{name}=True" for name in ("two_leg", "track_margin") if getattr(self, name)]
        return f"Venue({', '.join(given)})"

    def _engine_form(self):
        """(maker, taker, funding pairs, tiers or None, execution form, two_leg,
        track_margin), all ints and tuples."""
        return (self._maker, self._taker, self._funding, self._tiers,
                self.execution._engine_form(), self.two_leg, self.track_margin)
