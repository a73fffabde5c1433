"""Ctrl-C stops a long solve promptly and leaves the module usable."""

import signal
import time

import numpy as np
import pytest

from zelk_mcf import min_cost_flow_edges


def slow_instance(width=150, layers=40):
    """Unit capacities between full layers: one augmentation per unit of supply."""
    rng = np.random.default_rng(5)
    n = width * layers + 2
    tails, heads = [], []
    for layer in range(layers - 1):
        base = layer * width
        for u in range(width):
            for v in rng.choice(width, 8, replace=False):
                tails.append(base + u)
                heads.append(base + width + v)
    s, t = n - 2, n - 1
    supply = width * 4
    for u in range(width):
        tails += [s, (layers - 1) * width + u]
        heads += [u, t]
    m = len(tails)
    upper = np.ones(m, dtype=np.int64)
    upper[-2 * width:] = supply
    cost = rng.integers(0, 50, m).astype(np.int64)
    demand = np.zeros(n, dtype=np.int64)
    demand[s], demand[t] = -supply, supply
    i64 = lambda a: np.asarray(a, dtype=np.int64)
    return n, i64(tails), i64(heads), np.zeros(m, dtype=np.int64), upper, cost, demand


def test_sigint_interrupts_a_long_solve():
    inst = slow_instance()
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        start = time.perf_counter()
        with pytest.raises(KeyboardInterrupt):
            min_cost_flow_edges(*inst)
            pytest.fail("the solve finished before the alarm; make the instance larger")
        assert time.perf_counter() - start < 0.2 + 0.5
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    # Still usable afterwards.
    i64 = lambda a: np.array(a, dtype=np.int64)
    assert min_cost_flow_edges(2, i64([0]), i64([1]), i64([0]), i64([3]), i64([1]),
                               i64([-2, 2])).tolist() == [2]
