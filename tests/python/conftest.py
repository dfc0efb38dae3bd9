"""Shared builders for the module's tests: tick series, small strategies and sequences."""

import random

import pytest

import tallowmarsh as t

NOT_TICKS = ("ticks must be a sequence of Tick, or a TickSource; build them with "
             "tallowmarsh.Tick(...), or read a file with load_ticks() \u2014 which is the one to "
             "use when the series is larger than memory")
FAILED = "the strategy failed during the run: "


def make_ticks(n, start=0, price=100, step=0):
    """n ticks one nanosecond apart, `last` rising by `step` per tick, a one-tick spread."""
    return [t.Tick(start + i, price + step * i, bid=price + step * i - 1,
                   ask=price + step * i + 1) for i in range(n)]


def walk(seed, n=3000):
    """A seeded random walk of n ticks with a one-tick spread."""
    rng, out, last = random.Random(seed), [], 1000
    for i in range(n):
        last = max(10, last + rng.choice([-3, -1, 0, 1, 3]))
        out.append(t.Tick(i, last, bid=last - 1, ask=last + 1))
    return out


def summary(result):
    return result.ticks, result.fills, result.final_equity, result.min_equity, result.fill_prices


class Script:
    """Returns plan[n] from its n-th call (1-based) in either cadence, and counts calls."""

    def __init__(self, plan=None):
        self.plan, self.calls = plan or {}, 0

    def on_tick(self, ctx):
        self.calls += 1
        return self.plan.get(self.calls)

    on_batch = on_tick


def failing(error, every=1, orders=None):
    """A strategy class whose every `every`-th call raises `error` and whose other calls
    return `orders`; it takes and ignores what a build is given."""

    class Failing(Script):
        def __init__(self, *_):
            super().__init__()

        def on_tick(self, ctx):
            super().on_tick(ctx)
            if self.calls % every == 0:
                raise error
            return orders

        on_batch = on_tick

    return Failing


class Swing:
    """Buys after a fall and sells after a rise, with limit orders at the last price."""

    def __init__(self, ticks=None):
        self.previous = None

    def on_tick(self, ctx):
        return Swing.on_batch(self, [ctx])

    def on_batch(self, ticks):
        previous, last = self.previous, ticks[-1].last
        self.previous = last
        if previous in (None, last):
            return None
        return [t.Order("buy" if last < previous else "sell", 1, price=last)]


class Items:
    """A sequence that is neither list nor tuple: `items`, whose reading raises `error` at
    index `at` (-1: when asked for its length), and which claims `length` of them."""

    def __init__(self, items, error=None, at=None, length=None):
        self.items, self.length, self.error, self.at = items, length, error, at

    def __len__(self):
        if self.at == -1:
            raise self.error
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if i == self.at:
            raise self.error
        return self.items[i]


def buy(qty=1, price=None, side="buy"):
    return t.Order(side, qty, price=price)


def sell(qty=1, price=None):
    return buy(qty, price, "sell")


def message_of(exc, call, *args, **kwargs):
    """The text of the `exc` that `call(*args, **kwargs)` must raise."""
    with pytest.raises(exc) as info:
        call(*args, **kwargs)
    return str(info.value)
