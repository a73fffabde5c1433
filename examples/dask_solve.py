"""Solve many independent instances on a Dask cluster.

Needs the optional extra: ``pip install "zelk_mcf[dask]"``. Starts a local
cluster of two single-threaded worker processes; point ``Client`` at a real
scheduler address to use a cluster instead.

    python examples/dask_solve.py [COUNT]
"""

from __future__ import annotations

import sys

import numpy as np
import zelk_mcf


def random_problem(seed: int, n: int = 60, m: int = 400) -> zelk_mcf.Problem:
    """A feasible instance with negative costs: demands come from a random flow."""
    rng = np.random.default_rng(seed)
    tail = rng.integers(0, n, m)
    head = rng.integers(0, n, m)
    upper = rng.integers(1, 20, m)
    cost = rng.integers(-5, 30, m)
    witness = rng.integers(0, upper + 1)
    demand = np.zeros(n, dtype=np.int64)
    np.add.at(demand, head, witness)
    np.subtract.at(demand, tail, witness)
    return zelk_mcf.Problem(tail, head, upper, cost, demand)


def solve_all(
    client, problems: list[zelk_mcf.Problem], method: str = "classic"
) -> list[zelk_mcf.SolveResult]:
    """Scatter the problems, solve each on some worker, gather in input order.

    The task is ``zelk_mcf.solve`` itself, so workers need nothing but the
    installed package.
    """
    futures = client.map(zelk_mcf.solve, client.scatter(problems), method=method, pure=False)
    return client.gather(futures)


def main() -> None:
    from dask.distributed import Client, LocalCluster

    count = int(sys.argv[1]) if len(sys.argv) > 1 else 32
    problems = [random_problem(seed) for seed in range(count)]
    with (
        LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        Client(cluster) as client,
    ):
        results = solve_all(client, problems)
    serial = [zelk_mcf.solve(p, method="classic") for p in problems]
    same = all(a.cost == b.cost and np.array_equal(a.flow, b.flow) for a, b in zip(results, serial))
    print(
        f"{count} instances on 2 Dask workers; total cost {sum(r.cost for r in results)}; "
        f"identical to a serial loop: {same}"
    )


if __name__ == "__main__":
    main()
