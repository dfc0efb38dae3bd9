"""Exchange CSV files of trades and best bid/ask quotes to a tick file.

`import_csv` checks and normalises its arguments here; the files are read,
converted and written by the compiled `_import_csv` with the interpreter lock
released.
"""

import os
from dataclasses import dataclass
from decimal import Decimal
from fractions import Fraction

__all__ = ["CSV_LAYOUTS", "CsvFileRead", "CsvImport", "import_csv"]

# The built-in layouts, by the columns of their lines.
CSV_LAYOUTS = ("trades", "best_bid_ask", "normalised_trades", "normalised_quotes")

# The roles a column mapping may name, in the order _import_csv takes them.
_ROLES = ("time", "local_time", "price", "qty", "bid", "ask")
_NEEDS = {"trades": ("time", "price", "qty"), "quotes": ("time", "bid", "ask")}


@dataclass(frozen=True)
class CsvFileRead:
    """One input of an import: its layout, its time unit (and whether that was
    read from the magnitude of its first time) and its data rows."""

    path: str
    layout: str
    time_unit: str
    unit_detected: bool
    rows: int


@dataclass(frozen=True)
class CsvImport:
    """The result of `import_csv`: the written file as a `TickSource`, the
    `contract_size` that prices its ticks and lots (tick_size x lot_size x
    CASH_SCALE), and what was read from each input."""

    source: object
    contract_size: int
    files: tuple

    @property
    def ticks(self):
        """Ticks written."""
        return self.source.count


def _decimal_text(value, name):
    if isinstance(value, bool) or not isinstance(value, (str, int, Decimal)):
        raise TypeError(
            f"{name} must be exact decimal text such as '0.1' (a str, int or Decimal), "
            f"not {type(value).__name__}"
        )
    return value if isinstance(value, str) else format(Decimal(value), "f")


def _contract_size(tick_size, lot_size):
    try:
        size = Fraction(tick_size) * Fraction(lot_size) * _tm.CASH_SCALE
    except (ValueError, ZeroDivisionError):
        return None  # the compiled part names the malformed size
    if size <= 0:
        return None
    if size.denominator != 1 or size < 1:
        raise ValueError(
            f"tick_size {tick_size} x lot_size {lot_size} x CASH_SCALE is {size}, "
            "not a whole contract_size"
        )
    return int(size)


def _mapping(columns, header):
    unknown = sorted(set(columns) - set(_ROLES))
    if unknown:
        raise ValueError(f"unknown column roles {unknown}; the roles are {list(_ROLES)}")
    kinds = {k for k, roles in _NEEDS.items() if set(roles[1:]) & set(columns)}
    if len(kinds) != 1:
        raise ValueError("columns must map either price and qty (trades) or bid and ask (quotes)")
    kind = kinds.pop()
    missing = [r for r in _NEEDS[kind] if r not in columns]
    if missing:
        raise ValueError(f"columns of {kind} need {list(missing)}")
    refs = []
    for role in _ROLES:
        ref = columns.get(role)
        if ref is not None and (isinstance(ref, bool) or not isinstance(ref, (int, str))):
            raise TypeError(f"column {role!r} must be a header name or an index, not {ref!r}")
        if isinstance(ref, int) and ref < 0:
            raise ValueError(f"column {role!r} has a negative index {ref}")
        refs.append(ref)
    if header is None:
        header = any(isinstance(r, str) for r in refs)
    return (kind, tuple(refs), bool(header))


def _per_path(value, count, name):
    if value is None or isinstance(value, (str, dict)) or not hasattr(value, "__len__"):
        return [value] * count
    if len(value) != count:
        raise ValueError(f"{name} has {len(value)} entries for {count} paths")
    return list(value)


def import_csv(
    paths,
    dest,
    *,
    tick_size,
    lot_size,
    layout="auto",
    columns=None,
    header=None,
    time_unit=None,
    emit="trades",
    rounding=None,
    instrument=1,
    progress=False,
):
    """Convert exchange CSV files (plain or gzip) of trades and/or best bid/ask
    quotes into the tick file `dest`, and return a `CsvImport` holding its
    `TickSource` and the matching `contract_size`.

    Prices become ticks of `tick_size` and quantities lots of `lot_size`, both
    given as exact decimal text ("0.1", "0.001"): a value off the grid is an
    error unless `rounding` is "half_even", "floor" or "ceil". Times are in
    `time_unit` ("s", "ms", "us", "ns"), else the layout's, else read from the
    magnitude of each file's first time (reported in `files`).

    `layout` is "auto" (the built-in the first line shows), a name of
    CSV_LAYOUTS, or one entry per path. `columns` maps roles (time,
    local_time, price, qty for trades; time, local_time, bid, ask for quotes)
    to header names or 0-based indices, for one or every path; `header` says
    whether the first line names the columns (default: when a name is used).

    The files are merged by exchange time, events sharing a time forming one
    instant; `emit` chooses the instants that yield a tick: "trades",
    "quotes" (the best bid or ask changed) or "both". Each tick carries the
    latest quote at or before it, the last trade price (before the first
    trade, the quote's midpoint rounded down), the instant's trade high and
    low, and the cumulative volume in lots. A file whose times go backwards is
    refused. Every error names the file, line and column; on any failure
    nothing is left at `dest`. `progress` is True for a bar, or a
    callable(done, total) in input bytes.
    """
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    paths = [os.fspath(p) for p in paths]
    if not paths:
        raise ValueError("import_csv needs at least one path")
    dest = os.fspath(dest)
    tick_size = _decimal_text(tick_size, "tick_size")
    lot_size = _decimal_text(lot_size, "lot_size")
    contract_size = _contract_size(tick_size, lot_size)
    layouts = []
    for name, mapping in zip(_per_path(layout, len(paths), "layout"),
                             _per_path(columns, len(paths), "columns")):
        if mapping is not None:
            layouts.append(_mapping(mapping, header))
        elif name == "auto":
            layouts.append(None)
        elif name in CSV_LAYOUTS:
            layouts.append(name)
        else:
            raise ValueError(f"unknown layout {name!r}; the layouts are 'auto', {CSV_LAYOUTS}")
    total = sum(os.path.getsize(p) for p in paths if os.path.isfile(p))
    reporter = _tm._progress(progress, total, "B", "import_csv")
    try:
        source, files = _tm._import_csv(
            paths, dest, tick_size, lot_size, layouts, time_unit, emit, rounding, instrument,
            None if reporter is None else reporter.update,
        )
    finally:
        if reporter is not None:
            reporter.close()
    return CsvImport(source, contract_size,
                     tuple(CsvFileRead(p, *f) for p, f in zip(paths, files)))
