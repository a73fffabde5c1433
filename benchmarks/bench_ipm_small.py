"""End-to-end time of the interior-point route on small instances.

Times ``min_cost_flow_edges_with_options(..., use_ipm=True)`` in each oracle
mode (deterministic, the default) on seeded instances of 13 to 400 edges:
random ones with negative costs and lower bounds, transshipment networks
and grids (the generators of tests/python/test_golden_ipm.py), and reports
the median of the repetitions per instance and the sum per mode, next to
the classic route on the same instances. Times are the process's CPU time
(deterministic solves run on one thread), which a machine shared with
other jobs disturbs far less than wall-clock time.

    python benchmarks/bench_ipm_small.py [--repeats 5]

Run it twice with different builds on the path (PYTHONPATH=...) to compare
them; no result is checked here (the golden test does that).
"""

from __future__ import annotations

import argparse
import os
import pathlib
import statistics
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "python"))

import zelk_mcf  # noqa: E402
from test_golden_ipm import grid_instance, netgen_instance, random_instance  # noqa: E402

INSTANCES = [
    ("random13", lambda: random_instance(1, 6, 13)),
    ("random60", lambda: random_instance(2, 20, 60)),
    ("random130", lambda: random_instance(5, 35, 130)),
    ("random250", lambda: random_instance(1, 60, 250)),
    ("random400", lambda: random_instance(1, 90, 400)),
    ("netgen40", lambda: netgen_instance(11, 12, 40)),
    ("netgen150", lambda: netgen_instance(12, 40, 150)),
    ("netgen400", lambda: netgen_instance(13, 80, 400, sources=3, sinks=3)),
    ("grid4x4", lambda: grid_instance(21, 4, 4)),
    ("grid10x12", lambda: grid_instance(23, 10, 12)),
    ("grid14x14", lambda: grid_instance(24, 14, 14)),
]


def timed(call, repeats):
    times = []
    for _ in range(repeats):
        start = time.process_time()
        try:
            call()
        except RuntimeError:
            pass
        times.append(time.process_time() - start)
    return statistics.median(times) * 1e3


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    solve = zelk_mcf.min_cost_flow_edges_with_options
    # The interior-point route reports gap lines on standard error; keep the table readable.
    devnull = os.open(os.devnull, os.O_WRONLY)
    saved = os.dup(2)
    modes = ("fallback", "dynamic", "hybrid")
    rows, totals = [], dict.fromkeys(modes + ("classic",), 0.0)
    try:
        os.dup2(devnull, 2)
        for name, make in INSTANCES:
            inst = make()
            row = [name, len(inst[1])]
            for mode in modes:
                ms = timed(
                    lambda i=inst, m=mode: solve(*i, use_ipm=True, oracle_mode=m), args.repeats
                )
                totals[mode] += ms
                row.append(ms)
            ms = timed(lambda i=inst: solve(*i, use_ipm=False), args.repeats)
            totals["classic"] += ms
            row.append(ms)
            rows.append(row)
    finally:
        os.dup2(saved, 2)
    print(f"zelk_mcf from {pathlib.Path(zelk_mcf.__file__).parent}")
    print(
        f"{'instance':<11} {'m':>4} " + " ".join(f"{m + ' ms':>12}" for m in modes + ("classic",))
    )
    for name, m, *ms in rows:
        print(f"{name:<11} {m:>4} " + " ".join(f"{x:>12.2f}" for x in ms))
    print(f"{'total':<16} " + " ".join(f"{totals[m]:>12.2f}" for m in modes + ("classic",)))


if __name__ == "__main__":
    main()
