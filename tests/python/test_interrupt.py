"""Ctrl-C stops a long solve from inside and leaves the module usable."""

import functools
import io
import signal
import sys

import numpy as np
import pytest
from zelk_mcf import min_cost_flow_edges


def slow_instance(width=500, layers=100):
    """Unit capacities between full layers: about 400k edges, so the classic
    solver takes well over the alarm's 0.2 s."""
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
    upper[-2 * width :] = supply
    cost = rng.integers(0, 50, m).astype(np.int64)
    demand = np.zeros(n, dtype=np.int64)
    demand[s], demand[t] = -supply, supply
    i64 = lambda a: np.asarray(a, dtype=np.int64)
    return n, i64(tails), i64(heads), np.zeros(m, dtype=np.int64), upper, cost, demand


def test_sigint_interrupts_a_long_solve():
    inst = slow_instance()
    # A profiler made of C calls only (no bytecode, so the pending signal
    # cannot run inside it) records how the call ends: "c_exception" when the
    # solve itself raised, not a result that the interrupt overtook.
    events = io.StringIO()
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        with pytest.raises(KeyboardInterrupt):
            sys.setprofile(functools.partial(print, file=events))
            try:
                min_cost_flow_edges(*inst)
            finally:
                sys.setprofile(None)
            pytest.fail("the solve finished before the alarm; make the instance larger")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert "c_exception <built-in function min_cost_flow_edges>" in events.getvalue()
    # Still usable afterwards.
    i64 = lambda a: np.array(a, dtype=np.int64)
    assert min_cost_flow_edges(
        2, i64([0]), i64([1]), i64([0]), i64([3]), i64([1]), i64([-2, 2])
    ).tolist() == [2]
