"""Seeded random instances for the package's tests.

Few nodes, parallel edges, self-loops, lower bounds (some negative), small
cost ranges (many ties, negative cycles) and demands taken from a random
flow, so every instance is feasible and that flow is a witness.
"""

import numpy as np
import zelk_mcf


def random_problem(rng, n_max=7, negative_costs=True):
    n = int(rng.integers(1, n_max + 1))
    m = int(rng.integers(0, 3 * n + 1))
    tail = rng.integers(0, n, m)
    head = np.where(rng.random(m) < 0.15, tail, rng.integers(0, n, m))
    lower = np.where(rng.random(m) < 0.3, rng.integers(-3, 3, m), 0)
    upper = lower + rng.integers(0, 6, m)
    cost = rng.integers(-3, 4, m) if negative_costs else rng.integers(0, 3, m)
    witness = rng.integers(lower, upper + 1)
    demand = np.zeros(n, dtype=np.int64)
    np.add.at(demand, head, witness)
    np.subtract.at(demand, tail, witness)
    return zelk_mcf.Problem(tail, head, upper, cost, demand, lower=lower), witness


def residual_cycle_cost(problem, flow, cycle):
    """Cost of a cycle given as (edge, direction) pairs, after checking it is a residual cycle."""
    total = 0
    start = at = None
    for e, d in cycle:
        u, v = int(problem.tail[e]), int(problem.head[e])
        if d < 0:
            u, v = v, u
            assert flow[e] > problem.lower[e]
        else:
            assert flow[e] < problem.upper[e]
        if start is None:
            start = u
        else:
            assert u == at
        at = v
        total += d * int(problem.cost[e])
    assert at == start
    return total
