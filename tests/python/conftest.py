"""Shared helpers for the module's tests: tick series and small strategies."""

import pytest

import tallowmarsh as t


def make_ticks(n, start=0, price=100, step=0):
    """n ticks one nanosecond apart, `last` rising by `step` per tick, a one-tick spread."""
    out = []
    for i in range(n):
        last = price + step * i
        out.append(t.Tick(start + i, last, bid=last - 1, ask=last + 1))
    return out


class Quiet:
    """Never trades, counts its calls."""

    def __init__(self):
        self.calls = 0

    def on_tick(self, ctx):
        self.calls += 1

    def on_batch(self, ticks):
        self.calls += 1


class Script:
    """Places the orders scripted for given call numbers (1-based)."""

    def __init__(self, plan):
        self.plan = plan
        self.calls = 0

    def on_tick(self, ctx):
        self.calls += 1
        return self.plan.get(self.calls)

    def on_batch(self, ticks):
        self.calls += 1
        return self.plan.get(self.calls)


@pytest.fixture
def ticks():
    return make_ticks(50, price=1000, step=1)
