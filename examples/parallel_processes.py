"""Solve many independent instances with a process pool.

Each worker process imports zelk_mcf once and solves whole instances; only
the problem arrays and the flows cross process boundaries. A thread pool
(``concurrent.futures.ThreadPoolExecutor``) works the same way and avoids
the copies, since solves release the interpreter lock.

    python examples/parallel_processes.py [COUNT] [WORKERS]
"""

from __future__ import annotations

import sys
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import zelk_mcf


def random_problem(seed: int, n: int = 60, m: int = 400) -> zelk_mcf.Problem:
    """A feasible transportation-like instance: demands come from a random flow."""
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


def solve_one(problem: zelk_mcf.Problem) -> tuple[int, np.ndarray]:
    result = zelk_mcf.solve(problem, method="classic")
    return result.cost, result.flow


def solve_all(problems: list[zelk_mcf.Problem], workers: int = 2) -> list[tuple[int, np.ndarray]]:
    with ProcessPoolExecutor(max_workers=workers) as pool:
        return list(pool.map(solve_one, problems, chunksize=4))


def main() -> None:
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 32
    workers = int(sys.argv[2]) if len(sys.argv) > 2 else 2
    problems = [random_problem(seed) for seed in range(count)]
    results = solve_all(problems, workers)
    serial = [solve_one(p) for p in problems]
    same = all(a == b and np.array_equal(x, y) for (a, x), (b, y) in zip(results, serial))
    print(
        f"{count} instances on {workers} processes; total cost {sum(c for c, _ in results)}; "
        f"identical to a serial loop: {same}"
    )


if __name__ == "__main__":
    main()
