"""Routes through the driver: iteration-limit fallback, seeds, eligibility, the
interior-point entry, a sweep against linear programming, and the automatic
route's size limit, effort budget and arithmetic limits."""

import numpy as np
import pytest
from conftest import i64
from test_solve import check_flow, lp_optimum
from zelk_mcf import (
    min_cost_flow_edges_with_options,
    min_cost_flow_edges_with_scaling,
    run_ipm_edges,
)

CLASSIC_STATS = {
    "solver_mode": "classic",
    "termination": "classic",
    "iterations": 0,
    "final_gap": 0.0,
}


def ring_instance(n=12, extra=10, seed=0):
    """Strongly connected: every edge can carry flow strictly inside its bounds."""
    rng = np.random.default_rng(seed)
    tail = list(range(n)) + list(rng.integers(0, n, extra))
    head = [(v + 1) % n for v in range(n)] + list(rng.integers(0, n, extra))
    m = len(tail)
    demand = np.zeros(n, dtype=np.int64)
    demand[0], demand[n // 2] = -3, 3
    return (
        n,
        i64(tail),
        i64(head),
        i64(np.zeros(m)),
        i64(np.full(m, 8)),
        i64(rng.integers(1, 6, m)),
        demand,
    )


def test_termination_reason_of_an_iteration_limit_fallback():
    inst = ring_instance(seed=3)
    flow, stats = min_cost_flow_edges_with_options(
        *inst, use_ipm=True, oracle_mode="fallback", max_iters=1
    )
    assert stats["solver_mode"] == "classic_fallback"
    assert stats["termination"] == "iteration_limit"
    assert stats["terminated_by_max_iters"] is True
    assert stats["termination_reason"] == "max_iterations"
    assert stats["rounding_performed"] is False
    assert check_flow(flow, *inst) == lp_optimum(*inst)


def test_seed_used_follows_determinism():
    inst = ring_instance()
    _, det = min_cost_flow_edges_with_options(*inst, use_ipm=True, deterministic_seed=5)
    _, rnd = min_cost_flow_edges_with_options(*inst, use_ipm=True, deterministic=False, seed=9)
    assert det["seed_used"] == 5 and rnd["seed_used"] == 9
    assert rnd["deterministic_mode_used"] is False


def test_eligibility():
    # 12 edges and 20 nodes: classic, whatever else is asked.
    rng = np.random.default_rng(1)
    n, m = 20, 12
    tail, head = i64(rng.integers(0, n, m)), i64(rng.integers(0, n, m))
    zero, up = i64(np.zeros(m)), i64(np.full(m, 3))
    args = (n, tail, head, zero, up, i64(rng.integers(0, 5, m)), i64(np.zeros(n)))
    for kwargs in ({}, {"use_scaling": True}):
        assert min_cost_flow_edges_with_options(*args, **kwargs)[1] == CLASSIC_STATS
    for entry, kwargs in [
        (min_cost_flow_edges_with_scaling, {"max_iters": 0}),
        (min_cost_flow_edges_with_options, {"use_ipm": True, "max_iters": 0}),
        (min_cost_flow_edges_with_options, {"use_ipm": False}),
    ]:
        assert entry(*ring_instance(), **kwargs)[1]["solver_mode"] == "classic"


def test_run_ipm_edges_returns_the_interior_flow():
    inst = ring_instance()
    flow, stats = run_ipm_edges(*inst, oracle_mode="fallback", use_scaling=True)
    assert flow.dtype == np.float64 and flow.shape == inst[1].shape
    assert np.all(flow > inst[3]) and np.all(flow < inst[4])
    net = np.bincount(inst[2], flow, inst[0]) - np.bincount(inst[1], flow, inst[0])
    np.testing.assert_allclose(net, inst[6], atol=1e-6)
    assert stats["solver_mode"] == "ipm" and stats["rounding_performed"] is False
    assert len(stats) == 28 and stats["cycles_canceled"] == 0
    with pytest.raises(RuntimeError, match="^Infeasible$"):
        # An edge with lower = upper leaves no interior.
        run_ipm_edges(
            2, i64([0, 1]), i64([1, 0]), i64([1, 0]), i64([1, 5]), i64([1, 1]), i64([0, 0])
        )


def witnessed_instance(rng, n_max=14):
    """Demands from a random flow within the bounds, so mostly feasible; one
    in eight gets a demand moved to make it (usually) infeasible. Costs may be
    negative around cycles; parallel edges and self-loops included."""
    n = int(rng.integers(2, n_max + 1))
    m = int(rng.integers(n, 4 * n + 1))
    tail = rng.integers(0, n, m)
    head = np.where(rng.random(m) < 0.1, tail, rng.integers(0, n, m))
    lower = np.where(rng.random(m) < 0.3, rng.integers(-2, 3, m), 0)
    upper = lower + rng.integers(1, 6, m)
    cost = rng.integers(-3 if rng.random() < 0.5 else 0, 5, m)
    witness = rng.integers(lower, upper + 1)
    demand = np.bincount(head, witness, n).astype(np.int64) - np.bincount(tail, witness, n).astype(
        np.int64
    )
    if rng.random() < 0.125:
        a, b = rng.integers(0, n, 2)
        demand[a] -= 7
        demand[b] += 7
    return tuple(
        [n]
        + [
            np.ascontiguousarray(x, dtype=np.int64)
            for x in (tail, head, lower, upper, cost, demand)
        ]
    )


SWEEP = [
    ("default", {}),
    ("ipm-fallback", {"use_ipm": True, "oracle_mode": "fallback"}),
    ("ipm-loose-gap", {"use_ipm": True, "oracle_mode": "fallback", "gap_tolerance": 1e6}),
]


@pytest.mark.parametrize("name, kwargs", SWEEP, ids=[s[0] for s in SWEEP])
def test_sweep_matches_linear_programming(name, kwargs):
    rng = np.random.default_rng(2026)
    routes = set()
    for trial in range(60):
        inst = witnessed_instance(rng)
        expected = lp_optimum(*inst)
        if expected is None:
            with pytest.raises(RuntimeError, match="^Infeasible$"):
                min_cost_flow_edges_with_options(*inst, **kwargs)
            continue
        flow, stats = min_cost_flow_edges_with_options(*inst, **kwargs)
        assert check_flow(flow, *inst) == expected, (name, trial)
        routes.add(stats["solver_mode"])
    assert routes - {"classic"} or name == "default"


# ---- the automatic route: a size limit and an effort budget ----------------

TIMING = {"cycle_scoring_ms", "barrier_compute_ms", "spanner_update_ms"}


def without_timing(stats):
    return {k: v for k, v in stats.items() if k not in TIMING}


def chain_instance(rng, n, m):
    """NETGEN-like: supply runs along a chain, random arcs around it."""
    tail = list(range(n - 1)) + list(rng.integers(0, n, m - n + 1))
    head = list(range(1, n)) + list(rng.integers(0, n, m - n + 1))
    amount = int(rng.integers(5, 30))
    demand = np.zeros(n, dtype=np.int64)
    demand[0], demand[-1] = -amount, amount
    upper = np.where(np.arange(m) < n - 1, amount, rng.integers(1, 40, m))
    return (
        n,
        i64(tail),
        i64(head),
        i64(np.zeros(m)),
        i64(upper),
        i64(rng.integers(0, 100, m)),
        demand,
    )


def grid_instance(rng, side):
    tail, head = [], []
    for r in range(side):
        for c in range(side):
            v = r * side + c
            for dr, dc in ((0, 1), (1, 0)):
                if r + dr < side and c + dc < side:
                    w = (r + dr) * side + c + dc
                    tail += [v, w]
                    head += [w, v]
    n, m = side * side, len(tail)
    demand = np.zeros(n, dtype=np.int64)
    demand[0], demand[-1] = -10, 10
    return (
        n,
        i64(tail),
        i64(head),
        i64(np.zeros(m)),
        i64(rng.integers(5, 20, m)),
        i64(rng.integers(1, 10, m)),
        demand,
    )


def automatic_sweep():
    rng = np.random.default_rng(12)
    eligible = 0
    while eligible < 3:  # at least 9 nodes and 13 edges
        inst = witnessed_instance(rng, n_max=14)
        if inst[0] >= 9 and len(inst[1]) >= 13:
            eligible += 1
            yield inst
    yield chain_instance(rng, 30, 120)
    yield chain_instance(rng, 60, 400)
    yield grid_instance(rng, 4)
    yield grid_instance(rng, 8)


@pytest.mark.parametrize("index", range(7))
def test_automatic_route_equals_explicit_below_the_limit(capfd, index):
    inst = list(automatic_sweep())[index]
    assert 13 <= len(inst[1]) <= 400
    cap = {} if len(inst[1]) < 60 else {"max_iters": 40}
    outcomes = []
    for kwargs in ({}, {"use_ipm": True}):
        try:
            flow, stats = min_cost_flow_edges_with_options(*inst, **cap, **kwargs)
            outcome = (flow.tolist(), without_timing(stats))
        except RuntimeError as err:
            outcome = str(err)
        outcomes.append((outcome, capfd.readouterr().err))
    assert outcomes[0] == outcomes[1]


def test_above_the_limit_the_automatic_route_is_classic():
    rng = np.random.default_rng(3)
    inst = chain_instance(rng, 300, 2001)
    flow, stats = min_cost_flow_edges_with_options(*inst)
    assert stats == CLASSIC_STATS
    expected, _ = min_cost_flow_edges_with_options(*inst, use_ipm=False)
    assert int(np.dot(flow, inst[5])) == int(np.dot(expected, inst[5]))
    # One edge fewer is still eligible for the interior-point method.
    _, stats = min_cost_flow_edges_with_options(*chain_instance(rng, 300, 2000), max_iters=1)
    assert stats["solver_mode"] != "classic"


def large_cost_instance():
    """60 nodes, 360 edges, costs far above m^3: the automatic decision picks
    cost scaling, whose rounds would run for minutes without a budget."""
    n, m = 60, 360
    rng = np.random.default_rng(7)
    tail = np.concatenate([np.arange(n), rng.integers(0, n, m - n)])
    head = np.concatenate([(np.arange(n) + 1) % n, rng.integers(0, n, m - n)])
    head = np.where(head == tail, (head + 1) % n, head)
    upper = rng.integers(1, 20, m) * 1024
    cost = rng.integers(1, 100, m) * (m**3 // 50 + 1)
    flow = rng.integers(0, upper + 1)
    demand = np.bincount(head, flow, n) - np.bincount(tail, flow, n)
    return (n, i64(tail), i64(head), i64(np.zeros(m)), i64(upper), i64(cost), i64(demand))


def test_the_effort_budget_ends_a_pathological_automatic_call(capfd):
    inst = large_cost_instance()
    flow, stats = min_cost_flow_edges_with_options(*inst)
    capfd.readouterr()
    assert stats["solver_mode"] == "classic_fallback"
    assert stats["termination"] == "time_limit"
    assert stats["termination_reason"] == "non_convergence_fallback"
    assert check_flow(flow, *inst) == lp_optimum(*inst)


def test_interior_point_arithmetic_limits_fall_back_only_when_automatic(capfd):
    # Capacities of 2^63 - 1 overflow the scaled interior-point stage.
    n = 9
    tail = i64(list(range(n)) + [0, 2, 4, 6])
    head = i64([(v + 1) % n for v in range(n)] + [4, 6, 8, 1])
    args = (
        n,
        tail,
        head,
        i64([0] * 13),
        i64([2**63 - 1] * 13),
        i64(range(1, 14)),
        i64([-5, 0, 0, 0, 5, 0, 0, 0, 0]),
    )
    flow, stats = min_cost_flow_edges_with_options(*args)
    assert stats["solver_mode"] == "classic_fallback"
    assert check_flow(flow, *args) == 50
    with pytest.raises(RuntimeError, match=r'^InvalidInput\("scaled value overflow"\)$'):
        min_cost_flow_edges_with_options(*args, use_ipm=True)
