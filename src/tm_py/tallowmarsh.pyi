"""Evaluate the backtest you already have."""

import os
from collections.abc import Callable, Sequence
from typing import Any, NamedTuple, Self, final

CASH_SCALE: int
TICK_FIELDS: tuple[str, str, str, str, str, str, str, str]

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

def load_ticks(path: str) -> TickSource: ...
def save_ticks(path: str, ticks: Sequence[Tick], instrument: int = 1) -> int: ...
def run_backtest(
    strategy: Any,
    ticks: Sequence[Tick] | TickSource,
    balance: int,
    batch: int = 1,
    enforce_margin: bool = True,
    equity_every: int = 0,
    contract_size: int = 10000,
    progress: bool | Callable[[int, int], object] | None = None,
) -> RunResult: ...
def compare_modes(
    build: Callable[[], Any],
    ticks: Sequence[Tick] | TickSource,
    balance: int,
    batch: int,
    enforce_margin: bool = True,
    contract_size: int = 10000,
) -> ModeComparison: ...
def lookahead_check(
    build: Callable[[list[Tick]], Any],
    ticks: Sequence[Tick],
    balance: int,
    max_points: int = 200,
    enforce_margin: bool = True,
    contract_size: int = 10000,
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
    venue: Any = None,
    equity_every: int | None = None,
    threads: int | None = None,
    executor: Any = None,
    chunk: int = 1,
    progress: bool | Callable[[int, int], object] = False,
    enforce_margin: bool = True,
    contract_size: int = 10000,
) -> SweepResult: ...
