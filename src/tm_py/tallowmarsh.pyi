"""Evaluate the backtest you already have."""

import os
from collections.abc import Callable, Iterator, Mapping, Sequence
from decimal import Decimal
from typing import Any, NamedTuple, Self, TypeAlias, final

CASH_SCALE: int
TICK_FIELDS: tuple[str, str, str, str, str, str, str, str]
# An (n, 8) int64 buffer, a buffer of 64-byte records of the TICK_FIELDS, or a
# mapping of field names to 1-D int64 buffers (numpy arrays, say).
_TickArray: TypeAlias = Any
DEPTH_FIELDS: tuple[str, str, str, str, str, str, str, str]

@final
class Tick:
    def __new__(
        cls,
        exch_ts: int,
        last: int,
        local_ts: int | None = None,
        high: int | None = None,
        low: int | None = None,
        bid: int = 0,
        ask: int = 0,
        volume: int = 0,
    ) -> Self: ...
    @property
    def exch_ts(self) -> int: ...
    @property
    def local_ts(self) -> int: ...
    @property
    def last(self) -> int: ...
    @property
    def high(self) -> int: ...
    @property
    def low(self) -> int: ...
    @property
    def bid(self) -> int: ...
    @property
    def ask(self) -> int: ...
    @property
    def volume(self) -> int: ...

@final
class TickSource:
    @property
    def path(self) -> str: ...
    @property
    def count(self) -> int: ...
    @property
    def instrument(self) -> int: ...
    def __len__(self) -> int: ...
    def read(self, start: int = 0, count: int | None = None) -> Int64Array: ...
    def chunks(self, size: int) -> Iterator[Int64Array]: ...

@final
class Context:
    @property
    def tick(self) -> Tick: ...
    @property
    def last(self) -> int: ...
    @property
    def position(self) -> int: ...
    @property
    def entry(self) -> int: ...
    @property
    def short_position(self) -> int: ...
    @property
    def short_entry(self) -> int: ...
    @property
    def equity(self) -> int: ...
    @property
    def working(self) -> int: ...
    @property
    def orders(self) -> tuple[WorkingOrder, ...]: ...

class WorkingOrder(NamedTuple):
    id: int
    side: str
    offset: str
    price: int | None
    remaining: int
    state: str

class Cancel:
    __slots__ = ("order_id",)
    order_id: int
    def __init__(self, order_id: int) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...

_Rate = int | str | Decimal
_Latency = int | Quantiles

class Quantiles:
    p50: int
    p90: int
    p99: int
    p999: int
    def __init__(self, p50: int, p90: int, p99: int, p999: int) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, ...]: ...

class L0:
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, ...]: ...

class L1:
    submit_latency: _Latency
    report_latency: _Latency
    queue: int | str | None
    impact: int
    def __init__(
        self,
        submit_latency: _Latency = 0,
        report_latency: _Latency = 0,
        queue: int | str | None = None,
        impact: int = 0,
    ) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, ...]: ...

class L2(L1): ...

class Venue:
    execution: L0 | L1
    two_leg: bool
    track_margin: bool
    def __init__(
        self,
        maker_fee: _Rate = 0,
        taker_fee: _Rate = 0,
        funding: Sequence[tuple[int, _Rate]] | Mapping[str, Sequence[Any]] = (),
        margin_tiers: Sequence[tuple[int | str | Decimal | None, _Rate, int | str | Decimal]]
        | None = None,
        execution: L0 | L1 | None = None,
        two_leg: bool = False,
        track_margin: bool = False,
    ) -> None: ...
    @property
    def maker_fee(self) -> str: ...
    @property
    def taker_fee(self) -> str: ...
    @property
    def funding(self) -> tuple[tuple[int, str], ...]: ...
    @property
    def margin_tiers(self) -> tuple[tuple[str | None, str, str], ...] | None: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, ...]: ...

class CancelAll:
    __slots__ = ()
    def __reduce__(self) -> tuple[Any, ...]: ...

@final
class Order:
    def __new__(cls, side: str, qty: int, offset: str = "open", price: int | None = None) -> Self: ...
    @property
    def side(self) -> str: ...
    @property
    def qty(self) -> int: ...
    @property
    def offset(self) -> str: ...
    @property
    def price(self) -> int | None: ...

@final
class RunResult:
    @property
    def strategy(self) -> str: ...
    @property
    def ticks(self) -> int: ...
    @property
    def fills(self) -> int: ...
    @property
    def liquidations(self) -> int: ...
    @property
    def final_equity(self) -> int: ...
    @property
    def min_equity(self) -> int: ...
    @property
    def fees_paid(self) -> int: ...
    @property
    def funding_paid(self) -> int: ...
    @property
    def fill_prices(self) -> list[int]: ...
    @property
    def realised(self) -> int: ...
    @property
    def max_adverse_excursion(self) -> int: ...
    @property
    def max_drawdown(self) -> int: ...
    @property
    def skipped_ticks(self) -> int: ...
    @property
    def depth_gaps(self) -> int: ...
    @property
    def equity_curve(self) -> EquityCurve: ...
    @property
    def fill_records(self) -> FillRecords: ...
    @property
    def liquidation_records(self) -> LiquidationRecords: ...
    @property
    def margin_watch(self) -> MarginWatch | None: ...
    def returns(self, *, log: bool = False) -> list[float]: ...
    def to_pandas(self) -> ResultFrames: ...
    def _repr_html_(self) -> str: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    @classmethod
    def _rebuild(cls, fields: tuple[Any, ...], /) -> RunResult: ...

class EquityCurve(NamedTuple):
    exch_ts: Int64Array
    equity: Int64Array
    position: Int64Array

class FillRecords(NamedTuple):
    exch_ts: Int64Array
    order: Int64Array
    side: Int64Array
    offset: Int64Array
    price: Int64Array
    qty: Int64Array
    fee: Int64Array
    taker: Int64Array
    realised: Int64Array

class LiquidationRecords(NamedTuple):
    exch_ts: Int64Array
    price: Int64Array
    qty: Int64Array
    balance: Int64Array
    forfeited: Int64Array

class MarginWatch(NamedTuple):
    peak_maintenance: int
    min_headroom: int | None

class ResultFrames(NamedTuple):
    curve: Any
    fills: Any
    liquidations: Any

def report(
    results: RunResult | Sequence[RunResult], path: str | os.PathLike[str]
) -> str | os.PathLike[str]: ...

@final
class ModeComparison:
    @property
    def batch(self) -> int: ...
    @property
    def compat_fills(self) -> int: ...
    @property
    def batched_fills(self) -> int: ...
    @property
    def first_divergence(self) -> int | None: ...
    @property
    def equity_difference(self) -> int: ...
    @property
    def identical(self) -> bool: ...

@final
class LookaheadReport:
    @property
    def signals(self) -> int: ...
    @property
    def checked(self) -> int: ...
    @property
    def clean(self) -> bool: ...
    @property
    def sampled(self) -> bool: ...
    @property
    def divergences(self) -> list[tuple[int, int, int]]: ...

@final
class Int64Array:
    def __new__(cls, data: Any, shape: int | tuple[int] | tuple[int, int] | None = None) -> Self: ...
    @property
    def shape(self) -> tuple[int] | tuple[int, int]: ...
    def __len__(self) -> int: ...
    def __getitem__(self, key: int, /) -> Any: ...
    def tolist(self) -> list[Any]: ...

@final
class TickWriter:
    def __new__(
        cls, path: str | bytes | os.PathLike[str] | os.PathLike[bytes], instrument: int = 1
    ) -> Self: ...
    @property
    def path(self) -> str: ...
    @property
    def count(self) -> int: ...
    @property
    def closed(self) -> bool: ...
    def write(self, ticks: Sequence[Tick] | _TickArray, /) -> int: ...
    def close(self) -> int: ...
    def abort(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, *exc: object) -> bool: ...

def load_ticks(path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> TickSource: ...
def save_ticks(
    path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
    ticks: Sequence[Tick] | _TickArray,
    instrument: int = 1,
) -> int: ...
def save_depth(
    path: str | bytes | os.PathLike[str] | os.PathLike[bytes], rows: Any, instrument: int = 1
) -> int: ...
def read_depth(path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> Int64Array: ...
def import_depth_csv(
    source: str | bytes | os.PathLike[str] | os.PathLike[bytes],
    path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
    tick_size: str,
    lot_size: str,
    instrument: int = 1,
) -> int: ...
def run_backtest(
    strategy: Any,
    ticks: Sequence[Tick] | TickSource | _TickArray,
    balance: int,
    batch: int = 1,
    enforce_margin: bool = True,
    equity_every: int = 0,
    contract_size: int = 10000,
    progress: bool | Callable[[int, int], object] | None = None,
    venue: Venue | None = None,
    depth: Any = None,
) -> RunResult: ...
def compare_modes(
    build: Callable[[], Any],
    ticks: Sequence[Tick] | TickSource | _TickArray,
    balance: int,
    batch: int,
    enforce_margin: bool = True,
    contract_size: int = 10000,
    venue: Venue | None = None,
) -> ModeComparison: ...
def lookahead_check(
    build: Callable[[Any], Any],
    ticks: Sequence[Tick] | _TickArray,
    balance: int,
    max_points: int = 200,
    enforce_margin: bool = True,
    contract_size: int = 10000,
    venue: Venue | None = None,
) -> LookaheadReport: ...
def sharpe_ratio(returns: Sequence[float]) -> float: ...
def moments(returns: Sequence[float]) -> tuple[float, float, float]: ...
def probabilistic_sharpe_ratio(
    observed: float, benchmark: float, n_observations: int, skewness: float, kurtosis: float
) -> float: ...
def deflated_sharpe_ratio(
    all_sharpes: Sequence[float], n_observations: int, skewness: float, kurtosis: float
) -> float: ...
def probability_of_backtest_overfitting(
    columns: Sequence[Sequence[float]], n_blocks: int = 16
) -> float: ...
def minimum_track_record_length(
    observed: float, benchmark: float, skewness: float, kurtosis: float, confidence: float = 0.95
) -> float: ...

class SweepResult:
    params: tuple[dict[str, Any], ...]
    results: tuple[RunResult | None, ...]
    failures: tuple[tuple[dict[str, Any], str], ...]
    returns: tuple[tuple[float, ...], ...]
    equity_every: int
    sharpes: tuple[float, ...]
    best: int | None
    pbo: float | None
    deflated_sharpe: float | None
    min_track_record: float | None
    def __init__(
        self,
        params: Sequence[dict[str, Any]],
        results: Sequence[RunResult | None],
        returns: Sequence[Sequence[float]],
        failure_texts: Sequence[str | None],
        equity_every: int,
    ) -> None: ...
    def __len__(self) -> int: ...
    @property
    def best_params(self) -> dict[str, Any] | None: ...
    @property
    def best_result(self) -> RunResult | None: ...
    def judgement(self) -> str: ...
    def table(self) -> str: ...
    def report(self, path: str) -> Any: ...

def sweep(
    build: Callable[..., Any],
    params: dict[str, Sequence[Any]] | Sequence[dict[str, Any]],
    ticks: Sequence[Tick] | TickSource,
    balance: int,
    *,
    batch: int = 1,
    venue: Venue | None = None,
    equity_every: int | None = None,
    threads: int | None = None,
    executor: Any = None,
    chunk: int = 1,
    progress: bool | Callable[[int, int], object] = False,
    enforce_margin: bool = True,
    contract_size: int = 10000,
) -> SweepResult: ...

CSV_LAYOUTS: tuple[str, str, str, str]

class CsvFileRead:
    __match_args__ = ("path", "layout", "time_unit", "unit_detected", "rows")
    path: str
    layout: str
    time_unit: str
    unit_detected: bool
    rows: int
    def __init__(
        self, path: str, layout: str, time_unit: str, unit_detected: bool, rows: int
    ) -> None: ...

class CsvImport:
    __match_args__ = ("source", "contract_size", "files")
    source: TickSource
    contract_size: int
    files: tuple[CsvFileRead, ...]
    def __init__(
        self, source: TickSource, contract_size: int, files: tuple[CsvFileRead, ...]
    ) -> None: ...
    @property
    def ticks(self) -> int: ...

def import_csv(
    paths: str | os.PathLike[str] | Sequence[str | os.PathLike[str]],
    dest: str | os.PathLike[str],
    *,
    tick_size: str | int | Decimal,
    lot_size: str | int | Decimal,
    layout: str | Sequence[str] = "auto",
    columns: Mapping[str, int | str] | Sequence[Mapping[str, int | str] | None] | None = None,
    header: bool | None = None,
    time_unit: str | None = None,
    emit: str = "trades",
    rounding: str | None = None,
    instrument: int = 1,
    progress: bool | Callable[[int, int], object] = False,
) -> CsvImport: ...
