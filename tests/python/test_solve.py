"""Solutions against an independent LP solver on seeded random instances."""

import numpy as np
import pytest
from scipy.optimize import linprog
from zelk_mcf import min_cost_flow_edges, min_cost_flow_edges_with_options


def random_instance(rng, n_max=10, negative=True):
    n = int(rng.integers(1, n_max + 1))
    m = int(rng.integers(0, 3 * n + 1))
    tail = rng.integers(0, n, m)
    head = np.where(rng.random(m) < 0.2, tail, rng.integers(0, n, m))  # self-loops
    lower = np.where(rng.random(m) < 0.3, rng.integers(-2, 3, m), 0)
    upper = lower + rng.integers(0, 5, m)
    low_cost = -3 if negative else 0
    cost = rng.integers(low_cost, 4, m)  # few distinct values: many ties
    demand = np.zeros(n, dtype=np.int64)
    for _ in range(int(rng.integers(0, n + 1))):
        a, b = rng.integers(0, n, 2)
        amount = int(rng.integers(1, 4))
        demand[a] -= amount
        demand[b] += amount
    i64 = lambda a: np.ascontiguousarray(a, dtype=np.int64)
    return n, i64(tail), i64(head), i64(lower), i64(upper), i64(cost), i64(demand)


def lp_optimum(n, tail, head, lower, upper, cost, demand):
    """Optimal cost by linear programming, or None when infeasible."""
    m = len(tail)
    if m == 0:
        return 0 if not demand.any() else None
    a_eq = np.zeros((n, m))
    a_eq[head, np.arange(m)] += 1.0
    a_eq[tail, np.arange(m)] -= 1.0
    res = linprog(cost, A_eq=a_eq, b_eq=demand, bounds=list(zip(lower, upper)), method="highs")
    if res.status == 2:
        return None
    assert res.status == 0, res.message
    return round(res.fun)


def check_flow(flow, n, tail, head, lower, upper, cost, demand):
    assert flow.dtype == np.int64 and flow.shape == tail.shape
    assert np.all(lower <= flow) and np.all(flow <= upper)
    net = np.bincount(head, flow, n) - np.bincount(tail, flow, n)
    np.testing.assert_array_equal(net, demand)
    return int(np.dot(cost, flow))


@pytest.mark.parametrize("seed", range(4))
def test_random_instances_match_linear_programming(seed):
    rng = np.random.default_rng(seed)
    feasible = infeasible = 0
    for _ in range(80):
        inst = random_instance(rng, negative=seed % 2 == 0)
        expected = lp_optimum(*inst)
        if expected is None:
            with pytest.raises(RuntimeError, match="^Infeasible$"):
                min_cost_flow_edges(*inst)
            infeasible += 1
            continue
        flow = min_cost_flow_edges(*inst)
        assert check_flow(flow, *inst) == expected
        feasible += 1
    assert feasible > 15 and infeasible > 3


def test_larger_instances_and_entry_agreement():
    rng = np.random.default_rng(99)
    for _ in range(10):
        inst = random_instance(rng, n_max=60)
        expected = lp_optimum(*inst)
        if expected is None:
            continue
        flow = min_cost_flow_edges(*inst)
        assert check_flow(flow, *inst) == expected
        flow2, stats = min_cost_flow_edges_with_options(*inst)
        np.testing.assert_array_equal(flow, flow2)
        assert stats["solver_mode"] == "classic"
