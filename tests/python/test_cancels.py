"""Cancels and the working-order views: per tick and batched, at L0 and with submission latency."""

import pickle

import pytest

import tallowmarsh as t
from conftest import FAILED, make_ticks

BUY, SELL = t.Order("buy", 1, price=90), t.Order("sell", 2, "close", price=120)


class Canceller:
    """Returns plan[n] from its n-th call in either cadence and records the working orders it saw."""

    wants_orders = True

    def __init__(self, plan):
        self.plan, self.seen, self.kept = plan, [], None

    def on_tick(self, ctx):
        self.seen.append(ctx.orders)
        if len(self.seen) == 2:
            self.kept = ctx
        return self.plan.get(len(self.seen))

    def on_batch(self, ticks):
        self.seen.append(self.orders)
        return self.plan.get(len(self.seen))


def run(plan, batch=1, venue=None, n=8):
    strategy = Canceller(plan)
    result = t.run_backtest(strategy, make_ticks(n), 1000, batch=batch, venue=venue)
    return strategy, result


def test_values_are_immutable_comparable_and_pickle():
    assert repr(t.Cancel(3)) == "Cancel(3)" and repr(t.CancelAll()) == "CancelAll()"
    assert t.Cancel(3) == t.Cancel(3) != t.Cancel(4) and hash(t.Cancel(3)) == hash(t.Cancel(3))
    for value in (t.Cancel(3), t.CancelAll(), t.WorkingOrder(1, "buy", "open", None, 2, "queued")):
        assert pickle.loads(pickle.dumps(value)) == value
    with pytest.raises(AttributeError):
        t.Cancel(3).order_id = 4
    for bad, error in ((0, ValueError), (-2, ValueError), (True, TypeError), ("1", TypeError)):
        with pytest.raises(error, match="order_id"):
            t.Cancel(bad)


@pytest.mark.parametrize("batch", [1, 2])
def test_cancel_and_cancel_all_pull_resting_orders_in_both_modes(batch):
    strategy, result = run({1: [BUY, SELL], 2: [t.Cancel(1)], 3: [t.CancelAll()], 4: [t.Cancel(2)]},
                           batch)
    assert [tuple(o.id for o in seen) for seen in strategy.seen][:4] == [(), (1, 2), (2,), ()]
    assert strategy.seen[1] == (t.WorkingOrder(1, "buy", "open", 90, 1, "resting"),
                                t.WorkingOrder(2, "sell", "close", 120, 2, "resting"))
    assert result.fills == 0


def test_cancels_travel_with_the_submission_latency():
    # Ticks 1 ns apart; orders and cancels arrive 3 ns after the tick that sent them.
    venue = t.Venue(execution=t.L1(submit_latency=3))
    strategy, _ = run({1: [BUY, SELL], 2: [t.Cancel(1)], 3: [t.CancelAll()]}, venue=venue)
    states = [tuple((o.id, o.state) for o in seen) for seen in strategy.seen]
    assert states[:7] == [(), ((1, "travelling"), (2, "travelling")),
                          ((1, "travelling"), (2, "travelling")),
                          ((1, "resting"), (2, "resting")), ((2, "resting"),), (), ()]


def test_cancel_in_the_same_list_and_of_an_ended_order():
    strategy, result = run({1: [BUY, t.Cancel(1)], 2: [t.Cancel(1)], 3: [t.Order("buy", 1)]})
    assert strategy.seen[1] == () and result.fills == 1
    strategy, result = run({1: [BUY], 3: [t.Cancel(1), t.Cancel(1)]})
    assert result.fills == 0 and strategy.seen[3] == ()


@pytest.mark.parametrize("plan, text", [
    ({1: [t.Cancel(1)]}, "Cancel(1): order_id names no order placed in this run (none has been "
                         "placed yet)"),
    ({1: [BUY], 2: [BUY, t.Cancel(3)]}, "Cancel(3): order_id names no order placed in this run "
                                        "(ids handed out so far are 1 to 2)"),
])
def test_cancel_of_an_id_never_handed_out_fails_the_run(plan, text):
    with pytest.raises(ValueError) as caught:
        run(plan)
    assert str(caught.value) == FAILED + text


def test_a_kept_context_keeps_the_orders_of_its_call():
    strategy, _ = run({1: [BUY], 2: [t.Cancel(1)]})
    assert strategy.kept.orders == (t.WorkingOrder(1, "buy", "open", 90, 1, "resting"),)


def test_batched_strategy_without_wants_orders_gets_no_attribute():
    class Quiet:
        def on_batch(self, ticks):
            return None

    quiet = Quiet()
    t.run_backtest(quiet, make_ticks(4), 1000, batch=2)
    assert not hasattr(quiet, "orders")
