"""The scaling route from Python: seeded instances whose bounds and demands
share powers of two and whose costs exceed m^3, against an LP optimum, and
the three entries that reach it. The formats of its progress and warning
lines are checked in C++ and pinned by the recorded runs."""

import numpy as np
import pytest
from conftest import i64
from test_routes import witnessed_instance
from test_solve import check_flow, lp_optimum
from zelk_mcf import min_cost_flow_edges_with_options, min_cost_flow_edges_with_scaling

QUICK = {"max_iters": 30, "oracle_mode": "fallback"}


def scaled_instance(rng):
    """An IPM-eligible witnessed instance with bounds and demands times 2^k
    and, mostly, costs far above m^3. Most get their bounds widened by a unit
    around the witness, so that a strictly interior flow exists."""
    while True:
        n, tail, head, lower, upper, cost, demand = witnessed_instance(rng, n_max=16)
        if n >= 9 and len(tail) >= 13:
            break
    if rng.random() < 0.75:
        lower, upper = lower - 1, upper + 1
    factor = 1 << int(rng.integers(0, 11))
    if rng.random() < 0.75:
        cost = cost * int(rng.integers(len(tail) ** 3 // 2, 4 * len(tail) ** 3))
    return n, tail, head, lower * factor, upper * factor, i64(cost), demand * factor


SWEEP = [
    ("plain", {}),
    ("forced-cost", {"force_cost_scaling": True}),
    ("no-capacity", {"disable_capacity_scaling": True}),
    # A loose threshold sends converged runs through rounding on the divided
    # problem and through unscaling.
    ("loose-gap", {"gap_tolerance": 1e6}),
    ("loose-gap-forced-cost", {"gap_tolerance": 1e6, "force_cost_scaling": True}),
]


@pytest.mark.parametrize("name, kwargs", SWEEP, ids=[s[0] for s in SWEEP])
def test_sweep_matches_linear_programming(name, kwargs):
    rng = np.random.default_rng(8)
    modes, rounded = set(), 0
    for trial in range(12):
        inst = scaled_instance(rng)
        expected = lp_optimum(*inst)
        if expected is None:
            with pytest.raises(RuntimeError, match="^Infeasible$"):
                min_cost_flow_edges_with_scaling(*inst, **QUICK, **kwargs)
            continue
        flow, stats = min_cost_flow_edges_with_scaling(*inst, **QUICK, **kwargs)
        assert check_flow(flow, *inst) == expected, (name, trial)
        modes.add(stats["solver_mode"])
        rounded += stats["solver_mode"] == "ipm_scaled" and stats["is_exact_optimal"]
    assert "ipm_scaled" in modes
    assert rounded > 4 or "gap_tolerance" not in kwargs


def test_all_three_entries_reach_the_scaling_route():
    n, m = 9, 13
    tail = i64(list(range(n)) + [0, 2, 4, 6])
    head = i64([(v + 1) % n for v in range(n)] + [5, 7, 1, 3])
    demand = i64([-64, 0, 0, 0, 64, 0, 0, 0, 0])
    lower, upper = i64([0] * m), i64([256] * m)
    cost = i64([1] * (m - 1) + [3000])
    inst = (n, tail, head, lower, upper, cost, demand)
    expected = lp_optimum(*inst)
    for entry, kwargs in [
        (min_cost_flow_edges_with_scaling, {}),
        (min_cost_flow_edges_with_options, {"use_scaling": True}),
        (min_cost_flow_edges_with_options, {}),
        (min_cost_flow_edges_with_options, {"force_cost_scaling": True, "use_scaling": False}),
    ]:
        flow, stats = entry(*inst, **QUICK, **kwargs)
        assert stats["solver_mode"] == "ipm_scaled", kwargs
        assert check_flow(flow, *inst) == expected
