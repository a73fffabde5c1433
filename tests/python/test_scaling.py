"""The scaling route from Python: seeded instances whose bounds and demands
share powers of two and whose costs exceed m^3, against an LP optimum, and
the formats of its progress and warning lines."""

import re

import numpy as np
import pytest
from conftest import i64
from test_routes import witnessed_instance
from test_solve import check_flow, lp_optimum
from zelk_mcf import min_cost_flow_edges_with_options, min_cost_flow_edges_with_scaling

QUICK = {"max_iters": 30, "oracle_mode": "fallback"}

CAPACITY_LINE = re.compile(
    r"^\[capacity_scaling\] phase=(\d+) divisor=(\d+) iterations=(\d+) bound=(\d+)$"
)
COST_LINE = re.compile(
    r"^\[cost_scaling\] round=(\d+) midpoint=(-?\d+) cost=(-?\d+) "
    r"scaled_max=(\d+) elapsed_ms=(\d+)$"
)
WARNING_LINE = re.compile(
    r"^warning: min residual \((\S+)\) below residual_min \((\S+)\) after unscaling$"
)
NUMBER = re.compile(r"^(-?\d\.\d{3}e-?[1-9]\d*|-?\d\.\d{3}e0|-?inf|nan)$")


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


def test_progress_lines_follow_their_formats(capfd):
    rng = np.random.default_rng(5)
    inst = scaled_instance(rng)
    capfd.readouterr()
    flow, stats = min_cost_flow_edges_with_scaling(
        *inst, **QUICK, force_cost_scaling=True, residual_min=1e300
    )
    lines = capfd.readouterr().err.splitlines()
    assert stats["solver_mode"] in ("ipm_scaled", "classic_fallback")

    capacity = [CAPACITY_LINE.match(x) for x in lines if x.startswith("[capacity_scaling]")]
    assert capacity and all(capacity)
    assert [int(m.group(1)) for m in capacity] == list(range(len(capacity)))
    divisors = [int(m.group(2)) for m in capacity]
    assert all(a == 2 * b for a, b in zip(divisors, divisors[1:]))
    m = len(inst[1])
    assert {int(x.group(4)) for x in capacity} == {m**3}

    cost = [COST_LINE.match(x) for x in lines if x.startswith("[cost_scaling]")]
    assert cost and all(cost)
    assert [int(x.group(1)) for x in cost] == list(range(1, len(cost) + 1))
    assert all(int(x.group(4)) <= m**3 for x in cost)

    # Every residual is finite, so below 1e300.
    warnings = [WARNING_LINE.match(x) for x in lines if x.startswith("warning: min residual")]
    assert len(warnings) == 1 and warnings[0]
    assert NUMBER.match(warnings[0].group(1)) and warnings[0].group(2) == "1.000e300"


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
