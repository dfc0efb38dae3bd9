"""What a strategy returns beside its orders to pull them again, and what it
sees of its own working orders.

A run numbers the orders a strategy returns 1, 2, 3, ... in the order it
receives them (within a returned list, front to back); `Cancel` names an order
by that number. `Context.orders` (and, in throughput mode, the strategy's
`orders` attribute when it declares `wants_orders = True`) lists the orders
still working, as `WorkingOrder` values.
"""

import collections

__all__ = ["Cancel", "CancelAll", "WorkingOrder"]


class Cancel:
    """Cancel(order_id)

    Cancel one working order by the id the run gave it: orders are numbered
    1, 2, 3, ... in the order the run receives them. The cancellation reaches
    the venue as an order does, after the submission latency of an L1 or L2
    venue; an order that fills first is not cancelled. Cancelling an order
    that has already ended does nothing; naming an id the run has not handed
    out yet fails the run."""

    __slots__ = ("order_id",)

    def __init__(self, order_id):
        if isinstance(order_id, bool) or not isinstance(order_id, int):
            raise TypeError(f"order_id must be an int, got {type(order_id).__name__}")
        if order_id < 1:
            raise ValueError(f"order_id must be positive (orders are numbered from 1), got {order_id}")
        object.__setattr__(self, "order_id", int(order_id))

    def __setattr__(self, name, value):
        raise AttributeError("Cancel is immutable")

    def __delattr__(self, name):
        raise AttributeError("Cancel is immutable")

    def __repr__(self):
        return f"Cancel({self.order_id})"

    def __eq__(self, other):
        return type(other) is Cancel and other.order_id == self.order_id

    def __hash__(self):
        return hash((Cancel, self.order_id))

    def __reduce__(self):
        return (Cancel, (self.order_id,))


class CancelAll:
    """CancelAll()

    Cancel every order working when the run reaches this request (orders
    earlier in the same returned list included, later ones not)."""

    __slots__ = ()

    def __setattr__(self, name, value):
        raise AttributeError("CancelAll is immutable")

    def __repr__(self):
        return "CancelAll()"

    def __eq__(self, other):
        return type(other) is CancelAll

    def __hash__(self):
        return hash(CancelAll)

    def __reduce__(self):
        return (CancelAll, ())


WorkingOrder = collections.namedtuple(
    "WorkingOrder", ["id", "side", "offset", "price", "remaining", "state"], module="tallowmarsh"
)
WorkingOrder.__doc__ = """One order still working, as the venue holds it during a strategy call.

`id` is the run's number for it, `side` "buy" or "sell", `offset` "open" or
"close", `price` the limit price in ticks (None for a market order),
`remaining` the lots not yet filled, and `state` "travelling" (on its way to
an L1/L2 venue), "queued" (at the venue, behind displayed size) or "resting"
(in the book, able to fill)."""
