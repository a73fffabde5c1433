"""Many independent instances: a serial loop against thread and process pools.

Solves the same seeded instances one after another, then on a thread pool
and on a process pool, checks that every flow and cost is identical, and
prints wall times and speedups. Threads help only because a solve releases
the interpreter lock while it computes.

    python benchmarks/bench_parallel.py [--count 16] [--workers 2] [--nodes 1000] [--arcs 8000]
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import instances  # noqa: E402
import zelk_mcf  # noqa: E402


def make_problems(count: int, n: int, m: int, seed: int) -> list[zelk_mcf.Problem]:
    problems = []
    for k in range(count):
        inst = instances.netgen(np.random.default_rng([seed, k]), n, m, sources=10, sinks=10)
        problems.append(
            zelk_mcf.Problem(
                inst.tail, inst.head, inst.upper, inst.cost, inst.demand, lower=inst.lower
            )
        )
    return problems


def solve_one(problem: zelk_mcf.Problem) -> tuple[int, np.ndarray]:
    result = zelk_mcf.solve(problem, method="classic")
    return result.cost, result.flow


def timed(fn):
    start = time.perf_counter()
    out = fn()
    return time.perf_counter() - start, out


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--count", type=int, default=16, help="number of instances (default 16)")
    parser.add_argument("--workers", type=int, default=2, help="pool size (default 2)")
    parser.add_argument("--nodes", type=int, default=1000, help="nodes per instance (default 1000)")
    parser.add_argument("--arcs", type=int, default=8000, help="arcs per instance (default 8000)")
    parser.add_argument("--seed", type=int, default=1, help="seed (default 1)")
    args = parser.parse_args(argv)

    problems = make_problems(args.count, args.nodes, args.arcs, args.seed)
    solve_one(problems[0])  # warm up imports and allocators
    serial_s, serial = timed(lambda: [solve_one(p) for p in problems])
    with ThreadPoolExecutor(args.workers) as pool:
        thread_s, threaded = timed(lambda: list(pool.map(solve_one, problems)))
    with ProcessPoolExecutor(args.workers) as pool:
        list(pool.map(solve_one, problems[: args.workers]))  # start the workers
        process_s, processed = timed(lambda: list(pool.map(solve_one, problems)))

    for name, results in (("threads", threaded), ("processes", processed)):
        if any(a != b or not np.array_equal(x, y) for (a, x), (b, y) in zip(serial, results)):
            sys.exit(f"{name} gave a different answer than the serial loop")

    print(
        f"{args.count} netgen instances, {args.nodes} nodes / {args.arcs} arcs each, "
        f"classic route, {args.workers} workers, {os.cpu_count()} CPUs"
    )
    print(f"{'run':<12}{'seconds':>10}{'speedup':>10}")
    for name, seconds in (("serial", serial_s), ("threads", thread_s), ("processes", process_s)):
        print(f"{name:<12}{seconds:>10.3f}{serial_s / seconds:>10.2f}")
    print("all answers identical to the serial loop")


if __name__ == "__main__":
    main()
