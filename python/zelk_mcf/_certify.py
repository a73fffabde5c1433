"""Optimality certificates for integral flows."""

from __future__ import annotations

import operator

import numpy as np
import numpy.typing as npt

from . import _tools
from ._problem import Problem, as_int64

_SAFE = 1 << 61  # |a| + |b| + |c| stays inside int64 when each is below this


class CertificateError(ValueError):
    """A flow failed its certificate.

    ``kind`` says which check failed: ``"length"``, ``"bounds"`` (``edge``
    set), ``"demand"`` (``node`` set), ``"potentials"`` (``edge`` set: the
    given potentials leave a residual arc with negative reduced cost) or
    ``"cycle"`` (``cycle`` set: a list of ``(edge, direction)`` pairs, in
    traversal order, forming a residual cycle of negative cost ``cycle_cost``;
    direction +1 means the cycle pushes more flow along the edge, -1 less).
    """

    def __init__(
        self,
        message: str,
        kind: str,
        *,
        edge: int | None = None,
        node: int | None = None,
        cycle: list[tuple[int, int]] | None = None,
        cycle_cost: int | None = None,
    ) -> None:
        super().__init__(message)
        self.kind = kind
        self.edge = edge
        self.node = node
        self.cycle = cycle
        self.cycle_cost = cycle_cost


def _fits(*arrays: np.ndarray) -> bool:
    return all(a.size == 0 or (int(a.max()) < _SAFE and int(a.min()) > -_SAFE) for a in arrays)


def _net_inflow(problem: Problem, flow: np.ndarray) -> np.ndarray:
    """Inflow minus outflow per node, exact (object dtype if int64 could overflow)."""
    n = problem.n
    biggest = int(np.abs(flow.astype(np.float64)).max(initial=0.0))
    if (biggest + 1) * (flow.size + 1) < _SAFE:
        net = np.zeros(n, dtype=np.int64)
        np.add.at(net, problem.head, flow)
        np.subtract.at(net, problem.tail, flow)
        return net
    net = np.zeros(n, dtype=object)
    big = flow.astype(object)
    np.add.at(net, problem.head, big)
    np.subtract.at(net, problem.tail, big)
    return net


def _as_potentials(values: npt.ArrayLike, n: int) -> np.ndarray:
    """int64 when every value fits, else an object array of Python ints."""
    arr = np.asarray(values)
    if arr.dtype.kind not in "iuO":
        raise TypeError(f"potentials must hold integers, got dtype {arr.dtype}")
    if arr.ndim != 1 or arr.size != n:
        raise ValueError(f"potentials must hold one value per node ({n}), got shape {arr.shape}")
    if arr.dtype.kind == "i":
        return arr.astype(np.int64, copy=False)
    ints = [operator.index(v) for v in arr.tolist()]
    try:
        return np.array(ints, dtype=np.int64)
    except OverflowError:
        return np.array(ints, dtype=object)


def _edge_text(problem: Problem, i: int) -> str:
    return f"edge {i} ({int(problem.tail[i])} -> {int(problem.head[i])})"


def _check_potentials(problem: Problem, flow: np.ndarray, p: np.ndarray) -> None:
    if p.dtype == np.int64 and _fits(p, problem.cost):
        rc = problem.cost + p[problem.tail] - p[problem.head]
    else:
        rc = (
            problem.cost.astype(object)
            + p.astype(object)[problem.tail]
            - p.astype(object)[problem.head]
        )
    can_increase = flow < problem.upper
    can_decrease = flow > problem.lower
    bad = np.flatnonzero((can_increase & (rc < 0)) | (can_decrease & (rc > 0)))
    if bad.size:
        i = int(bad[0])
        r = int(rc[i])
        side = "can carry more flow" if r < 0 else "can carry less flow"
        raise CertificateError(
            f"the potentials do not prove optimality: {_edge_text(problem, i)} has reduced cost "
            f"{r} and {side}",
            "potentials",
            edge=i,
        )


def _cycle_error(problem: Problem, cycle: list[tuple[int, int]]) -> CertificateError:
    total = sum(d * int(problem.cost[e]) for e, d in cycle)
    shown = ", ".join(f"{e}{'+' if d > 0 else '-'}" for e, d in cycle[:20])
    if len(cycle) > 20:
        shown += f", ... ({len(cycle)} edges)"
    return CertificateError(
        f"the flow is not optimal: a residual cycle of cost {total} runs through edges [{shown}] "
        "(+ more flow, - less flow)",
        "cycle",
        cycle=cycle,
        cycle_cost=total,
    )


def certify(
    problem: Problem, flow: npt.ArrayLike, potentials: npt.ArrayLike | None = None
) -> np.ndarray:
    """Check that ``flow`` is a feasible flow of minimum cost for ``problem``.

    Checks, in order: one integral value per edge, every bound, every node's
    demand, then optimality. With ``potentials`` given, optimality is the
    linear-time check that every residual arc has non-negative reduced cost
    (``cost[i] + p[tail[i]] - p[head[i]] >= 0`` where the edge can carry more
    flow, ``<= 0`` where it can carry less); otherwise potentials are
    computed by a shortest-path pass in compiled code, which either finds
    them or exhibits a negative residual cycle.

    Returns the potentials: an int64 array, or an object array of Python
    ints when some value does not fit in 64 bits. Raises ``CertificateError``
    (a ``ValueError``) naming the failing edge, node or cycle.
    """
    x = as_int64(flow, "flow")
    if x.size != problem.m:
        raise CertificateError(
            f"flow has {x.size} entries, the problem has {problem.m} edges", "length"
        )
    bad = np.flatnonzero((x < problem.lower) | (x > problem.upper))
    if bad.size:
        i = int(bad[0])
        raise CertificateError(
            f"{_edge_text(problem, i)} carries {int(x[i])}, outside its bounds "
            f"[{int(problem.lower[i])}, {int(problem.upper[i])}]",
            "bounds",
            edge=i,
        )
    net = _net_inflow(problem, x)
    bad = np.flatnonzero(net != problem.demand)
    if bad.size:
        v = int(bad[0])
        raise CertificateError(
            f"node {v} receives a net inflow of {int(net[v])}, "
            f"its demand is {int(problem.demand[v])}",
            "demand",
            node=v,
        )
    if potentials is not None:
        p = _as_potentials(potentials, problem.n)
        _check_potentials(problem, x, p)
        return p
    pot, cycle = _tools.optimality_certificate(
        problem.n, problem.tail, problem.head, problem.lower, problem.upper, problem.cost, x
    )
    if cycle is not None:
        raise _cycle_error(problem, cycle)
    if isinstance(pot, bytearray):
        return np.frombuffer(pot, dtype=np.int64)
    return np.array(pot, dtype=object)
