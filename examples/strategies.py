"""Example strategies, each a plain Python object the engine drives.

Prices are integers in ticks, quantities integers in lots, and equity an integer in
units of 1/CASH_SCALE of the account currency: nothing on the way from a tick to a
decision is a float unless the strategy makes it one.

- MovingAverageCross: per tick (compatibility mode), market orders.
- BatchedMovingAverageCross: the same rule decided once per batch (throughput mode).
- PassiveMaker: rests limit orders one spread away and takes profit with limits.
- FuturePeeker: deliberately dishonest; reads ticks it has not been shown yet.

Every strategy samples its own per-period returns from the equity it sees, which is
what the statistics functions take.
"""

from __future__ import annotations

from collections import deque

import numpy as np

from tallowmarsh import Order


class _EquitySampler:
    """Per-period simple returns of the equity the strategy was shown."""

    def __init__(self, every: int) -> None:
        self.every = every
        self.returns: list[float] = []
        self.curve: list[int] = []
        self._seen = 0
        self._previous: int | None = None

    def observe(self, equity: int, ticks: int = 1) -> None:
        self._seen += ticks
        if self._seen < self.every:
            return
        self._seen = 0
        self.curve.append(equity)
        if self._previous is not None:
            # An emptied account (liquidated, its balance forfeited) earns nothing more.
            self.returns.append(equity / self._previous - 1.0 if self._previous > 0 else 0.0)
        self._previous = equity


class MovingAverageCross:
    """Long `qty` lots while the fast average of `last` is above the slow one, short
    `qty` lots while it is below; trades at market when the averages cross.

    It runs either way: `on_tick` decides on every tick, `on_batch` feeds a whole
    batch through the same averages and decides once, on the batch's last tick,
    from the `position` the engine set on the object."""

    def __init__(self, fast: int = 200, slow: int = 1000, qty: int = 150,
                 sample_every: int = 4096) -> None:
        assert 0 < fast < slow
        self.name = f"sma-{fast}/{slow}"
        self.fast, self.slow, self.qty = fast, slow, qty
        self._window: deque[int] = deque()
        self._fast_sum = 0
        self._slow_sum = 0
        self.sampler = _EquitySampler(sample_every)

    def _update(self, last: int) -> None:
        window = self._window
        window.append(last)
        self._slow_sum += last
        self._fast_sum += last
        if len(window) > self.fast:
            self._fast_sum -= window[-self.fast - 1]
        if len(window) > self.slow:
            self._slow_sum -= window.popleft()

    def _decide(self, position: int):
        if len(self._window) < self.slow:
            return None
        # Integer comparison of the two averages: fast_sum/fast > slow_sum/slow.
        above = self._fast_sum * self.slow > self._slow_sum * self.fast
        change = (self.qty if above else -self.qty) - position
        if change == 0:
            return None
        return [Order("buy" if change > 0 else "sell", abs(change))]

    def on_tick(self, ctx):
        self.sampler.observe(ctx.equity)
        self._update(ctx.last)
        if ctx.working:  # the last order has not filled yet
            return None
        return self._decide(ctx.position)

    def on_batch(self, ticks):
        self.sampler.observe(self.equity, len(ticks))
        for tick in ticks:
            self._update(tick.last)
        return self._decide(self.position)


class BatchedMovingAverageCross:
    """MovingAverageCross decided once per batch: the engine hands over `batch` ticks
    at a time and sets `position`, `equity` and `last` on the object first."""

    def __init__(self, fast: int = 200, slow: int = 1000, qty: int = 150) -> None:
        assert 0 < fast < slow
        self.name = f"sma-{fast}/{slow} batched"
        self.fast, self.slow, self.qty = fast, slow, qty
        self._history = np.empty(0, dtype=np.int64)
        self.sampler = _EquitySampler(1)

    def on_batch(self, ticks):
        self.sampler.observe(self.equity)
        return self._step(np.fromiter((t.last for t in ticks), dtype=np.int64, count=len(ticks)))

    def _step(self, prices):
        """Takes the batch's last prices in order and decides on the whole history."""
        self._history = np.concatenate((self._history[-self.slow:], prices))
        if len(self._history) < self.slow:
            return None
        fast_sum = int(self._history[-self.fast:].sum())
        slow_sum = int(self._history[-self.slow:].sum())
        target = self.qty if fast_sum * self.slow > slow_sum * self.fast else -self.qty
        change = target - self.position
        if change == 0:
            return None
        return [Order("buy" if change > 0 else "sell", abs(change))]


class PassiveMaker:
    """Rests a buy limit `edge` ticks under the bid while flat; once filled, rests a
    sell limit `edge` ticks above its entry (and the mirror image when short)."""

    def __init__(self, edge: int = 5, qty: int = 50, sample_every: int = 4096) -> None:
        self.name = f"maker-{edge}"
        self.edge, self.qty = edge, qty
        self.sampler = _EquitySampler(sample_every)

    def on_tick(self, ctx):
        self.sampler.observe(ctx.equity)
        if ctx.working:
            return None
        tick = ctx.tick
        if ctx.position == 0:
            bid = tick.bid if tick.bid > 0 else tick.last
            return [Order("buy", self.qty, price=bid - self.edge)]
        if ctx.position > 0:
            return [Order("sell", ctx.position, "close", price=ctx.entry + self.edge)]
        return [Order("buy", -ctx.position, "close", price=ctx.entry - self.edge)]


class FuturePeeker:
    """Dishonest on purpose: built from the tick list, it looks `ahead` ticks into
    the future and trades in the direction the price is about to move. A backtest
    cannot tell; `lookahead_check` can, because a strategy built from a prefix of
    the ticks has no future to read and decides differently."""

    def __init__(self, ticks, ahead: int = 50, qty: int = 50) -> None:
        self.name = "future-peeker"
        # A list of Tick, or an (n, 8) int64 array (or a prefix view of one).
        self._prices = [t.last for t in ticks] if isinstance(ticks, list) else ticks[:, 2].tolist()
        self.ahead, self.qty = ahead, qty
        self._index = -1

    def on_tick(self, ctx):
        self._index += 1
        later = self._index + self.ahead
        if later >= len(self._prices) or ctx.working:
            return None
        move = self._prices[later] - ctx.last
        target = self.qty if move > 0 else -self.qty if move < 0 else ctx.position
        change = target - ctx.position
        if change == 0:
            return None
        return [Order("buy" if change > 0 else "sell", abs(change))]


class HonestCross(MovingAverageCross):
    """MovingAverageCross built the way lookahead_check builds: from a tick list it
    ignores, because it decides from what it has been shown alone."""

    def __init__(self, ticks=None, **kwargs) -> None:
        super().__init__(**kwargs)
