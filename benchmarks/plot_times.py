"""Solve time against arc count, per solver, as a log-log plot.

Times zelk_mcf's classic route, OR-Tools' SimpleMinCostFlow and NetworkX's
network_simplex side by side in this process on seeded netgen instances of
growing size (about 8 arcs per node), checks that the optimal costs agree,
writes the timings as JSON and draws them with matplotlib.

    python benchmarks/plot_times.py [--arcs 1000,2000,...] [--out benchmarks/solve_times.png]

A solver is dropped from the larger sizes once one of its runs exceeds
--limit seconds (default 20). Needs matplotlib, networkx and ortools
(``pip install ".[bench]"``).
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import instances  # noqa: E402
from bench_classic import run_nx, run_ortools, run_zelk  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
SOLVERS = {
    "zelk_mcf (classic)": lambda inst, repeats: run_zelk(inst, repeats, "classic")[:2],
    "OR-Tools": lambda inst, repeats: run_ortools(inst, repeats)[:2],
    "NetworkX": lambda inst, repeats: run_nx(inst, repeats, 2.0)[:2],
}


def measure(arc_counts: list[int], repeats: int, limit: float, seed: int) -> dict:
    rows = []
    dropped: set[str] = set()
    for m in arc_counts:
        n = max(16, m // 8)
        inst = instances.netgen(np.random.default_rng([seed, m]), n, m, sources=10, sinks=10)
        costs = {}
        for name, run in SOLVERS.items():
            if name in dropped:
                continue
            seconds, cost = run(inst, repeats)
            costs[name] = cost
            rows.append({"solver": name, "nodes": inst.n, "arcs": inst.m, "seconds": seconds})
            print(f"{name:<20} {inst.m:>8} arcs {seconds:>10.4f} s", flush=True)
            if seconds > limit:
                dropped.add(name)
        if len(set(costs.values())) != 1:
            sys.exit(f"optimal costs disagree at {inst.m} arcs: {costs}")
    return {
        "machine": f"{platform.processor() or platform.machine()}, {os.cpu_count()} CPUs",
        "seed": seed,
        "rows": rows,
    }


def plot(data: dict, out: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(6, 4), dpi=100)
    for name in SOLVERS:
        rows = [r for r in data["rows"] if r["solver"] == name]
        if rows:
            ax.loglog(
                [r["arcs"] for r in rows], [r["seconds"] for r in rows], marker="o", label=name
            )
    ax.set_xlabel("arcs (netgen instances, 8 arcs per node)")
    ax.set_ylabel("solve time (s, best of runs)")
    ax.set_title("Exact min-cost flow: solve time against size")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(out)
    print(f"wrote {out}")


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument(
        "--arcs",
        default="1000,2000,4000,8000,16000,32000,64000",
        help="comma-separated arc counts (default 1000,...,64000)",
    )
    parser.add_argument(
        "--repeats", type=int, default=3, help="runs per point, best kept (default 3)"
    )
    parser.add_argument(
        "--limit", type=float, default=20.0, help="drop a solver after a run this long (s)"
    )
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument(
        "--json", default=os.path.join(HERE, "solve_times.json"), help="timings file"
    )
    parser.add_argument("--out", default=os.path.join(HERE, "solve_times.png"), help="plot file")
    parser.add_argument("--plot-only", action="store_true", help="redraw from the timings file")
    args = parser.parse_args(argv)
    if args.plot_only:
        with open(args.json) as f:
            data = json.load(f)
    else:
        data = measure([int(a) for a in args.arcs.split(",")], args.repeats, args.limit, args.seed)
        with open(args.json, "w") as f:
            json.dump(data, f, indent=1)
            f.write("\n")
    plot(data, args.out)


if __name__ == "__main__":
    main()
