#!/usr/bin/env python3
"""Fails when a source file includes a header of a higher layer, or when
units (a header with its source file) include each other in a cycle.

Dependencies point one way: bindings -> driver -> scaling -> finalisation ->
ipm -> min_ratio -> spanner -> trees -> rounding -> graph/numerics/certificate ->
base.
A file may include its own layer or any lower one. Usage:
    python3 scripts/check_layers.py
"""

import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# Layer of each folder under src/, and of the top-level files by name.
FOLDERS = {
    "numerics": 1,
    "graph": 1,
    "certificate": 1,
    "rounding": 2,
    "trees": 3,
    "spanner": 4,
    "min_ratio": 5,
    "ipm": 6,
    "scaling": 8,
}
TOP = {
    "checked_math": 0,
    "index_types": 0,
    "mcf_error": 0,
    "mcf_problem": 0,
    "solve_context": 0,
    "splitmix64": 0,
    "u64_hash": 0,
    "zelk_assert": 0,
    "worker_pool": 0,
    "mcf_options": 6,
    "ipm_summary": 7,
    "mcf_solution": 7,
    "mcf_finalize": 7,
    "mcf_driver": 9,
}
BINDINGS = 10

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def layer_of(path: Path) -> int:
    rel = path.relative_to(ROOT)
    if rel.parts[0] == "bindings":
        return BINDINGS
    return layer_of_header(Path(*rel.parts[1:]))


def layer_of_header(rel: Path) -> int:
    if len(rel.parts) == 1:
        name = rel.stem
        if name not in TOP:
            raise SystemExit(f"check_layers: no layer for src/{rel}; add it to TOP")
        return TOP[name]
    folder = rel.parts[0]
    if folder not in FOLDERS:
        raise SystemExit(f"check_layers: no layer for src/{folder}/; add it to FOLDERS")
    return FOLDERS[folder]


def unit_cycles(sources) -> list[str]:
    """Include cycles between units (foo.hpp and foo.cpp are one unit)."""
    unit = lambda p: str(p.relative_to(ROOT).with_suffix(""))  # noqa: E731
    edges: dict[str, set[str]] = {}
    for path in sources:
        own = unit(path)
        for header in INCLUDE.findall(path.read_text()):
            target = ROOT / "src" / header
            if target.exists() and unit(target) != own:
                edges.setdefault(own, set()).add(unit(target))
    found, state = [], {}

    def visit(u, stack):
        state[u] = 1
        stack.append(u)
        for v in sorted(edges.get(u, ())):
            if state.get(v) == 1:
                found.append("include cycle: " + " -> ".join(stack[stack.index(v) :] + [v]))
            elif v not in state:
                visit(v, stack)
        stack.pop()
        state[u] = 2

    for u in sorted(edges):
        if u not in state:
            visit(u, [])
    return found


def main() -> int:
    sources = sorted(
        p
        for d in ("src", "bindings")
        for p in (ROOT / d).rglob("*")
        if p.suffix in (".hpp", ".cpp")
    )
    failures = []
    for path in sources:
        own = layer_of(path)
        for header in INCLUDE.findall(path.read_text()):
            if not (ROOT / "src" / header).exists():
                continue  # a system or third-party header
            theirs = layer_of_header(Path(header))
            if theirs > own:
                failures.append(
                    f"{path.relative_to(ROOT)} includes {header} (layer {theirs} > {own})"
                )
    failures += unit_cycles(sources)
    for line in failures:
        print(line)
    if failures:
        print(f"{len(failures)} include(s) point up a layer", file=sys.stderr)
        return 1
    print(f"layers ok: {len(sources)} files")
    return 0


if __name__ == "__main__":
    sys.exit(main())
