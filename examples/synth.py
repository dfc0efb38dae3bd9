"""A synthetic, BTC-perpetual-like tick series, seeded and written as a tick file.

Prices are integers in ticks of one currency unit (about 60,000 at the start), with a
bid/ask spread of one to three ticks, a cumulative traded volume, nanosecond venue
times with irregular gaps, receive times a few milliseconds later, volatility that
drifts between calm and busy regimes, and a few fast moves deep enough to liquidate a
leveraged position.

    python examples/synth.py out/btc.tmtk --ticks 3000000 --seed 7
"""

from __future__ import annotations

import argparse
import os

import numpy as np

import tallowmarsh as tm

START_TIME_NS = 1_700_000_000_000_000_000  # venue time of the first tick
START_PRICE = 60_000


def generate_array(n: int, seed: int = 7) -> np.ndarray:
    """Returns `n` ticks of the synthetic series for `seed`, as an (n, 8) int64 array in
    `tm.TICK_FIELDS` order: the tick record layout, which every tallowmarsh function that
    takes ticks reads in place."""
    rng = np.random.default_rng(seed)

    # Volatility regimes: a random walk in log-volatility, detrended so that the
    # series ends as calm as it starts.
    walk = np.cumsum(rng.normal(0.0, 3e-4, n))
    log_vol = np.log(2e-5) + walk - np.linspace(0.0, walk[-1], n)
    returns = rng.standard_t(4, n) * np.exp(log_vol) * 0.7

    # A few fast moves: each a crash or squeeze of 6-12 % over a few hundred ticks.
    for _ in range(max(1, n // 1_000_000 * 2) if n >= 10_000 else 0):
        at = int(rng.integers(n // 10, n - 1000))
        length = int(rng.integers(100, 600))
        size = rng.uniform(0.06, 0.12) * rng.choice([-1.0, 1.0])
        returns[at:at + length] += size / length

    price = np.round(START_PRICE * np.exp(np.cumsum(returns))).astype(np.int64)
    price = np.maximum(price, 1)
    spread = rng.integers(1, 4, n)
    bid = price - spread // 2 - 1
    ask = bid + spread
    wiggle = rng.integers(0, 3, (2, n))
    high = np.maximum(price, ask) + wiggle[0]
    low = np.minimum(price, bid) - wiggle[1]
    low = np.maximum(low, 1)
    volume = np.cumsum(rng.geometric(0.2, n)).astype(np.int64)
    gaps = rng.exponential(50e6, n).astype(np.int64) + 1  # ~50 ms apart, never equal
    exch = START_TIME_NS + np.cumsum(gaps)
    local = exch + rng.integers(1_000_000, 5_000_000, n)

    return np.stack([exch, local, price, high, low, bid, ask, volume], axis=1)


def generate(n: int, seed: int = 7) -> list[tm.Tick]:
    """The same series as `Tick` objects, for code that wants them one by one."""
    fields = tm.TICK_FIELDS
    return [tm.Tick(**dict(zip(fields, row))) for row in generate_array(n, seed).tolist()]


def write(path: str, n: int, seed: int = 7) -> int:
    """Generates the series and saves it to `path`; returns the number of ticks."""
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    return tm.save_ticks(path, generate_array(n, seed))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("path")
    parser.add_argument("--ticks", type=int, default=3_000_000)
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()
    print(f"wrote {write(args.path, args.ticks, args.seed):,} ticks to {args.path}")


if __name__ == "__main__":
    main()
