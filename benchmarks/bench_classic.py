#!/usr/bin/env python3
"""Time zelk_mcf's routes against OR-Tools, NetworkX and HiGHS.

For every requested family and size this generates one seeded instance,
solves it with

  * zelk_mcf on each requested route (``--routes``):
      classic  - the classic exact solver (use_ipm=False): successive
                 shortest paths up to 2,000 edges, cost scaling above,
      default  - min_cost_flow_edges with default options,
      ipm      - the interior-point route with the static oracle
                 (use_ipm=True, oracle_mode="fallback"),
  * the requested peers (``--peers``): ortools SimpleMinCostFlow,
    networkx.network_simplex and HiGHS (highspy, the LP on the node-arc
    incidence matrix),

checks that zelk's flow is feasible and that everyone reports the same
optimal cost (exiting non-zero if not), and prints a table of times and
ratios, and the growth exponent k of time ~ m^k from the smallest to the
largest size run.  Needs the peers installed:
``pip install networkx ortools highspy``.

What is timed, per solver (graph construction is kept outside wherever the
peer's API allows it):

  * zelk:     the solve call on ready int64 arrays, including its input
              validation and the returned flow array. Its standard-error
              lines (one per interior-point iteration) are captured, not
              printed, and counted.
  * NetworkX: the network_simplex call on a DiGraph built beforehand; that
              includes its own conversion of the graph to internal lists and
              building the returned flow dict, which the API does not let us
              separate.
  * OR-Tools: solve() on a SimpleMinCostFlow whose arcs and supplies were
              added beforehand.  A fresh object is built for each repeat so
              no run reuses state from the previous one.
  * HiGHS:    run() on a Highs object whose LP (columns = arcs, rows = node
              balances) was passed beforehand; a fresh object per repeat.

Each solver is run ``--repeats`` times (default 3) and the best time is
reported.  NetworkX is run once only when its first run exceeds
``--nx-single-run-after`` seconds (default 20); such cells carry a ``*``.
The garbage collector is paused inside timed regions, as timeit does.

With ``--peak-memory`` the classic route is also run once per instance in
a fresh interpreter that reports the growth of its resident set during the
solve (the peak after the call minus the resident set before it), next to
the size of the input arrays.

Usage:
    python benchmarks/bench_classic.py [--sizes small,large,huge]
        [--families netgen,grid,transport] [--routes classic,default,ipm]
        (default: --routes classic) [--peers ortools,networkx,highs]
        [--seed 1] [--repeats 3] [--peak-memory]
"""

from __future__ import annotations

import argparse
import gc
import io
import math
import os
import platform
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import instances  # noqa: E402


def fail(msg: str) -> None:
    print(f"\nFAILED: {msg}", file=sys.stderr, flush=True)
    sys.exit(1)


def timed(fn):
    """Run fn once with GC paused; return (seconds, result)."""
    gc.collect()
    gc.disable()
    try:
        t0 = time.perf_counter()
        out = fn()
        t1 = time.perf_counter()
    finally:
        gc.enable()
    return t1 - t0, out


# ---------------------------------------------------------------------------
# solvers
# ---------------------------------------------------------------------------

ROUTES = {
    "classic": {"use_ipm": False},
    "default": {},
    "ipm": {"use_ipm": True, "oracle_mode": "fallback"},
}


def run_zelk(inst, repeats, route):
    """Best time, optimal cost, the statistics of the last run and the
    number of interior-point iterations it printed."""
    import zelk_mcf

    args = (inst.n, inst.tail, inst.head, inst.lower, inst.upper, inst.cost, inst.demand)
    best, flow, stats, lines = float("inf"), None, None, 0
    for _ in range(repeats):
        captured = io.StringIO()
        saved, sys.stderr = sys.stderr, captured
        try:
            t, (flow, stats) = timed(
                lambda: zelk_mcf.min_cost_flow_edges_with_options(*args, **ROUTES[route])
            )
        finally:
            sys.stderr = saved
        lines = captured.getvalue().count("gap termination check")
        best = min(best, t)
    check_zelk_flow(inst, flow)
    return best, int(np.dot(inst.cost, flow)), stats, lines


def check_zelk_flow(inst, flow):
    flow = np.asarray(flow)
    if flow.dtype != np.int64 or flow.shape != (inst.m,):
        fail(
            f"{inst.name}: zelk returned {flow.dtype} array of shape {flow.shape}, "
            f"expected int64 of shape ({inst.m},)"
        )
    if np.any(flow < inst.lower) or np.any(flow > inst.upper):
        bad = int(np.flatnonzero((flow < inst.lower) | (flow > inst.upper))[0])
        fail(
            f"{inst.name}: zelk flow violates bounds on edge {bad}: "
            f"{flow[bad]} not in [{inst.lower[bad]}, {inst.upper[bad]}]"
        )
    net = np.zeros(inst.n, dtype=np.int64)
    np.add.at(net, inst.head, flow)
    np.subtract.at(net, inst.tail, flow)
    if not np.array_equal(net, inst.demand):
        bad = int(np.flatnonzero(net != inst.demand)[0])
        fail(
            f"{inst.name}: zelk flow misses demand at node {bad}: "
            f"net inflow {net[bad]}, demand {inst.demand[bad]}"
        )


def build_nx(inst):
    import networkx as nx

    g = nx.DiGraph()
    g.add_nodes_from((v, {"demand": int(d)}) for v, d in enumerate(inst.demand.tolist()))
    g.add_edges_from(
        (u, v, {"capacity": c, "weight": w})
        for u, v, c, w in zip(
            inst.tail.tolist(), inst.head.tolist(), inst.upper.tolist(), inst.cost.tolist()
        )
    )
    if g.number_of_edges() != inst.m:
        fail(f"{inst.name}: DiGraph merged parallel arcs ({g.number_of_edges()} != {inst.m})")
    return g


def run_nx(inst, repeats, single_after):
    import networkx as nx

    g = build_nx(inst)
    best, cost, runs = float("inf"), None, 0
    for _ in range(repeats):
        t, (cost, _flow) = timed(lambda: nx.network_simplex(g))
        best = min(best, t)
        runs += 1
        if t > single_after:
            break
    return best, int(cost), runs


def build_ortools(inst):
    from ortools.graph.python import min_cost_flow

    smcf = min_cost_flow.SimpleMinCostFlow()
    smcf.add_arcs_with_capacity_and_unit_cost(
        inst.tail.astype(np.int32), inst.head.astype(np.int32), inst.upper, inst.cost
    )
    # OR-Tools' supply is net outflow, the opposite sign of our demand.
    smcf.set_nodes_supplies(np.arange(inst.n, dtype=np.int32), -inst.demand)
    return smcf


def run_ortools(inst, repeats):
    best, cost = float("inf"), None
    for _ in range(repeats):
        smcf = build_ortools(inst)
        t, status = timed(smcf.solve)
        if status != smcf.OPTIMAL:
            fail(f"{inst.name}: OR-Tools status {status}, expected OPTIMAL")
        best = min(best, t)
        cost = int(smcf.optimal_cost())
    return best, cost, repeats


def build_highs(inst):
    import highspy

    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    lp = highspy.HighsLp()
    lp.num_col_ = inst.m
    lp.num_row_ = inst.n
    lp.col_cost_ = inst.cost.astype(np.float64)
    lp.col_lower_ = inst.lower.astype(np.float64)
    lp.col_upper_ = inst.upper.astype(np.float64)
    lp.row_lower_ = inst.demand.astype(np.float64)
    lp.row_upper_ = inst.demand.astype(np.float64)
    # Column i: -1 at its tail, +1 at its head (no self-loops here), rows sorted.
    lo = np.minimum(inst.tail, inst.head)
    hi = np.maximum(inst.tail, inst.head)
    sign_lo = np.where(inst.tail < inst.head, -1.0, 1.0)
    lp.a_matrix_.format_ = highspy.MatrixFormat.kColwise
    lp.a_matrix_.start_ = np.arange(0, 2 * inst.m + 1, 2, dtype=np.int32)
    lp.a_matrix_.index_ = np.column_stack((lo, hi)).ravel().astype(np.int32)
    lp.a_matrix_.value_ = np.column_stack((sign_lo, -sign_lo)).ravel()
    h.passModel(lp)
    return h


def run_highs(inst, repeats):
    import highspy

    best, cost = float("inf"), None
    for _ in range(repeats):
        h = build_highs(inst)
        t, _ = timed(h.run)
        if h.getModelStatus() != highspy.HighsModelStatus.kOptimal:
            fail(f"{inst.name}: HiGHS status {h.modelStatusToString(h.getModelStatus())}")
        best = min(best, t)
        cost = int(round(h.getInfo().objective_function_value))
    return best, cost, repeats


PEERS = {"ortools": run_ortools, "networkx": None, "highs": run_highs}


# ---------------------------------------------------------------------------
# peak memory of one classic solve, in a fresh interpreter
# ---------------------------------------------------------------------------

_MEMORY_PROBE = r"""
import sys, numpy as np, zelk_mcf
d = np.load(sys.argv[1])
args = [int(d["n"])] + [np.ascontiguousarray(d[k]) for k in
                        ("tail", "head", "lower", "upper", "cost", "demand")]
zelk_mcf.min_cost_flow_edges_with_options(*args, use_ipm=False)  # warm up imports
def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
before = status("VmRSS")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # reset the peak to the current resident set
zelk_mcf.min_cost_flow_edges_with_options(*args, use_ipm=False)
print(status("VmHWM") - before)
"""


def peak_memory(inst):
    """Resident-set growth (bytes) of one classic solve, or None if the
    kernel does not let the probe reset its peak."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "inst.npz")
        np.savez(
            path,
            n=inst.n,
            tail=inst.tail,
            head=inst.head,
            lower=inst.lower,
            upper=inst.upper,
            cost=inst.cost,
            demand=inst.demand,
        )
        out = subprocess.run(
            [sys.executable, "-c", _MEMORY_PROBE, path], capture_output=True, text=True
        )
    if out.returncode != 0:
        return None
    return int(out.stdout.strip())


# ---------------------------------------------------------------------------
# driver
# ---------------------------------------------------------------------------


def parse_list(text, allowed, what):
    items = [s.strip() for s in text.split(",") if s.strip()]
    for s in items:
        if s not in allowed:
            raise SystemExit(f"unknown {what} {s!r}; choose from {', '.join(allowed)}")
    return items


def versions():
    out = [f"python {platform.python_version()}", f"numpy {np.__version__}"]
    for mod in ("zelk_mcf", "networkx", "ortools", "highspy"):
        try:
            m = __import__(mod)
            # HiGHS prints its banner on the first object; better here than mid-table.
            version = m.Highs().version() if mod == "highspy" else getattr(m, "__version__", "?")
            out.append(f"{mod} {version}")
        except ImportError as e:
            out.append(f"{mod} missing ({e})")
    return ", ".join(out)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument(
        "--sizes", default="small,large,huge", help="comma list from: " + ",".join(instances.SIZES)
    )
    ap.add_argument(
        "--families",
        default="netgen,grid,transport",
        help="comma list from: " + ",".join(instances.FAMILIES),
    )
    ap.add_argument(
        "--routes",
        default="classic",
        help="comma list from: " + ",".join(ROUTES) + " (the interior-point "
        "routes take minutes or more at the large size)",
    )
    ap.add_argument(
        "--peers", default="ortools,networkx,highs", help="comma list from: " + ",".join(PEERS)
    )
    ap.add_argument(
        "--peak-memory",
        action="store_true",
        help="also measure the resident-set growth of one classic solve",
    )
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--repeats", type=int, default=3, help="runs per solver; best is kept")
    ap.add_argument(
        "--nx-single-run-after",
        type=float,
        default=20.0,
        metavar="SEC",
        help="keep a single NetworkX run when it takes longer than this",
    )
    args = ap.parse_args(argv)
    sizes = parse_list(args.sizes, instances.SIZES, "size")
    families = parse_list(args.families, instances.FAMILIES, "family")
    routes = parse_list(args.routes, list(ROUTES), "route")
    peers = [p for p in PEERS if p in parse_list(args.peers, list(PEERS), "peer")]
    if not peers and not routes:
        raise SystemExit("nothing to run")

    print(f"# {versions()}")
    print(
        f"# {platform.machine()}, {os.cpu_count()} cpus, seed {args.seed}, best of {args.repeats}",
        flush=True,
    )

    rows = []
    for fi, fam in enumerate(instances.FAMILIES):
        if fam not in families:
            continue
        for si, size in enumerate(instances.SIZES):
            if size not in sizes:
                continue
            # Seed per (family, size) so any subset reproduces the same instances.
            rng = np.random.default_rng([args.seed, fi, si])
            inst = instances.make(fam, size, rng)
            print(
                f"{fam:<10} {size:<6} n={inst.n} m={inst.m} supply={inst.total_supply} ...",
                end="",
                flush=True,
            )

            peer_times, costs = {}, {}
            for peer in peers:
                if peer == "networkx":
                    t, c, runs = run_nx(inst, args.repeats, args.nx_single_run_after)
                else:
                    t, c, runs = PEERS[peer](inst, args.repeats)
                peer_times[peer] = (t, runs)
                costs[peer] = c
                print(f" {peer} {t * 1e3:.1f} ms,", end="", flush=True)
            times = {}
            for route in routes:
                tz, cz, stats, iters = run_zelk(inst, args.repeats, route)
                print(
                    f" {route} {tz * 1e3:.1f} ms ({stats['solver_mode']}, {iters} ipm iterations),",
                    end="",
                    flush=True,
                )
                costs[f"zelk {route}"] = cz
                times[route] = (tz, stats["solver_mode"], iters)
            if len(set(costs.values())) > 1:
                fail(f"{fam}/{size}: optimal costs differ: {costs}")
            memory = None
            if args.peak_memory:
                memory = peak_memory(inst)
                shown = "n/a" if memory is None else f"{memory / 2**20:.1f} MiB"
                print(f" peak memory {shown}", end="", flush=True)
            print(flush=True)
            input_bytes = sum(
                a.nbytes
                for a in (inst.tail, inst.head, inst.lower, inst.upper, inst.cost, inst.demand)
            )
            rows.append(
                (
                    fam,
                    size,
                    inst.m,
                    f"{inst.n}/{inst.m}",
                    times,
                    peer_times,
                    next(iter(costs.values())),
                    memory,
                    input_bytes,
                )
            )

    header = ["family", "n/m"]
    header += [f"{route} ms" for route in routes]
    header += [f"{peer} ms" for peer in peers]
    for route in routes:
        header += [f"{peer}/{route}" for peer in peers]
    header += ["optimal cost"]
    table = [tuple(header)]
    any_single = False
    for fam, _size, _m, nm, times, peer_times, c, _mem, _inp in rows:
        row = [fam, nm]
        row += [f"{times[r][0] * 1e3:.2f}" for r in routes]
        for peer in peers:
            t, runs = peer_times[peer]
            mark = "*" if peer == "networkx" and runs == 1 and args.repeats > 1 else ""
            any_single |= bool(mark)
            row += [f"{t * 1e3:.2f}{mark}"]
        for r in routes:
            row += [f"{peer_times[p][0] / times[r][0]:.2f}x" for p in peers]
        row += [str(c)]
        table.append(tuple(row))
    widths = [max(len(r[i]) for r in table) for i in range(len(header))]
    print()
    for k, r in enumerate(table):
        print(
            "  ".join(
                cell.ljust(w) if i < 2 else cell.rjust(w)
                for i, (cell, w) in enumerate(zip(r, widths))
            ).rstrip()
        )
        if k == 0:
            print("  ".join("-" * w for w in widths))

    # Growth exponent k in time ~ m^k, smallest to largest size per family.
    growth = []
    for fam in families:
        fam_rows = sorted((r for r in rows if r[0] == fam), key=lambda r: r[2])
        if len(fam_rows) < 2:
            continue
        a, b = fam_rows[0], fam_rows[-1]
        ratio_m = math.log(b[2] / a[2])
        parts = [
            f"{route} {math.log(b[4][route][0] / a[4][route][0]) / ratio_m:.2f}" for route in routes
        ]
        parts += [
            f"{peer} {math.log(b[5][peer][0] / a[5][peer][0]) / ratio_m:.2f}" for peer in peers
        ]
        growth.append(f"  {fam:<10} m {a[2]} -> {b[2]}: " + ", ".join(parts))
    if growth:
        print()
        print("growth exponent k (time ~ m^k):")
        print("\n".join(growth))
    if args.peak_memory:
        print()
        print("classic solve, resident-set growth vs input arrays:")
        for fam, _size, _m, nm, _t, _p, _c, mem, inp in rows:
            shown = "n/a" if mem is None else f"{mem / 2**20:.1f} MiB"
            print(f"  {fam:<10} {nm:<13} {shown} (input {inp / 2**20:.1f} MiB)")
    if any(r != "classic" for r in routes):
        print()
        print("solver mode and interior-point iterations (all probes) per route:")
        for fam, _size, _m, nm, times, *_ in rows:
            print(
                f"  {fam:<10} {nm:<11} "
                + ", ".join(f"{r}: {times[r][1]} / {times[r][2]}" for r in routes)
            )
    print()
    print(
        "Every solver and route agrees on every optimal cost; zelk flows checked for "
        "bounds and demands."
    )
    print("Ratios > 1 mean zelk is faster.")
    if any_single:
        print(f"* NetworkX run once (first run took over {args.nx_single_run_after:g} s).")
    return 0


if __name__ == "__main__":
    sys.exit(main())
