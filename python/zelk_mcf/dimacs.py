"""DIMACS minimum-cost-flow files: problems and solutions.

Problem files::

    c a comment
    p min N M          one problem line, before any node or arc line
    n ID SUPPLY        optional, at most once per node; SUPPLY > 0 is a source
    a U V LOW CAP COST exactly M arc lines

Node ids run from 1 to N. A node's supply is our demand negated
(``demand[ID - 1] = -SUPPLY``). Solution files::

    s COST
    f U V FLOW         one line per arc, in arc order

Every malformed line raises ``DimacsError`` (a ``ValueError``) carrying the
line number; nothing is skipped silently. Blank lines and ``c`` lines are
ignored. Values must be decimal integers within 64 bits (ids within 1..N).
"""

from __future__ import annotations

import io
import os
import re
from collections.abc import Iterator
from contextlib import contextmanager
from typing import IO, Any

import numpy as np

from ._problem import Problem, as_int64

_INT = re.compile(rb"-?[0-9]+\Z")
_I64_MIN, _I64_MAX = -(1 << 63), (1 << 63) - 1
_CHUNK = 1 << 22  # bytes of lines handled per vectorised batch
# Bytes an all-arc batch may contain on its fast path.
_ARC_BYTES = b"a-0123456789 \t\r\n"

Source = str | os.PathLike[str] | IO[bytes] | IO[str]


class DimacsError(ValueError):
    """A malformed DIMACS file; ``line`` is the 1-based line number (0: whole file)."""

    def __init__(self, line: int, message: str) -> None:
        super().__init__(f"line {line}: {message}" if line else message)
        self.line = line


@contextmanager
def _open_binary(source: Any, mode: str) -> Iterator[IO[bytes]]:
    if isinstance(source, (str, os.PathLike)):
        with open(source, mode + "b") as f:
            yield f
    elif isinstance(source, io.TextIOBase) or "b" not in getattr(source, "mode", "b"):
        if mode == "r":
            yield getattr(source, "buffer", None) or io.BytesIO(source.read().encode())
        else:
            yield _TextSink(source)  # type: ignore[misc]
    else:
        yield source


class _TextSink:
    def __init__(self, target: IO[str]) -> None:
        self.target = target

    def write(self, data: bytes) -> int:
        return self.target.write(data.decode())


def _int(token: bytes, line: int, what: str) -> int:
    if not _INT.match(token):
        raise DimacsError(
            line, f"{what} must be an integer, got {token.decode(errors='replace')!r}"
        )
    value = int(token)
    if not _I64_MIN <= value <= _I64_MAX:
        raise DimacsError(line, f"{what} {value} is beyond the 64-bit range")
    return value


class _Reader:
    def __init__(self) -> None:
        self.n = -1
        self.m = -1
        self.problem_line = 0
        self.supply: dict[int, tuple[int, int]] = {}  # node -> (supply, line)
        self.arc_blocks: list[np.ndarray] = []
        self.arc_lines: list[np.ndarray] = []  # line number of each arc, per block
        self.arcs = 0
        self.last_line = 0

    def need_problem(self, line: int, kind: str) -> None:
        if self.problem_line == 0:
            raise DimacsError(line, f"{kind} line before the problem line 'p min N M'")

    def other_line(self, parts: list[bytes], line: int) -> None:
        kind = parts[0]
        if kind == b"c":
            return
        if kind == b"p":
            if self.problem_line:
                raise DimacsError(
                    line, f"second problem line (the first is on line {self.problem_line})"
                )
            if len(parts) != 4 or parts[1] != b"min":
                raise DimacsError(line, "the problem line must read 'p min N M'")
            n = _int(parts[2], line, "node count")
            m = _int(parts[3], line, "arc count")
            if not 0 <= n <= 0xFFFFFFFF:
                raise DimacsError(line, f"node count {n} must be between 0 and 4294967295")
            if m < 0:
                raise DimacsError(line, f"arc count {m} must not be negative")
            self.n, self.m, self.problem_line = n, m, line
            return
        if kind == b"n":
            self.need_problem(line, "node")
            if len(parts) != 3:
                raise DimacsError(line, f"a node line has 3 fields 'n ID SUPPLY', got {len(parts)}")
            node = self.node_id(parts[1], line, "node id")
            if node in self.supply:
                raise DimacsError(
                    line, f"node {node} already listed on line {self.supply[node][1]}"
                )
            self.supply[node] = (_int(parts[2], line, "supply"), line)
            return
        if kind == b"a":
            self.arc_line(parts, line)
            return
        raise DimacsError(
            line, f"unknown line kind {kind.decode(errors='replace')!r} (expected c, p, n or a)"
        )

    def node_id(self, token: bytes, line: int, what: str) -> int:
        value = _int(token, line, what)
        if not 1 <= value <= self.n:
            raise DimacsError(line, f"{what} {value} is outside 1..{self.n}")
        return value

    def arc_line(self, parts: list[bytes], line: int) -> None:
        self.need_problem(line, "arc")
        if len(parts) != 6:
            raise DimacsError(
                line, f"an arc line has 6 fields 'a U V LOW CAP COST', got {len(parts)}"
            )
        if self.arcs >= self.m:
            raise DimacsError(line, f"more arc lines than the {self.m} declared")
        u = self.node_id(parts[1], line, "tail id")
        v = self.node_id(parts[2], line, "head id")
        low = _int(parts[3], line, "lower bound")
        cap = _int(parts[4], line, "capacity")
        cost = _int(parts[5], line, "cost")
        if low > cap:
            raise DimacsError(line, f"lower bound {low} exceeds capacity {cap}")
        self.add_arcs(np.array([[u, v, low, cap, cost]], dtype=np.int64), np.array([line]))

    def add_arcs(self, values: np.ndarray, lines: np.ndarray) -> None:
        self.arc_blocks.append(values)
        self.arc_lines.append(lines)
        self.arcs += len(values)

    def batch(self, chunk: list[bytes], first_line: int) -> None:
        """One batch of lines: arc lines on a vectorised path, the rest one by one."""
        arcs: list[bytes] = []
        arc_numbers: list[int] = []
        for k, raw in enumerate(chunk):
            if raw[:1] == b"a" and self.problem_line:
                arcs.append(raw)
                arc_numbers.append(first_line + k)
                continue
            if arcs:
                self.arc_batch(arcs, arc_numbers)
                arcs, arc_numbers = [], []
            parts = raw.split()
            if parts:
                self.other_line(parts, first_line + k)
        if arcs:
            self.arc_batch(arcs, arc_numbers)

    def arc_batch(self, arcs: list[bytes], numbers: list[int]) -> None:
        joined = b" ".join(arcs)
        tokens = joined.split()
        fast = (
            len(tokens) == 6 * len(arcs)
            and not joined.translate(None, _ARC_BYTES)
            and tokens[0::6].count(b"a") == len(arcs)
            and self.arcs + len(arcs) <= self.m
        )
        values = None
        if fast:
            del tokens[0::6]
            try:
                values = np.array(list(map(int, tokens)), dtype=np.int64).reshape(-1, 5)
            except (ValueError, OverflowError):
                values = None
        if values is not None:
            ends = values[:, :2]
            lines = np.asarray(numbers, dtype=np.int64)
            bad = np.flatnonzero(
                ((ends < 1) | (ends > self.n)).any(axis=1) | (values[:, 2] > values[:, 3])
            )
            if bad.size == 0:
                self.add_arcs(values, lines)
                return
        # Slow path: the first faulty line raises with its own message.
        for raw, line in zip(arcs, numbers):
            self.other_line(raw.split(), line)

    def problem(self) -> Problem:
        if self.problem_line == 0:
            raise DimacsError(self.last_line, "no problem line 'p min N M'")
        if self.arcs != self.m:
            raise DimacsError(
                self.last_line, f"{self.arcs} arc lines, the problem line declares {self.m}"
            )
        values = (
            np.concatenate(self.arc_blocks) if self.arc_blocks else np.zeros((0, 5), dtype=np.int64)
        )
        demand = np.zeros(self.n, dtype=np.int64)
        total = 0
        for node, (supply, line) in self.supply.items():
            if supply == _I64_MIN:
                raise DimacsError(line, f"supply {supply} cannot be negated within 64 bits")
            demand[node - 1] = -supply
            total += supply
        if total != 0:
            raise DimacsError(self.problem_line, f"supplies sum to {total}, they must sum to zero")
        return Problem(
            values[:, 0] - 1,
            values[:, 1] - 1,
            values[:, 3],
            values[:, 4],
            demand,
            lower=values[:, 2],
        )


def read_dimacs(source: Source) -> Problem:
    """Read a DIMACS min-cost-flow problem from a path or an open file (text or binary).

    The file is read in batches of about 4 MiB, arc lines converted a batch
    at a time. Raises ``DimacsError`` with the line number of the first
    fault (wrong field counts, ids out of range, non-integers, values beyond
    64 bits, a lower bound above its capacity, unknown line kinds, a missing
    or repeated problem line, a wrong number of arc lines, supplies that do
    not sum to zero).
    """
    reader = _Reader()
    line = 1
    with _open_binary(source, "r") as f:
        while True:
            chunk = f.readlines(_CHUNK)
            if not chunk:
                break
            reader.batch(chunk, line)
            line += len(chunk)
    reader.last_line = line - 1
    return reader.problem()


def _write_lines(dest: Any, header: bytes, rows: np.ndarray, prefix: bytes) -> None:
    """Writes ``prefix`` + the integers of each row, in batches."""
    with _open_binary(dest, "w") as f:
        f.write(header)
        width = rows.shape[1] if rows.ndim == 2 else 0
        fmt = prefix + b" ".join([b"%d"] * width) + b"\n"
        for start in range(0, len(rows), 1 << 16):
            block = rows[start : start + (1 << 16)]
            f.write(b"".join(fmt % tuple(r) for r in block.tolist()))


def write_dimacs(problem: Problem, dest: Any, comment: str | None = None) -> None:
    """Write ``problem`` in DIMACS form to a path or an open file.

    Node lines are written for the nodes with non-zero demand only. A demand
    of -2**63 is refused (``ValueError``): its supply does not fit in 64 bits.
    """
    if problem.n and int(problem.demand.min()) == _I64_MIN:
        raise ValueError("a demand of -2**63 has no 64-bit supply to write")
    header = b""
    if comment:
        header += b"".join(b"c " + line.encode() + b"\n" for line in comment.splitlines())
    header += b"p min %d %d\n" % (problem.n, problem.m)
    nodes = np.flatnonzero(problem.demand)
    header += b"".join(b"n %d %d\n" % (v + 1, -int(problem.demand[v])) for v in nodes.tolist())
    rows = np.stack(
        [problem.tail + 1, problem.head + 1, problem.lower, problem.upper, problem.cost], axis=1
    )
    _write_lines(dest, header, rows, b"a ")


def write_solution(problem: Problem, flow: Any, dest: Any, cost: int | None = None) -> None:
    """Write a solution: ``s COST`` then one ``f U V FLOW`` line per arc, in arc order."""
    x = as_int64(flow, "flow")
    if x.size != problem.m:
        raise ValueError(f"flow has {x.size} entries, the problem has {problem.m} edges")
    total = problem.flow_cost(x) if cost is None else int(cost)
    rows = np.stack([problem.tail + 1, problem.head + 1, x], axis=1)
    _write_lines(dest, b"s %d\n" % total, rows, b"f ")


def read_solution(source: Source, problem: Problem) -> tuple[int, np.ndarray]:
    """Read ``(cost, flow)`` from a DIMACS solution file for ``problem``.

    Each ``f U V FLOW`` line goes to the next arc from U to V, in arc order,
    that has not had a line yet; arcs without a line carry 0. Raises
    ``DimacsError`` for a missing or repeated ``s`` line, malformed lines and
    flow lines matching no remaining arc.
    """
    pending: dict[tuple[int, int], list[int]] = {}
    for i in range(problem.m - 1, -1, -1):
        pending.setdefault((int(problem.tail[i]) + 1, int(problem.head[i]) + 1), []).append(i)
    flow = np.zeros(problem.m, dtype=np.int64)
    cost: int | None = None
    line = 0
    with _open_binary(source, "r") as f:
        for line, raw in enumerate(f, start=1):
            parts = raw.split()
            if not parts or parts[0] == b"c":
                continue
            if parts[0] == b"s":
                if cost is not None:
                    raise DimacsError(line, "second solution line 's COST'")
                if len(parts) != 2:
                    raise DimacsError(line, "the solution line must read 's COST'")
                if not _INT.match(parts[1]):
                    raise DimacsError(
                        line, f"cost must be an integer, got {parts[1].decode(errors='replace')!r}"
                    )
                cost = int(parts[1])
            elif parts[0] == b"f":
                if len(parts) != 4:
                    raise DimacsError(
                        line, f"a flow line has 4 fields 'f U V FLOW', got {len(parts)}"
                    )
                u = _int(parts[1], line, "tail id")
                v = _int(parts[2], line, "head id")
                stack = pending.get((u, v))
                if not stack:
                    raise DimacsError(line, f"no remaining arc from {u} to {v}")
                flow[stack.pop()] = _int(parts[3], line, "flow")
            else:
                raise DimacsError(
                    line,
                    f"unknown line kind {parts[0].decode(errors='replace')!r} (expected c, s or f)",
                )
    if cost is None:
        raise DimacsError(line, "no solution line 's COST'")
    return cost, flow
