"""A parameter sweep of the batched crossover on a Dask cluster.

    python examples/sweep_dask.py                        # a LocalCluster of 2 worker processes
    python examples/sweep_dask.py tcp://scheduler:8786        # the scheduler of an existing cluster

Needs `pip install "dask[distributed]"` here and on the workers, with tallowmarsh
installed on the workers too. The tick file travels as its path: it must be
readable at the same path on every worker (shared storage). The strategies module
is sent to the workers with `client.upload_file`.
"""

from __future__ import annotations

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import tallowmarsh as tm  # noqa: E402

import strategies as st  # noqa: E402
import synth  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
GRID = {"fast": [50, 100, 200, 400], "slow": [800, 1500, 3000, 6000]}


def main() -> None:
    from dask.distributed import Client, LocalCluster

    path = os.path.join(HERE, "data", "btc-1000000.tmtk")
    if not os.path.exists(path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        synth.write(path, 1_000_000)
    source = tm.load_ticks(path)

    if len(sys.argv) > 1:
        client = Client(sys.argv[1])
    else:
        client = Client(LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                     dashboard_address=None))
    with client:
        client.upload_file(os.path.join(HERE, "strategies.py"))
        started = time.perf_counter()
        result = tm.sweep(st.BatchedMovingAverageCross, GRID, source, 10_000, batch=4096,
                          contract_size=1_000_000, executor=client, progress=True)
        print(f"{len(result)} configurations in {time.perf_counter() - started:.1f} s "
              f"on {len(client.scheduler_info()['workers'])} workers")
    print(result.table())
    print(result.judgement())


if __name__ == "__main__":
    main()
