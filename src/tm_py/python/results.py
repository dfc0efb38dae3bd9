"""The record sets a RunResult hands out, and their pandas form.

Every column is an Int64Array that numpy.asarray wraps without copying. Cash
columns are in 1/CASH_SCALE of the settlement currency, prices in ticks,
times in nanoseconds of exchange time.
"""

from typing import Any, NamedTuple, Optional

__all__ = ["EquityCurve", "FillRecords", "LiquidationRecords", "MarginWatch", "ResultFrames",
           "_result_frames"]


class EquityCurve(NamedTuple):
    """The equity after the first tick, every `equity_every`-th tick and the last tick."""

    exch_ts: Any   # exchange time of the tick the sample follows
    equity: Any    # cash
    position: Any  # net position in lots after that tick


class FillRecords(NamedTuple):
    """One row per fill, in booking order (the final settlement's fills last)."""

    exch_ts: Any   # exchange time of the tick the fill was booked on
    order: Any     # the order's id
    side: Any      # 1 buy, -1 sell
    offset: Any    # 0 open, 1 close
    price: Any     # ticks
    qty: Any       # lots
    fee: Any       # cash charged for the fill
    taker: Any     # 1 taker, 0 maker
    realised: Any  # cash the fill realised, negative for a loss


class LiquidationRecords(NamedTuple):
    """One row per liquidation record, in order."""

    exch_ts: Any    # account time of the liquidation
    price: Any      # ticks the position was closed at
    qty: Any        # lots closed
    balance: Any    # cash after the liquidation
    forfeited: Any  # cash the venue took (on the last record of one liquidation)


class MarginWatch(NamedTuple):
    """The maintenance margin seen over a run that tracked it."""

    peak_maintenance: int         # cash, 0 when no position was ever open
    min_headroom: Optional[int]   # smallest equity minus maintenance; None when never open


class ResultFrames(NamedTuple):
    """A result's records as pandas DataFrames, each indexed by `time`."""

    curve: Any
    fills: Any
    liquidations: Any


def _frame(pd, records, names=None):
    """A DataFrame of the int64 columns, each column in `names` shown as its
    (code 0, code 1) names; a side column (1 buy, -1 sell) as (buy, sell)."""
    import numpy as np

    columns = {}
    for name, column in zip(records._fields, records):
        values = np.asarray(column)
        if names and name in names:
            codes = (values < 0) if name == "side" else values
            values = pd.Categorical.from_codes(codes.astype(np.int8), names[name])
        columns[name] = values
    frame = pd.DataFrame(columns)
    frame.index = pd.to_datetime(np.asarray(records.exch_ts), unit="ns")
    frame.index.name = "time"
    return frame


def _result_frames(result):
    try:
        import pandas as pd
    except ImportError:
        raise ImportError("RunResult.to_pandas() needs pandas: pip install pandas") from None
    fills = _frame(pd, result.fill_records, {
        "side": ["buy", "sell"], "offset": ["open", "close"], "taker": ["maker", "taker"]})
    return ResultFrames(_frame(pd, result.equity_curve), fills,
                        _frame(pd, result.liquidation_records))
