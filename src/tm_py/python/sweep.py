"""Parameter sweeps: one run per configuration, side by side on the machine's
cores or on any concurrent.futures-style executor, judged for overfitting.

Every configuration runs through `run_backtest`, which releases the interpreter
lock, so local threads run configurations in parallel. An executor receives
tasks of `_run_chunk(build, configurations, ticks, balance, options)`, a plain
module-level function; `build`, the parameters and the ticks are pickled to it
(a TickSource as its path).
"""

import concurrent.futures
import itertools
import os
import threading
import warnings
from collections.abc import Mapping

__all__ = ["sweep", "_run_chunk"]

# Ticks passed by value to an executor above this many bytes draw a warning:
# every task carries its own copy.
_BY_VALUE_WARNING = 64 << 20
# The number of sampling periods the default `equity_every` aims at.
_DEFAULT_PERIODS = 200


class _Cancelled(BaseException):
    """Raised from a run's progress hook to stop it once the sweep is cancelled."""


def _grid(params):
    """The configurations of `params`: a list of dicts as given, or the product
    of a dict of lists, the first key varying slowest."""
    if isinstance(params, Mapping):
        keys = list(params)
        values = []
        for key in keys:
            value = params[key]
            if isinstance(value, (str, bytes)) or not hasattr(value, "__iter__"):
                raise TypeError(f"params[{key!r}] must be a list of values, not "
                                f"{type(value).__name__}")
            values.append(list(value))
        configurations = [dict(zip(keys, combo)) for combo in itertools.product(*values)]
    else:
        configurations = []
        for entry in params:
            if not isinstance(entry, Mapping):
                raise TypeError("params must be a dict of lists or a list of dicts, found an "
                                f"entry of type {type(entry).__name__}")
            configurations.append(dict(entry))
    if not configurations:
        raise ValueError("params holds no configuration")
    return configurations


def _grid_returns(result, every):
    """Simple returns between the equity samples of `result` on the sweep's
    grid: after the first tick and after every `every`-th tick. The sample
    after the last tick is dropped when it falls between two grid points, so
    every run over the same ticks has the same periods. An emptied account
    earns nothing more."""
    equity = result.equity_curve.equity.tolist()
    if result.ticks % every != 0 and len(equity) > 1:
        equity.pop()
    return tuple(b / a - 1.0 if a > 0 else 0.0 for a, b in zip(equity, equity[1:]))


def _run_one(build, config, ticks, balance, options, cancel):
    """(result, returns, None) of one configuration, or (None, (), failure text)."""
    try:
        strategy = build(**config)
        if cancel is not None:
            options = dict(options, progress=_cancel_hook(cancel))
        result = _tm.run_backtest(strategy, ticks, balance, **options)
    except Exception as error:
        return None, (), f"{type(error).__name__}: {error}"
    return result, _grid_returns(result, options["equity_every"]), None


def _cancel_hook(cancel):
    def hook(done, total):
        if cancel.is_set():
            raise _Cancelled
    return hook


def _run_chunk(build, chunk, ticks, balance, options):
    """[(index, result, returns, failure)] for the (index, configuration) pairs
    of `chunk`, run one after another: the task an executor runs."""
    return [(index, *_run_one(build, config, ticks, balance, options, None))
            for index, config in chunk]


def _default_every(ticks, batch):
    count = len(ticks)
    every = max(1, count // _DEFAULT_PERIODS)
    return max(batch, every // batch * batch)


def sweep(build, params, ticks, balance, *, batch=1, venue=None, equity_every=None,
          threads=None, executor=None, chunk=1, progress=False, enforce_margin=True,
          contract_size=10000):
    """Run `build(**p)` for every configuration `p` of `params` over the same
    ticks and judge the best one; returns a SweepResult.

    `params` is a list of dicts, or a dict of lists whose product is swept.
    Runs go to `threads` native threads (default: one per core), or with
    `executor=` to a concurrent.futures-style executor (a ProcessPoolExecutor,
    a dask.distributed Client or its `get_executor()`), `chunk` configurations
    a task. Equity is sampled every `equity_every` ticks (default: a multiple
    of `batch` giving about 200 periods); the period returns of all
    configurations form the sweep's return matrix. A configuration whose build
    or run fails is kept with its failure text. Ctrl-C cancels what has not
    finished and raises KeyboardInterrupt."""
    configurations = _grid(params)
    if equity_every is None:
        equity_every = _default_every(ticks, batch)
    if equity_every < 1:
        raise ValueError("equity_every must be at least 1")
    options = {"batch": batch, "equity_every": equity_every, "enforce_margin": enforce_margin,
               "contract_size": contract_size}
    if venue is not None:
        options["venue"] = venue
    reporter = _tm._progress(progress, len(configurations), unit="runs", desc="sweep")
    outcomes = [None] * len(configurations)
    try:
        if executor is None:
            _run_threads(build, configurations, ticks, balance, options, threads, outcomes,
                         reporter)
        else:
            _run_executor(executor, build, configurations, ticks, balance, options, chunk,
                          outcomes, reporter)
    finally:
        if reporter is not None:
            reporter.close()
    return _tm.SweepResult(configurations, [o[0] for o in outcomes], [o[1] for o in outcomes],
                       [o[2] for o in outcomes], equity_every)


def _wait(pending, reporter, on_done):
    """Collects finished futures until none is pending, with a timeout so that
    Ctrl-C reaches the main thread promptly."""
    done_count = 0
    while pending:
        finished, pending = concurrent.futures.wait(
            pending, timeout=0.1, return_when=concurrent.futures.FIRST_COMPLETED)
        for future in finished:
            done_count += on_done(future)
            if reporter is not None:
                reporter.update(done_count)


def _run_threads(build, configurations, ticks, balance, options, threads, outcomes, reporter):
    cancel = threading.Event()
    workers = threads or os.cpu_count() or 1
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=workers,
                                                 thread_name_prefix="tallowmarsh-sweep")
    futures = {}

    def on_done(future):
        outcomes[futures[future]] = future.result()
        return 1

    try:
        for index, config in enumerate(configurations):
            future = pool.submit(_run_one, build, config, ticks, balance, options, cancel)
            futures[future] = index
        _wait(set(futures), reporter, on_done)
    except BaseException:
        # Running configurations stop at their next progress check, within a
        # tenth of a second of engine time or one strategy call.
        cancel.set()
        for future in futures:
            future.cancel()
        pool.shutdown(wait=True)
        raise
    pool.shutdown(wait=True)


def _as_executor(executor):
    # A dask.distributed Client's own submit hashes arguments and returns its
    # own futures; its get_executor() is the concurrent.futures form.
    if not hasattr(executor, "submit") or hasattr(executor, "get_executor"):
        get = getattr(executor, "get_executor", None)
        if get is None:
            raise TypeError("executor must have submit(fn, *args) returning a future")
        return get()
    return executor


def _run_executor(executor, build, configurations, ticks, balance, options, chunk, outcomes,
                  reporter):
    if chunk < 1:
        raise ValueError("chunk must be at least 1")
    if not isinstance(ticks, _tm.TickSource):
        size = len(ticks) * 64
        if size > _BY_VALUE_WARNING:
            warnings.warn(f"the ticks travel by value to every task ({size >> 20} MiB each); "
                          "save them with save_ticks to a file every worker can read and pass "
                          "load_ticks(path)", stacklevel=3)
    executor = _as_executor(executor)
    indexed = list(enumerate(configurations))
    futures = []
    try:
        for start in range(0, len(indexed), chunk):
            futures.append(executor.submit(_run_chunk, build, indexed[start:start + chunk],
                                           ticks, balance, options))

        def on_done(future):
            rows = future.result()
            for index, *outcome in rows:
                outcomes[index] = tuple(outcome)
            return len(rows)

        _wait(set(futures), reporter, on_done)
    except BaseException:
        for future in futures:
            future.cancel()
        raise
