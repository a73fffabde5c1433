"""Interior-point results recorded once and compared bit for bit.

A fixed, seeded set of instances (13 to 400 edges: random ones with negative
costs and lower bounds, transshipment networks, grids, rings) runs through
the interior-point entries in every oracle mode. Each call's integer flow,
statistics (timings aside), standard-error lines and, for `run_ipm_edges`,
the fractional flow's bytes must equal the recorded ones: however the
iterations compute their sums, searches and trees, the answers stay the
same to the last bit.

Recorded data: data/golden_ipm.json. To record it again (only when a result
is meant to change), run this file: `python tests/python/test_golden_ipm.py`.
"""

import hashlib
import json
import pathlib
import sys

import numpy as np
import pytest
from test_routes import ring_instance
from zelk_mcf import (
    min_cost_flow_edges_with_options,
    min_cost_flow_edges_with_scaling,
    run_ipm_edges,
)

DATA = pathlib.Path(__file__).with_name("data") / "golden_ipm.json"
TIMING_KEYS = {"cycle_scoring_ms", "barrier_compute_ms", "spanner_update_ms"}


def i64(x):
    return np.ascontiguousarray(x, dtype=np.int64)


def random_instance(seed, n, m):
    """Negative costs, lower bounds, parallel edges; demands from a witness flow."""
    rng = np.random.default_rng(seed)
    tail = rng.integers(0, n, m)
    head = (tail + rng.integers(1, n, m)) % n
    lower = np.where(rng.random(m) < 0.3, rng.integers(-3, 4, m), 0)
    upper = lower + rng.integers(1, 9, m)
    cost = rng.integers(-5, 20, m)
    witness = rng.integers(lower, upper + 1)
    demand = np.bincount(head, witness, n) - np.bincount(tail, witness, n)
    return (n, i64(tail), i64(head), i64(lower), i64(upper), i64(cost), i64(demand))


def netgen_instance(seed, n, m, sources=2, sinks=2):
    """Sources feed chains of transshipment nodes that end in sinks, plus random arcs."""
    rng = np.random.default_rng(seed)
    middle = np.arange(sources, n - sinks)
    rng.shuffle(middle)
    tail, head, flow = [], [], []
    for s, chunk in enumerate(np.array_split(middle, sources)):
        path = [s, *chunk.tolist(), n - sinks + (s % sinks)]
        amount = int(rng.integers(5, 40))
        for u, v in zip(path[:-1], path[1:]):
            tail.append(u)
            head.append(v)
            flow.append(amount)
    extra = m - len(tail)
    t = rng.integers(0, n, extra)
    h = (t + rng.integers(1, n, extra)) % n
    tail, head = np.concatenate([tail, t]), np.concatenate([head, h])
    flow = np.concatenate([flow, np.zeros(extra, dtype=np.int64)])
    upper = np.maximum(flow, rng.integers(10, 60, m))
    upper = np.where(rng.random(m) < 0.3, 10**6, upper)
    cost = rng.integers(1, 100, m)
    perm = rng.permutation(m)
    tail, head, upper, cost, flow = (a[perm] for a in (tail, head, upper, cost, flow))
    demand = np.bincount(head, flow, n) - np.bincount(tail, flow, n)
    return (n, i64(tail), i64(head), i64(np.zeros(m)), i64(upper), i64(cost), i64(demand))


def grid_instance(seed, rows, cols):
    """Right and down arcs with some diagonals; supply top-left, demand bottom-right."""
    rng = np.random.default_rng(seed)
    n = rows * cols
    tail, head = [], []
    for r in range(rows):
        for c in range(cols):
            v = r * cols + c
            if c + 1 < cols:
                tail.append(v)
                head.append(v + 1)
            if r + 1 < rows:
                tail.append(v)
                head.append(v + cols)
            if r + 1 < rows and c + 1 < cols and rng.random() < 0.5:
                tail.append(v)
                head.append(v + cols + 1)
    m = len(tail)
    demand = np.zeros(n, dtype=np.int64)
    amount = int(rng.integers(10, 40))
    demand[0], demand[n - 1] = -amount, amount
    return (
        n,
        i64(tail),
        i64(head),
        i64(np.zeros(m)),
        i64(rng.integers(20, 80, m)),
        i64(rng.integers(1, 30, m)),
        demand,
    )


INSTANCES = {
    "random13": lambda: random_instance(1, 6, 13),
    "random24": lambda: random_instance(2, 9, 24),
    # Its interior-point start fails, so the route hands it to the classic solver.
    "random40": lambda: random_instance(3, 14, 40),
    "random60": lambda: random_instance(2, 20, 60),
    "random130": lambda: random_instance(5, 35, 130),
    "random250": lambda: random_instance(1, 60, 250),
    "random400": lambda: random_instance(1, 90, 400),
    "random400b": lambda: random_instance(4, 120, 400),
    "netgen40": lambda: netgen_instance(11, 12, 40),
    "netgen150": lambda: netgen_instance(12, 40, 150),
    "netgen400": lambda: netgen_instance(13, 80, 400, sources=3, sinks=3),
    "grid4x4": lambda: grid_instance(21, 4, 4),
    "grid6x8": lambda: grid_instance(22, 6, 8),
    "grid10x12": lambda: grid_instance(23, 10, 12),
    "ring30": lambda: ring_instance(n=14, extra=16, seed=3),
    "ring36": lambda: ring_instance(n=16, extra=20, seed=5),
    "ring120": lambda: ring_instance(n=40, extra=80, seed=8),
}
MODES = ("fallback", "dynamic", "hybrid")
# Uncapped on the smallest instances, a cap on iterations elsewhere keeps the test quick.
UNCAPPED = {"random13", "random24", "random40", "netgen40", "grid4x4", "ring30", "ring36"}


def cases():
    out = []
    for name in INSTANCES:
        for mode in MODES:
            kwargs = {"oracle_mode": mode}
            if name not in UNCAPPED:
                kwargs["max_iters"] = 40 if "400" in name else 120
            out.append((f"{name}-{mode}", "options", name, kwargs))
    for name in ("ring30", "random60", "grid6x8"):
        for mode in ("dynamic", "hybrid"):
            out.append(
                (
                    f"{name}-{mode}-full_dynamic",
                    "options",
                    name,
                    {"oracle_mode": mode, "strategy": "full_dynamic", "max_iters": 150},
                )
            )
    out.append(
        (
            "ring36-hybrid-rebuild7",
            "options",
            "ring36",
            {"oracle_mode": "hybrid", "rebuild_every": 7},
        )
    )
    for name, mode in (
        ("random13", "fallback"),
        ("ring30", "dynamic"),
        ("ring36", "hybrid"),
        ("netgen150", "hybrid"),
        ("grid6x8", "dynamic"),
    ):
        out.append(
            (
                f"fractional-{name}-{mode}",
                "fractional",
                name,
                {"oracle_mode": mode, "max_iters": 100},
            )
        )
    out.append(("scaling-random60", "scaling", "random60", {"max_iters": 100}))
    out.append(("scaling-ring30-dynamic", "scaling", "ring30", {"oracle_mode": "dynamic"}))
    return out


CASES = cases()


def digest(data):
    return hashlib.sha256(data).hexdigest()


def run_case(entry, name, kwargs, read_stderr):
    inst = INSTANCES[name]()
    read_stderr()
    try:
        if entry == "options":
            flow, stats = min_cost_flow_edges_with_options(*inst, use_ipm=True, **kwargs)
        elif entry == "scaling":
            flow, stats = min_cost_flow_edges_with_scaling(*inst, **kwargs)
        else:
            flow, stats = run_ipm_edges(*inst, **kwargs)
    except (RuntimeError, ValueError) as error:
        flow, stats = None, {"error": f"{type(error).__name__}: {error}"}
    lines = read_stderr().splitlines()
    record = {
        "stats": [[k, v] for k, v in stats.items() if k not in TIMING_KEYS],
        "stderr_lines": len(lines),
        "stderr_sha256": digest("\n".join(lines).encode()),
    }
    if flow is not None and flow.dtype == np.float64:
        record["fractional_sha256"] = digest(flow.tobytes())
    elif flow is not None:
        record["flow"] = flow.tolist()
    # A JSON round trip keeps every float exactly and makes NaN comparable as text.
    return json.loads(json.dumps(record))


@pytest.fixture(scope="module")
def golden():
    return json.loads(DATA.read_text())


@pytest.mark.parametrize("case_id, entry, name, kwargs", CASES, ids=[c[0] for c in CASES])
def test_results_equal_the_recorded_ones(golden, capfd, case_id, entry, name, kwargs):
    actual = run_case(entry, name, kwargs, lambda: capfd.readouterr().err)
    assert json.dumps(actual) == json.dumps(golden[case_id]), case_id


def record():
    import os
    import tempfile

    # Standard error is written from C++, so capture it at the file descriptor.
    saved = os.dup(2)
    with tempfile.TemporaryFile(mode="w+b") as sink:
        os.dup2(sink.fileno(), 2)

        def read_stderr():
            sys.stderr.flush()
            sink.seek(0)
            text = sink.read().decode()
            sink.seek(0)
            sink.truncate()
            return text

        try:
            data = {
                case_id: run_case(entry, name, kwargs, read_stderr)
                for case_id, entry, name, kwargs in CASES
            }
        finally:
            os.dup2(saved, 2)
    DATA.parent.mkdir(exist_ok=True)
    DATA.write_text(json.dumps(data, indent=None, separators=(",", ":")) + "\n")


if __name__ == "__main__":
    record()
