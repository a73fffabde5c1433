"""Seeded generators of feasible min-cost-flow instances for the benchmarks.

Every generator takes a ``numpy.random.Generator`` and returns an
:class:`Instance` whose arrays are contiguous int64, with lower bounds 0,
no self-loops and no parallel arcs (so the same instance loads unchanged
into a ``networkx.DiGraph``).  Feasibility is built in rather than checked
afterwards: each generator first lays down a flow that meets its supplies
and demands and then makes sure every arc of that flow has room for it.

Demand follows the solver's convention: ``demand[v]`` is the net inflow
required at ``v`` (inflow - outflow), so supply nodes are negative.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

# Capacity given to "uncapacitated" arcs.  Far above any total supply here,
# so it never binds, yet small enough that cost * capacity stays well
# inside int64 for every solver.
BIG = 1_000_000_000

MAX_COST = 100


@dataclass
class Instance:
    name: str
    n: int
    tail: np.ndarray
    head: np.ndarray
    lower: np.ndarray
    upper: np.ndarray
    cost: np.ndarray
    demand: np.ndarray
    info: dict = field(default_factory=dict)

    @property
    def m(self) -> int:
        return int(self.tail.shape[0])

    @property
    def total_supply(self) -> int:
        return int(-self.demand[self.demand < 0].sum())


def _split(total: int, parts: int, rng: np.random.Generator) -> np.ndarray:
    """``parts`` positive integers summing to ``total`` (needs total >= parts)."""
    if parts == 1:
        return np.array([total], dtype=np.int64)
    cuts = np.sort(rng.choice(total - 1, size=parts - 1, replace=False) + 1)
    edges = np.concatenate(([0], cuts, [total]))
    return np.diff(edges).astype(np.int64)


def _finish(name, n, tail, head, upper, cost, flow, rng, info) -> Instance:
    """Shuffle arc order, derive demands from the planted flow, and pack."""
    tail = np.asarray(tail, dtype=np.int64)
    head = np.asarray(head, dtype=np.int64)
    upper = np.asarray(upper, dtype=np.int64)
    cost = np.asarray(cost, dtype=np.int64)
    flow = np.asarray(flow, dtype=np.int64)
    assert np.all(tail != head), "self-loop generated"
    keys = tail * n + head
    assert np.unique(keys).size == keys.size, "parallel arc generated"
    assert np.all(flow <= upper), "planted flow exceeds capacity"

    # Generators emit structured arcs first; a random order keeps any solver
    # from profiting from that layout.
    perm = rng.permutation(tail.size)
    tail, head, upper, cost, flow = (a[perm] for a in (tail, head, upper, cost, flow))

    demand = np.zeros(n, dtype=np.int64)
    np.add.at(demand, head, flow)
    np.subtract.at(demand, tail, flow)
    assert demand.sum() == 0
    return Instance(
        name=name,
        n=int(n),
        tail=np.ascontiguousarray(tail),
        head=np.ascontiguousarray(head),
        lower=np.zeros(tail.size, dtype=np.int64),
        upper=np.ascontiguousarray(upper),
        cost=np.ascontiguousarray(cost),
        demand=np.ascontiguousarray(demand),
        info=info,
    )


def _add_random_arcs(n, m_target, keys_taken, rng, tails_from=None, heads_from=None):
    """Up to ``m_target`` new distinct non-loop arcs avoiding ``keys_taken``."""
    taken = set(int(k) for k in keys_taken)
    out_t: list[np.ndarray] = []
    out_h: list[np.ndarray] = []
    need = m_target
    while need > 0:
        batch = max(2 * need, 64)
        t = rng.integers(0, n, batch) if tails_from is None else rng.choice(tails_from, batch)
        h = rng.integers(0, n, batch) if heads_from is None else rng.choice(heads_from, batch)
        for u, v in zip(t.tolist(), h.tolist()):
            if u == v:
                continue
            k = u * n + v
            if k in taken:
                continue
            taken.add(k)
            out_t.append(u)
            out_h.append(v)
            need -= 1
            if need == 0:
                break
    return np.array(out_t, dtype=np.int64), np.array(out_h, dtype=np.int64)


# ---------------------------------------------------------------------------
# NETGEN-style transshipment network
# ---------------------------------------------------------------------------


def netgen(
    rng: np.random.Generator,
    n: int,
    m: int,
    *,
    sources: int,
    sinks: int,
    supply_per_source: int = 1000,
    cap_range=(100, 2000),
    uncap_frac: float = 0.3,
    hicost_frac: float = 0.3,
) -> Instance:
    """Sources feed random chains of transshipment nodes that end in sinks.

    Nodes ``0..sources-1`` are sources and the last ``sinks`` nodes are sinks.
    Each source gets its own "skeleton" chain through a disjoint share of
    the transshipment nodes, and the chain's last node connects to one to
    three sinks.  The source's supply is planted along that chain,
    which makes the instance feasible; the sinks' demands are whatever the
    chains deliver.  A fraction of skeleton arcs gets the maximum cost, so
    the cheapest answer usually leaves the skeleton for the random arcs.
    The remaining arcs join random node pairs with costs 1..MAX_COST and
    either a random capacity or none (BIG).
    """
    assert sources + sinks < n
    total = supply_per_source * sources
    supply = _split(total, sources, rng)
    trans = np.arange(sources, n - sinks)
    sink_ids = np.arange(n - sinks, n)
    chains = np.array_split(rng.permutation(trans), sources)

    sk_t: list[int] = []
    sk_h: list[int] = []
    sk_f: list[int] = []
    for s, chain in enumerate(chains):
        path = [s] + chain.tolist()
        for u, v in zip(path[:-1], path[1:]):
            sk_t.append(u)
            sk_h.append(v)
            sk_f.append(int(supply[s]))
        # One sink by rotation (so every sink is reached when sources >=
        # sinks), plus up to two random others.
        first = int(sink_ids[s % sinks])
        others = rng.choice(
            sink_ids[sink_ids != first], size=int(rng.integers(0, 3)), replace=False
        )
        targets = np.concatenate(([first], others)).astype(np.int64)
        shares = _split(int(supply[s]), targets.size, rng)
        for t, share in zip(targets.tolist(), shares.tolist()):
            sk_t.append(path[-1])
            sk_h.append(t)
            sk_f.append(share)
    sk_t = np.array(sk_t, dtype=np.int64)
    sk_h = np.array(sk_h, dtype=np.int64)
    sk_f = np.array(sk_f, dtype=np.int64)
    nsk = sk_t.size

    rt, rh = _add_random_arcs(n, m - nsk, sk_t * n + sk_h, rng)
    tail = np.concatenate((sk_t, rt))
    head = np.concatenate((sk_h, rh))
    flow = np.concatenate((sk_f, np.zeros(rt.size, dtype=np.int64)))
    mm = tail.size

    cost = rng.integers(1, MAX_COST + 1, mm)
    hi = np.zeros(mm, dtype=bool)
    hi[:nsk] = rng.random(nsk) < hicost_frac
    cost[hi] = MAX_COST

    upper = rng.integers(cap_range[0], cap_range[1] + 1, mm)
    upper[rng.random(mm) < uncap_frac] = BIG
    # Skeleton arcs must be able to carry the planted flow.
    upper = np.maximum(upper, flow)

    return _finish(
        "netgen",
        n,
        tail,
        head,
        upper,
        cost,
        flow,
        rng,
        {"sources": sources, "sinks": sinks, "supply": total},
    )


# ---------------------------------------------------------------------------
# Grid
# ---------------------------------------------------------------------------

# 8-neighbourhood: the four axis directions plus the four diagonals, each
# arc present in both directions.  That gives about 8 arcs per node, the
# same density as the other families.
_GRID_STEPS = ((0, 1), (1, 0), (0, -1), (-1, 0), (1, 1), (1, -1), (-1, 1), (-1, -1))


def grid(
    rng: np.random.Generator,
    rows: int,
    cols: int,
    *,
    block: int,
    paths: int,
    amount_range=(10, 100),
    cap_range=(50, 500),
) -> Instance:
    """A rows x cols grid; supply in the top-left block, demand bottom-right.

    Feasibility comes from ``paths`` planted monotone (right/down/diagonal)
    lattice paths, each carrying a random amount from a random node of the
    supply block to a random node of the demand block; every arc's capacity
    is raised to at least the planted flow it carries.
    """
    n = rows * cols
    ids = np.arange(n).reshape(rows, cols)
    arc_of = np.full((n, len(_GRID_STEPS)), -1, dtype=np.int64)
    tails: list[np.ndarray] = []
    heads: list[np.ndarray] = []
    m = 0
    for d, (dr, dc) in enumerate(_GRID_STEPS):
        r0, r1 = max(0, -dr), rows - max(0, dr)
        c0, c1 = max(0, -dc), cols - max(0, dc)
        t = ids[r0:r1, c0:c1].ravel()
        h = ids[r0 + dr : r1 + dr, c0 + dc : c1 + dc].ravel()
        arc_of[t, d] = np.arange(m, m + t.size)
        tails.append(t)
        heads.append(h)
        m += t.size
    tail = np.concatenate(tails)
    head = np.concatenate(heads)

    flow = np.zeros(m, dtype=np.int64)
    right, down, diag = 0, 1, 4
    for _ in range(paths):
        r, c = int(rng.integers(0, block)), int(rng.integers(0, block))
        tr, tc = int(rng.integers(rows - block, rows)), int(rng.integers(cols - block, cols))
        amt = int(rng.integers(amount_range[0], amount_range[1] + 1))
        while r != tr or c != tc:
            options = []
            if c < tc:
                options.append(right)
            if r < tr:
                options.append(down)
            if r < tr and c < tc:
                options.append(diag)
            d = options[int(rng.integers(len(options)))]
            flow[arc_of[r * cols + c, d]] += amt
            dr, dc = _GRID_STEPS[d]
            r, c = r + dr, c + dc

    cost = rng.integers(1, MAX_COST + 1, m)
    upper = np.maximum(rng.integers(cap_range[0], cap_range[1] + 1, m), flow)
    return _finish(
        "grid",
        n,
        tail,
        head,
        upper,
        cost,
        flow,
        rng,
        {"rows": rows, "cols": cols, "block": block, "paths": paths},
    )


# ---------------------------------------------------------------------------
# Transportation
# ---------------------------------------------------------------------------


def transport(
    rng: np.random.Generator,
    n: int,
    m: int,
    *,
    sources: int,
    supply_range=(100, 1000),
    cost_range=(1, MAX_COST),
) -> Instance:
    """Bipartite sources -> sinks with a random subset of arcs.

    Supplies are random, and the same total is split at random over the
    sinks.  A north-west-corner plan over random orders of sources and
    sinks gives a feasible shipment on at most ``n - 1`` arcs; those arcs
    are always present, and the rest of the ``m`` arcs are random pairs.
    Capacities are random around the mean sink demand and never below the
    planted shipment, so they bind on some arcs but never cut feasibility.
    """
    sinks = n - sources
    supply = rng.integers(supply_range[0], supply_range[1] + 1, sources)
    total = int(supply.sum())
    assert total >= sinks
    need = _split(total, sinks, rng)

    # North-west corner rule on shuffled orders: a basic feasible shipment.
    src_order = rng.permutation(sources)
    snk_order = rng.permutation(sinks)
    s_left = supply[src_order].astype(np.int64).tolist()
    d_left = need[snk_order].tolist()
    pt, ph, pf = [], [], []
    i = j = 0
    while i < sources and j < sinks:
        q = min(s_left[i], d_left[j])
        pt.append(int(src_order[i]))
        ph.append(sources + int(snk_order[j]))
        pf.append(q)
        s_left[i] -= q
        d_left[j] -= q
        if s_left[i] == 0:
            i += 1
        if d_left[j] == 0:
            j += 1
    pt = np.array(pt, dtype=np.int64)
    ph = np.array(ph, dtype=np.int64)
    pf = np.array(pf, dtype=np.int64)

    rt, rh = _add_random_arcs(
        n,
        m - pt.size,
        pt * n + ph,
        rng,
        tails_from=np.arange(sources),
        heads_from=np.arange(sources, n),
    )
    tail = np.concatenate((pt, rt))
    head = np.concatenate((ph, rh))
    flow = np.concatenate((pf, np.zeros(rt.size, dtype=np.int64)))
    mm = tail.size

    cost = rng.integers(cost_range[0], cost_range[1] + 1, mm)
    mean_need = max(1, total // sinks)
    upper = np.maximum(rng.integers(mean_need // 2, 2 * mean_need + 1, mm), flow)
    return _finish(
        "transport",
        n,
        tail,
        head,
        upper,
        cost,
        flow,
        rng,
        {"sources": sources, "sinks": sinks, "supply": total},
    )


# ---------------------------------------------------------------------------
# Named families and sizes used by the benchmark scripts
# ---------------------------------------------------------------------------

SIZES = ("small", "large", "huge")
FAMILIES = ("netgen", "grid", "transport")


def make(family: str, size: str, rng: np.random.Generator) -> Instance:
    """The benchmark's standard instance: ~1k nodes / 8k arcs (small),
    ~4k nodes / 32k arcs (large) or ~16k nodes / 128k arcs (huge)."""
    scale = {"small": 1, "large": 4, "huge": 16}[size]
    if family == "netgen":
        return netgen(rng, 1000 * scale, 8000 * scale, sources=10 * scale, sinks=10 * scale)
    if family == "grid":
        side = 32 * {1: 1, 4: 2, 16: 4}[scale]
        return grid(rng, side, side, block=side // 8, paths=100 * scale)
    if family == "transport":
        return transport(rng, 1000 * scale, 8000 * scale, sources=250 * scale)
    raise ValueError(f"unknown family {family!r}")
