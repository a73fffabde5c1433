"""DIMACS files: round trips, solutions that certify, and one test per kind of fault."""

import io

import numpy as np
import pytest
import zelk_mcf
from random_problems import random_problem

FIELDS = ("tail", "head", "lower", "upper", "cost", "demand")


def same_problem(a, b):
    return all(np.array_equal(getattr(a, f), getattr(b, f)) for f in FIELDS)


def test_extreme_values_and_batches_survive(monkeypatch):
    big, small = (1 << 63) - 1, -(1 << 63)
    problem = zelk_mcf.Problem(
        [0, 1], [1, 0], [big, 0], [small, big], [-big, big], lower=[small, small]
    )
    buf = io.BytesIO()
    zelk_mcf.write_dimacs(problem, buf)
    assert same_problem(problem, zelk_mcf.read_dimacs(io.BytesIO(buf.getvalue())))
    # Tiny batches: arcs, comments and node lines interleave across batch ends.
    monkeypatch.setattr(zelk_mcf.dimacs, "_CHUNK", 20)
    text = (
        b"c x\np min 3 4\nn 1 2\na 1 2 0 5 1\nc mid\na 2 3 0 5 1\nn 3 -2\n"
        b"a 1 3 0 1 9\n\na 3 3 -1 1 -2\n"
    )
    p = zelk_mcf.read_dimacs(io.BytesIO(text))
    assert p.tail.tolist() == [0, 1, 0, 2] and p.demand.tolist() == [-2, 0, 2]
    assert p.lower.tolist() == [0, 0, 0, -1] and p.cost.tolist() == [1, 1, 9, -2]


def test_files_round_trip_and_solution_files_certify(tmp_path):
    rng = np.random.default_rng(5)
    for _ in range(20):
        problem, _ = random_problem(rng)
        zelk_mcf.write_dimacs(problem, tmp_path / "p.min", comment="random\ninstance")
        assert same_problem(problem, zelk_mcf.read_dimacs(str(tmp_path / "p.min")))
        result = zelk_mcf.solve(problem)
        path = tmp_path / "s.sol"
        zelk_mcf.write_solution(problem, result.flow, path)
        cost, flow = zelk_mcf.read_solution(path, problem)
        assert cost == result.cost
        assert np.array_equal(flow, result.flow)
        zelk_mcf.certify(problem, flow)


HEADER = "p min 3 2\nn 1 4\nn 3 -4\n"
MALFORMED = [
    ("no problem line", "c nothing\n", 1, "no problem line"),
    ("arc before problem line", "a 1 2 0 1 1\np min 2 1\n", 1, "before the problem line"),
    ("second problem line", "p min 2 0\np min 2 0\n", 2, "second problem line"),
    ("wrong problem kind", "p max 2 1\n", 1, "must read 'p min N M'"),
    ("too few arc fields", HEADER + "a 1 2 0 4\na 2 3 0 4 1\n", 4, "6 fields"),
    ("too many node fields", "p min 2 0\nn 1 0 0\n", 2, "3 fields"),
    ("non-integer", HEADER + "a 1 2 0 4 1.5\na 2 3 0 4 1\n", 4, "cost must be an integer"),
    (
        "beyond 64 bits",
        HEADER + "a 1 2 0 9223372036854775808 1\na 2 3 0 4 1\n",
        4,
        "capacity 9223372036854775808 is beyond the 64-bit range",
    ),
    ("id out of range", HEADER + "a 1 2 0 4 1\na 2 4 0 4 1\n", 5, "head id 4 is outside 1..3"),
    ("node id out of range", "p min 2 0\nn 0 0\n", 2, "node id 0 is outside 1..2"),
    ("node listed twice", "p min 2 0\nn 1 1\nn 1 -1\n", 3, "already listed on line 2"),
    (
        "too many arcs",
        HEADER + "a 1 2 0 4 1\na 2 3 0 4 1\na 2 3 0 4 1\n",
        6,
        "more arc lines than the 2 declared",
    ),
    ("too few arcs", HEADER + "a 1 2 0 4 1\n", 4, "1 arc lines, the problem line declares 2"),
    ("unknown line kind", HEADER + "x 1 2\n", 4, "unknown line kind 'x'"),
    ("unknown kind starting with a", HEADER + "arc 1 2 0 4 1\n", 4, "unknown line kind 'arc'"),
    (
        "lower above capacity",
        HEADER + "a 1 2 5 4 1\na 2 3 0 4 1\n",
        4,
        "lower bound 5 exceeds capacity 4",
    ),
    ("supplies do not balance", "p min 2 0\nn 1 3\n", 1, "supplies sum to 3"),
    ("negative count", "p min 2 -1\n", 1, "must not be negative"),
]


@pytest.mark.parametrize(
    "text, line, message", [m[1:] for m in MALFORMED], ids=[m[0] for m in MALFORMED]
)
def test_malformed_files_name_the_line(text, line, message):
    with pytest.raises(zelk_mcf.DimacsError, match=message) as info:
        zelk_mcf.read_dimacs(io.BytesIO(text.encode()))
    assert info.value.line == line
    assert str(info.value).startswith(f"line {line}: ")


def test_malformed_solutions():
    problem = zelk_mcf.Problem([0, 0], [1, 1], [3, 3], [1, 2], [-2, 2])
    assert zelk_mcf.read_solution(io.BytesIO(b"s 2\nf 1 2 2\n"), problem)[1].tolist() == [2, 0]
    for text, message in [
        (b"f 1 2 1\n", "no solution line"),
        (b"s 1\ns 1\n", "second solution line"),
        (b"s 1\nf 1 2 1\nf 1 2 1\nf 1 2 1\n", "no remaining arc from 1 to 2"),
        (b"s 1\nf 1 2 x\n", "flow must be an integer"),
        (b"s 1\nq\n", "unknown line kind"),
    ]:
        with pytest.raises(zelk_mcf.DimacsError, match=message):
            zelk_mcf.read_solution(io.BytesIO(text), problem)


hypothesis = pytest.importorskip("hypothesis")
st = hypothesis.strategies
INT64 = st.integers(-(1 << 63), (1 << 63) - 1)


@hypothesis.settings(max_examples=60, deadline=None)
@hypothesis.given(st.data())
def test_any_problem_survives_a_round_trip(data):
    n = data.draw(st.integers(1, 6))
    m = data.draw(st.integers(0, 8))
    ends = st.lists(st.integers(0, n - 1), min_size=m, max_size=m)
    tail, head = data.draw(ends), data.draw(ends)
    a, b = (
        data.draw(st.lists(INT64, min_size=m, max_size=m)),
        data.draw(st.lists(INT64, min_size=m, max_size=m)),
    )
    cost = data.draw(st.lists(INT64, min_size=m, max_size=m))
    demand = data.draw(st.lists(st.integers(-(1 << 62), 1 << 62), min_size=n - 1, max_size=n - 1))
    demand.append(-sum(demand))
    hypothesis.assume(-(1 << 63) < demand[-1] < 1 << 63)
    problem = zelk_mcf.Problem(
        tail, head, list(map(max, a, b)), cost, demand, lower=list(map(min, a, b))
    )
    buf = io.BytesIO() if data.draw(st.booleans()) else io.StringIO()  # binary and text streams
    zelk_mcf.write_dimacs(problem, buf)
    assert same_problem(problem, zelk_mcf.read_dimacs(type(buf)(buf.getvalue())))
