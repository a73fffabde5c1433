"""Exactness across the whole 64-bit range, on every route.

Hypothesis draws small instances whose bounds, costs and demands are mostly
small but often near +-2^59 ... 2^63; every answer is checked in Python
integers against NetworkX's network simplex (exact on ints). A route may
refuse an instance only with a clear InvalidInput naming a value that truly
leaves the 64-bit range; it never returns a wrong flow or a false verdict.
"""

import contextlib
import io

import networkx as nx
import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st
from zelk_mcf import (
    min_cost_flow_edges,
    min_cost_flow_edges_with_options,
    min_cost_flow_edges_with_scaling,
)

LO, HI = -(2**63), 2**63 - 1

# Representability limits the classic reduction reports instead of solving.
RANGE_ERRORS = {
    'InvalidInput("negative residual capacity")',
    'InvalidInput("node balance overflow")',
    'InvalidInput("total supply overflow")',
    'InvalidInput("total cost overflow")',
}

ROUTES = {
    "plain": lambda *a: min_cost_flow_edges(*a),
    "classic": lambda *a: min_cost_flow_edges_with_options(*a, use_ipm=False)[0],
    "ipm": lambda *a: min_cost_flow_edges_with_options(*a, use_ipm=True, max_iters=15)[0],
    "ipm_rounding": lambda *a: min_cost_flow_edges_with_options(
        *a, use_ipm=True, use_scaling=False, gap_tolerance=1e6, max_iters=15
    )[0],
    "cost_scaling": lambda *a: min_cost_flow_edges_with_scaling(
        *a, force_cost_scaling=True, max_iters=5
    )[0],
}
# Routes the caller asked for explicitly may report their own arithmetic
# limits; the automatic and classic routes may not.
EXPLICIT = {"ipm", "ipm_rounding", "cost_scaling"}

big = st.sampled_from([2**59, 2**60, 2**61, 2**62, 2**63 - 1, 2**63]).flatmap(
    lambda b: st.integers(b - 3, b)
)
value = st.one_of(st.integers(-4, 4), big.map(lambda v: min(v, HI)), big.map(lambda v: max(-v, LO)))


@st.composite
def instances(draw):
    n = draw(st.integers(1, 5))
    m = draw(st.integers(0, 7))
    node = st.integers(0, n - 1)
    tail = [draw(node) for _ in range(m)]
    head = [draw(node) for _ in range(m)]
    lower, upper, cost, planted = [], [], [], []
    for _ in range(m):
        a, b = sorted((draw(value), draw(value)))
        lower.append(a)
        upper.append(b)
        cost.append(draw(value))
        planted.append(draw(st.sampled_from([a, b, a + (b - a) // 2])))
    kind = draw(st.sampled_from(["planted", "random", "wrapped"]))
    if kind == "planted":
        # Demands of a planted flow: feasible unless they leave 64 bits.
        demand = [0] * n
        for t, h, f in zip(tail, head, planted):
            demand[h] += f
            demand[t] -= f
    else:
        demand = [draw(value) for _ in range(n - 1)]
        last = -sum(demand)
        if kind == "wrapped":  # a 64-bit sum of zero that is no true zero
            last = (last - LO) % 2**64 + LO
        demand.append(last)
    assume(all(LO <= d <= HI for d in demand))
    return n, tail, head, lower, upper, cost, demand


@st.composite
def near_ties(draw):
    """A ring with chords whose costs differ by a few units at 2^60, where
    doubles cannot tell them apart; demands of a planted flow."""
    n = 9
    tail = list(range(n)) + [0, 1, 2, 3]
    head = [(v + 1) % n for v in range(n)] + [3, 4, 5, 6]
    m = len(tail)
    upper = [draw(st.integers(1, 7)) for _ in range(m)]
    cost = [draw(st.integers(0, 200)) - (2**60 if draw(st.booleans()) else 0) for _ in range(m)]
    planted = [draw(st.integers(0, u)) for u in upper]
    demand = [0] * n
    for t, h, f in zip(tail, head, planted):
        demand[h] += f
        demand[t] -= f
    return n, tail, head, [0] * m, upper, cost, demand


def reference(n, tail, head, lower, upper, cost, demand):
    """Optimal cost in Python integers, or None when infeasible."""
    g = nx.MultiDiGraph()
    g.add_nodes_from(range(n))
    base = 0
    excess = list(demand)
    for t, h, lo, up, c in zip(tail, head, lower, upper, cost):
        if t == h:  # a self-loop stands alone: at its better bound
            base += c * (up if c < 0 else lo)
            continue
        # Shift the lower bound out: the edge carries lo + x, 0 <= x <= up - lo.
        base += c * lo
        excess[h] -= lo
        excess[t] += lo
        g.add_edge(t, h, capacity=up - lo, weight=c)
    for v in range(n):
        g.nodes[v]["demand"] = excess[v]
    try:
        cost_x, _ = nx.network_simplex(g)
    except nx.NetworkXUnfeasible:
        return None
    return base + cost_x


def reduction_overflows(n, tail, head, lower, upper, demand):
    """True when the classic reduction's balances leave the 64-bit range."""
    balance = list(demand)
    for t, h, lo, up in zip(tail, head, lower, upper):
        if up - lo > HI:
            return True
        for v, delta in ((t, lo), (h, -lo)):
            balance[v] += delta
            if not LO < balance[v] <= HI:
                return True
    return sum(b for b in balance if b > 0) > HI


def arrays(n, tail, head, lower, upper, cost, demand):
    i64 = lambda v: np.array(v, dtype=np.int64)
    return n, i64(tail), i64(head), i64(lower), i64(upper), i64(cost), i64(demand)


@settings(
    max_examples=250,
    deadline=None,
    derandomize=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)
@given(instances(), st.sampled_from(sorted(ROUTES)))
def test_every_route_is_exact_across_the_range(instance, route):
    check_route(instance, route)


@settings(max_examples=40, deadline=None, derandomize=True)
@given(near_ties())
def test_rounded_flows_are_verified_exactly(instance):
    check_route(instance, "ipm_rounding")


def check_route(instance, route):
    n, tail, head, lower, upper, cost, demand = instance
    if sum(demand) != 0:
        with pytest.raises(ValueError, match="demands must sum to zero"):
            ROUTES[route](*arrays(*instance))
        return
    expected = reference(*instance)
    try:
        with contextlib.redirect_stderr(io.StringIO()):
            flow = ROUTES[route](*arrays(*instance))
    except RuntimeError as err:
        message = str(err)
        if message == "Infeasible":
            assert expected is None, f"{route}: false Infeasible (optimum {expected})"
        elif route in EXPLICIT:
            assert message.startswith("InvalidInput("), message
        else:
            assert message in RANGE_ERRORS, message
            assert reduction_overflows(n, tail, head, lower, upper, demand) or (
                message == 'InvalidInput("total cost overflow")'
            ), message
        return
    assert expected is not None, f"{route}: a flow for an infeasible instance"
    f = [int(x) for x in flow]
    assert all(lo <= x <= up for lo, x, up in zip(lower, f, upper))
    net = [0] * n
    for t, h, x in zip(tail, head, f):
        net[h] += x
        net[t] -= x
    assert net == list(demand), f"{route}: demands not met"
    assert sum(c * x for c, x in zip(cost, f)) == expected, f"{route}: not optimal"


def i64v(*values):
    return np.array(values, dtype=np.int64)


M = 2**63 - 1


@pytest.mark.parametrize(
    "args, expected",
    [
        # A shortest path costing about 2^60 is a real distance.
        ((2, i64v(0), i64v(1), i64v(0), i64v(1), i64v(2**60 - 1), i64v(-1, 1)), [1]),
        (
            (3, i64v(0, 1), i64v(1, 2), i64v(0, 0), i64v(1, 1), i64v(2**59, 2**59), i64v(-1, 0, 1)),
            [1, 1],
        ),
        # A negative cycle of cost -2^63, and a self-loop of cost -2^62.
        (
            (
                2,
                i64v(0, 1),
                i64v(1, 0),
                i64v(0, 0),
                i64v(1, 1),
                i64v(-(2**62), -(2**62)),
                i64v(0, 0),
            ),
            [1, 1],
        ),
        ((1, i64v(0), i64v(0), i64v(0), i64v(1), i64v(-(2**62)), i64v(0)), [1]),
    ],
)
@pytest.mark.parametrize("route", ["plain", "cost_scaling"])
def test_reproducers_at_the_edges(args, expected, route):
    with contextlib.redirect_stderr(io.StringIO()):
        assert ROUTES[route](*args).tolist() == expected


def test_demands_that_only_wrap_to_zero_are_rejected():
    e = i64v()
    with pytest.raises(ValueError, match="demands must sum to zero"):
        min_cost_flow_edges(3, e, e, e, e, e, i64v(M, M, 2))
