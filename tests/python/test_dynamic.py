"""The dynamic oracle in the interior-point route: the `dynamic` and default
(`hybrid`) oracle modes against linear programming on disconnected instances,
timed dynamic upkeep, and reproducibility whatever the thread count. Its
warnings on fixed instances are pinned by the recorded runs."""

import numpy as np
import pytest
from test_routes import ring_instance, witnessed_instance
from test_solve import check_flow, lp_optimum
from zelk_mcf import min_cost_flow_edges_with_options, run_ipm_edges


def disjoint_union(a, b):
    """Two instances side by side: no edge joins them."""
    n = a[0] + b[0]
    tail = np.concatenate([a[1], b[1] + a[0]])
    head = np.concatenate([a[2], b[2] + a[0]])
    rest = [
        np.ascontiguousarray(np.concatenate([x, y]), dtype=np.int64) for x, y in zip(a[3:6], b[3:6])
    ]
    demand = np.concatenate([a[6], b[6]]).astype(np.int64)
    return (
        n,
        np.ascontiguousarray(tail, dtype=np.int64),
        np.ascontiguousarray(head, dtype=np.int64),
        *rest,
        demand,
    )


def sweep_instances(seed, count):
    """Witnessed instances (parallel edges, self-loops, some infeasible);
    every third one is two of them side by side, so it is disconnected."""
    rng = np.random.default_rng(seed)
    for trial in range(count):
        inst = witnessed_instance(rng, n_max=10)
        if trial % 3 == 2:
            inst = disjoint_union(inst, witnessed_instance(rng, n_max=8))
        yield trial, inst


MODES = [("dynamic", {"oracle_mode": "dynamic"}), ("default", {})]


@pytest.mark.parametrize("name, kwargs", MODES, ids=[m[0] for m in MODES])
def test_sweep_matches_linear_programming(name, kwargs):
    modes = set()
    for trial, inst in sweep_instances(17, 45):
        expected = lp_optimum(*inst)
        if expected is None:
            with pytest.raises(RuntimeError, match="^Infeasible$"):
                min_cost_flow_edges_with_options(*inst, use_ipm=True, **kwargs)
            continue
        flow, stats = min_cost_flow_edges_with_options(*inst, use_ipm=True, **kwargs)
        assert check_flow(flow, *inst) == expected, (name, trial)
        modes.add(stats["solver_mode"])
    assert modes - {"classic"}


@pytest.mark.parametrize("mode", ["dynamic", "hybrid"])
def test_statistics_show_the_dynamic_oracle_at_work(mode):
    inst = ring_instance(n=14, extra=16, seed=3)
    flow, stats = min_cost_flow_edges_with_options(*inst, oracle_mode=mode, use_ipm=True)
    assert check_flow(flow, *inst) == lp_optimum(*inst)
    assert stats["iterations"] > 0
    assert stats["spanner_update_ms"] > 0.0
    # The static oracle alone does no dynamic upkeep.
    _, static = min_cost_flow_edges_with_options(*inst, oracle_mode="fallback", use_ipm=True)
    assert static["spanner_update_ms"] == 0.0


@pytest.mark.parametrize("mode", ["dynamic", "hybrid"])
def test_runs_are_reproducible_whatever_the_thread_count(mode):
    inst = disjoint_union(ring_instance(n=10, extra=8, seed=1), ring_instance(n=9, extra=6, seed=2))
    timing = {"cycle_scoring_ms", "barrier_compute_ms", "spanner_update_ms"}
    runs = [
        min_cost_flow_edges_with_options(*inst, oracle_mode=mode, use_ipm=True, threads=t)
        for t in (1, 4, 1)
    ]
    for flow, stats in runs[1:]:
        np.testing.assert_array_equal(flow, runs[0][0])
        assert {k: v for k, v in stats.items() if k not in timing} == {
            k: v for k, v in runs[0][1].items() if k not in timing
        }
    # The fractional flow itself, bit for bit.
    fractional = [run_ipm_edges(*inst, oracle_mode=mode, threads=t)[0] for t in (1, 4)]
    assert fractional[0].tobytes() == fractional[1].tobytes()
