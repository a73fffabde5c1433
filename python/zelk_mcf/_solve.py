"""``solve``: one call from a problem record to a certified optimal flow."""

from __future__ import annotations

import dataclasses
import time
from collections.abc import Callable
from typing import Any

import numpy as np

from . import _core
from ._capture import captured_stderr
from ._certify import CertificateError, certify
from ._problem import Problem

METHODS = ("auto", "classic", "ipm", "scaling")
_ROUTE_KEYWORDS = ("use_ipm", "use_scaling")


class InfeasibleError(RuntimeError):
    """No flow meets the bounds and demands.

    ``shortfall`` maps each node whose demand cannot be met to the amount
    missing there (positive: the node cannot receive that much more inflow;
    negative: it cannot send that much of its supply), from a flow that meets
    the bounds and as much of the demands as possible.
    """

    def __init__(self, message: str, shortfall: dict[int, int]) -> None:
        super().__init__(message)
        self.shortfall = shortfall


@dataclasses.dataclass(frozen=True, eq=False)
class SolveResult:
    """An optimal flow with its proof.

    ``flow``: int64 per edge. ``cost``: its exact total cost (a Python
    int). ``potentials``: one per node, proving optimality
    (``cost[i] + p[tail[i]] - p[head[i]]`` is ``>= 0`` wherever the edge can
    carry more flow and ``<= 0`` wherever it can carry less); int64, or an
    object array of Python ints beyond 64 bits. ``stats``: the core's
    statistics dict plus ``"method"`` and ``"seconds"``. ``diagnostics``: the
    core's diagnostic lines, captured when the solve was quiet.
    """

    flow: np.ndarray
    cost: int
    potentials: np.ndarray
    stats: dict[str, Any]
    diagnostics: list[str]


def _route(method: str, options: dict[str, Any]) -> tuple[Callable[..., Any], dict[str, Any]]:
    if method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(map(repr, METHODS))}, got {method!r}")
    clash = [k for k in _ROUTE_KEYWORDS if k in options]
    if clash:
        raise ValueError(
            f"{clash[0]} is set by method=; pass method='classic', 'ipm' or 'scaling' instead"
        )
    if method == "scaling":
        return _core.min_cost_flow_edges_with_scaling, options
    route = {
        "auto": {},
        "classic": {"use_ipm": False},
        "ipm": {"use_ipm": True, "use_scaling": False},
    }
    return _core.min_cost_flow_edges_with_options, {**options, **route[method]}


def _shortfall(problem: Problem) -> dict[int, int]:
    """Unmet demand per node, from a relaxed problem that is always feasible.

    An extra node joined to every node in both directions at unit cost
    absorbs what the real edges cannot carry; its optimal flow is the
    smallest total violation, and where it enters or leaves names the nodes.
    """
    n, m = problem.n, problem.m
    total = int(np.abs(problem.demand).sum(dtype=np.float64)) + 2 * int(
        np.abs(problem.lower).sum(dtype=np.float64) + np.abs(problem.upper).sum(dtype=np.float64)
    )
    big = min(total + 1, (1 << 62) // max(1, n))
    nodes = np.arange(n, dtype=np.int64)
    hub = np.full(n, n, dtype=np.int64)
    tail = np.concatenate([problem.tail, hub, nodes])
    head = np.concatenate([problem.head, nodes, hub])
    lower = np.concatenate([problem.lower, np.zeros(2 * n, dtype=np.int64)])
    upper = np.concatenate([problem.upper, np.full(2 * n, big, dtype=np.int64)])
    cost = np.concatenate([np.zeros(m, dtype=np.int64), np.ones(2 * n, dtype=np.int64)])
    demand = np.concatenate([problem.demand, [0]]).astype(np.int64)
    with captured_stderr():
        flow, _ = _core.min_cost_flow_edges_with_options(
            n + 1, tail, head, lower, upper, cost, demand, use_ipm=False
        )
    into = flow[m : m + n] - flow[m + n :]
    return {int(v): int(into[v]) for v in np.flatnonzero(into)}


def describe_shortfall(problem: Problem, shortfall: dict[int, int], first_id: int = 0) -> str:
    """The nodes of ``InfeasibleError.shortfall`` in words, nodes numbered from ``first_id``."""
    parts = []
    for v, amount in list(shortfall.items())[:10]:
        need = int(problem.demand[v])
        if amount > 0:
            parts.append(
                f"node {v + first_id} can receive at most {need - amount} of its demand {need}"
            )
        else:
            parts.append(
                f"node {v + first_id} can send at most {-need + amount} of its supply {-need}"
            )
    if len(shortfall) > 10:
        parts.append(f"... ({len(shortfall)} nodes in all)")
    detail = "; ".join(parts) if parts else "the bounds and demands admit no flow"
    return f"infeasible: {detail}"


def _infeasible(problem: Problem) -> InfeasibleError:
    try:
        short = _shortfall(problem)
    except (RuntimeError, ValueError, OverflowError):
        short = {}
    return InfeasibleError(describe_shortfall(problem, short), short)


def solve(
    problem: Problem,
    method: str = "auto",
    verbose: bool = False,
    on_line: Callable[[str], None] | None = None,
    **options: Any,
) -> SolveResult:
    """Solve ``problem`` exactly and certify the result.

    ``method``: ``"auto"`` (default: the core picks the route by instance
    size), ``"classic"`` (the exact classic solver), ``"ipm"`` (the
    interior-point method, no scaling) or ``"scaling"`` (the scaling layers
    around it). ``verbose=False`` (default) captures the core's diagnostic
    lines into ``result.diagnostics`` instead of printing them; this is
    thread-safe. ``on_line`` (default None) receives each captured line as it
    arrives. Other keywords are the core's options (see ``_core.pyi``);
    ``use_ipm``/``use_scaling`` are chosen by ``method``.

    Raises ``InfeasibleError`` (a ``RuntimeError``) naming the nodes whose
    demand cannot be met, ``ValueError``/``TypeError`` for bad options,
    ``RuntimeError`` when the core rejects the instance (e.g. overflow),
    ``KeyboardInterrupt`` on Ctrl-C.
    """
    if not isinstance(problem, Problem):
        raise TypeError(f"problem must be a zelk_mcf.Problem, got {type(problem).__name__}")
    entry, keywords = _route(method, options)
    start = time.perf_counter()
    try:
        if verbose:
            flow, stats = entry(*problem.arrays(), **keywords)
            lines: list[str] = []
        else:
            with captured_stderr(on_line) as buffer:
                flow, stats = entry(*problem.arrays(), **keywords)
            lines = buffer.lines
    except RuntimeError as exc:
        if str(exc) == "Infeasible":
            raise _infeasible(problem) from None
        raise
    try:
        potentials = certify(problem, flow)
    except CertificateError as exc:  # a solver fault, never an input problem
        raise RuntimeError(
            f"internal error: the solver's flow failed its certificate: {exc}"
        ) from exc
    stats = dict(stats)
    stats["method"] = method
    stats["seconds"] = time.perf_counter() - start
    flow.setflags(write=False)
    return SolveResult(flow, problem.flow_cost(flow), potentials, stats, lines)
