"""Conversion from NetworkX graphs and back to NetworkX's flow dicts."""

from __future__ import annotations

import math
from collections.abc import Hashable
from typing import Any

import numpy as np

from . import _tools
from ._problem import Problem
from ._solve import InfeasibleError

_INT64_MAX = (1 << 63) - 1


class UnboundedError(RuntimeError):
    """A negative-cost cycle of edges without capacity: the cost has no lower bound.

    ``cycle`` lists the graph's edges on it, as ``(u, v)`` or ``(u, v, key)``.
    """

    def __init__(self, message: str, cycle: list[tuple[Any, ...]]) -> None:
        super().__init__(message)
        self.cycle = cycle


class NetworkxMapping:
    """Which node index and edge index stand for which node and edge of the graph.

    ``nodes[k]`` is the node of index ``k``; ``edges[i]`` is the edge of
    index ``i``, ``(u, v)`` for a DiGraph and ``(u, v, key)`` for a
    MultiDiGraph. ``unbounded_capacity`` is the finite capacity given to
    edges without one (None if every edge has one).
    """

    def __init__(
        self,
        nodes: list[Hashable],
        edges: list[tuple[Any, ...]],
        multigraph: bool,
        unbounded_capacity: int | None,
    ) -> None:
        self.nodes = nodes
        self.edges = edges
        self.multigraph = multigraph
        self.unbounded_capacity = unbounded_capacity
        self.index = {node: k for k, node in enumerate(nodes)}

    def flow_dict(self, flow: Any) -> dict[Any, dict[Any, Any]]:
        """NetworkX's flow dict: ``{u: {v: flow}}``, or ``{u: {v: {key: flow}}}`` for multigraphs.

        ``flow`` is a flow array or anything with a ``flow`` attribute (a
        ``SolveResult``). Every node and edge of the graph appears.
        """
        values = np.asarray(getattr(flow, "flow", flow)).tolist()
        if len(values) != len(self.edges):
            raise ValueError(
                f"flow has {len(values)} entries, the graph has {len(self.edges)} edges"
            )
        out: dict[Any, dict[Any, Any]] = {u: {} for u in self.nodes}
        if self.multigraph:
            for (u, v, key), x in zip(self.edges, values):
                out[u].setdefault(v, {})[key] = x
        else:
            for (u, v), x in zip(self.edges, values):
                out[u][v] = x
        return out


def _integral(value: Any, what: str) -> int:
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{what} must be an integer, got {value!r}")
    if isinstance(value, (float, np.floating)):
        if not math.isfinite(value) or value != int(value):
            raise TypeError(f"{what} must be an integer, got {value!r}")
        value = int(value)
    try:
        result = int(value.__index__())
    except (AttributeError, TypeError):
        raise TypeError(f"{what} must be an integer, got {value!r}") from None
    if not -_INT64_MAX - 1 <= result <= _INT64_MAX:
        raise ValueError(f"{what} {result} is beyond the int64 range")
    return result


def from_networkx(
    G: Any,
    demand: str = "demand",
    capacity: str = "capacity",
    weight: str = "weight",
    lower: str | None = None,
) -> tuple[Problem, NetworkxMapping]:
    """A ``Problem`` and its ``NetworkxMapping`` from a NetworkX DiGraph or MultiDiGraph.

    NetworkX's conventions: node attribute ``demand`` (default 0) is the net
    inflow the node must receive; edge attribute ``capacity`` is the upper
    bound, missing (or infinite) meaning unbounded; ``weight`` the cost per
    unit (default 0); ``lower`` (default None: all 0) names an edge
    attribute holding lower bounds. Values must be integral (integral floats
    are accepted). Self-loops are kept as edges.

    An unbounded edge gets a finite capacity no optimal flow needs to
    reach: 1 + the sum of absolute demands, finite capacities and lower
    bounds (``ValueError`` if it exceeds int64). Raises ``InfeasibleError``
    when the demands do not sum to zero, ``UnboundedError`` when unbounded
    edges form a negative-cost cycle, ``TypeError`` for non-integral values
    and for graphs that are not directed.
    """
    if not G.is_directed():
        raise TypeError("from_networkx needs a DiGraph or MultiDiGraph")
    multigraph = bool(G.is_multigraph())
    nodes = list(G.nodes)
    index = {node: k for k, node in enumerate(nodes)}
    dem = [
        _integral(data.get(demand, 0), f"demand of node {node!r}")
        for node, data in G.nodes(data=True)
    ]
    edges: list[tuple[Any, ...]] = []
    tails, heads, lows, caps, costs = [], [], [], [], []
    unbounded: list[int] = []
    for item in G.edges(keys=True, data=True) if multigraph else G.edges(data=True):
        u, v, data = item[0], item[1], item[-1]
        edge = tuple(item[:-1])
        name = f"edge {edge!r}"
        edges.append(edge)
        tails.append(index[u])
        heads.append(index[v])
        costs.append(_integral(data.get(weight, 0), f"weight of {name}"))
        lows.append(
            _integral(data.get(lower, 0), f"lower bound of {name}") if lower is not None else 0
        )
        cap = data.get(capacity)
        if cap is None or (isinstance(cap, (float, np.floating)) and math.isinf(cap) and cap > 0):
            unbounded.append(len(caps))
            caps.append(0)
        else:
            caps.append(_integral(cap, f"capacity of {name}"))
    total = sum(dem)
    if total != 0:
        raise InfeasibleError(f"infeasible: node demands sum to {total}, not zero", {})
    stand_in = None
    if unbounded:
        stand_in = 1 + sum(map(abs, dem)) + sum(map(abs, caps)) + sum(map(abs, lows))
        if stand_in > _INT64_MAX:
            raise ValueError(
                f"the capacity standing in for unbounded edges ({stand_in}) exceeds int64"
            )
        for i in unbounded:
            caps[i] = stand_in
        _reject_unbounded_cycle(len(nodes), tails, heads, lows, costs, unbounded, edges)
    problem = Problem(tails, heads, caps, costs, dem, lower=lows)
    return problem, NetworkxMapping(nodes, edges, multigraph, stand_in)


def _reject_unbounded_cycle(
    n: int,
    tails: list[int],
    heads: list[int],
    lows: list[int],
    costs: list[int],
    unbounded: list[int],
    edges: list[tuple[Any, ...]],
) -> None:
    """Raises ``UnboundedError`` if the unbounded edges hold a negative-cost cycle."""
    pick = np.asarray(unbounded, dtype=np.int64)
    low = np.asarray(lows, dtype=np.int64)[pick]
    _, cycle = _tools.optimality_certificate(
        n,
        np.asarray(tails, dtype=np.int64)[pick],
        np.asarray(heads, dtype=np.int64)[pick],
        low,
        low + 1,
        np.asarray(costs, dtype=np.int64)[pick],
        low,
    )
    if cycle is not None:
        on_cycle = [edges[int(pick[e])] for e, _ in cycle]
        raise UnboundedError(
            f"unbounded: a negative-cost cycle of edges without capacity: {on_cycle}", on_cycle
        )
