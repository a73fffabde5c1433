"""The zelk-mcf command line, run as a real subprocess."""

import io
import json
import os
import pathlib
import signal
import subprocess
import sys

import numpy as np
import pytest
import zelk_mcf
from random_problems import random_problem

CLI = [sys.executable, "-m", "zelk_mcf"]
EXAMPLE = pathlib.Path(__file__).parents[2] / "examples" / "transport.min"


def run(*args, stdin=None):
    return subprocess.run([*CLI, *args], input=stdin, capture_output=True, timeout=120)


def test_solves_files_and_stdin_with_stats(tmp_path):
    rng = np.random.default_rng(23)
    problem, _ = random_problem(rng, n_max=9)
    path = tmp_path / "p.min"
    zelk_mcf.write_dimacs(problem, path)
    out = run("solve", str(path), "--stats")
    assert out.returncode == 0, out.stderr
    cost, flow = zelk_mcf.read_solution(io.BytesIO(out.stdout), problem)
    zelk_mcf.certify(problem, flow)
    assert cost == zelk_mcf.solve(problem).cost
    # Piped: standard error holds the statistics line and nothing else.
    stats = json.loads(out.stderr)
    assert stats["cost"] == cost and stats["arcs"] == problem.m and stats["method"] == "auto"

    target = tmp_path / "s.sol"
    piped = run(
        "solve",
        "-",
        "-o",
        str(target),
        "--method",
        "classic",
        "--stats-file",
        str(tmp_path / "st.json"),
        stdin=path.read_bytes(),
    )
    assert piped.returncode == 0 and piped.stdout == b"" and piped.stderr == b""
    assert zelk_mcf.read_solution(target, problem)[0] == cost
    assert json.loads((tmp_path / "st.json").read_text())["solver_mode"] == "classic"


def test_bundled_example_and_console_script():
    script = pathlib.Path(sys.executable).with_name("zelk-mcf")
    if not script.exists():
        pytest.skip("the zelk-mcf console script is not installed next to this interpreter")
    out = subprocess.run([str(script), "solve", str(EXAMPLE)], capture_output=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines()[0] == b"s 635"


@pytest.mark.parametrize(
    "text, code, message",
    [
        (
            b"p min 2 1\nn 1 3\nn 2 -3\na 1 2 0 2 1\n",
            1,
            b"node 1 can send at most 2 of its supply 3; "
            b"node 2 can receive at most 2 of its demand 3",
        ),
        (b"p min 2 1\na 1 2 0 2 x\n", 2, b"line 2: cost must be an integer"),
        (
            b"p min 2 2\na 1 2 -9223372036854775807 9223372036854775807 -1\n"
            b"a 1 2 -9223372036854775807 9223372036854775807 -1\n",
            2,
            b"InvalidInput",
        ),
    ],
    ids=["infeasible", "malformed", "rejected"],
)
def test_exit_codes(text, code, message):
    out = run("solve", "-", stdin=text)
    assert out.returncode == code
    assert out.stdout == b""
    assert message in out.stderr


def test_usage_errors_and_help(tmp_path):
    assert run("solve", str(tmp_path / "missing.min")).returncode == 2
    assert run("solve", str(EXAMPLE), "--method", "fastest").returncode == 2
    assert run().returncode == 2
    help_text = run("solve", "--help").stdout.decode()
    for needle in (
        "--method",
        "auto",
        "classic",
        "ipm",
        "scaling",
        "--stats",
        "130",
        "infeasible",
        "'-'",
    ):
        assert needle in help_text


def interior_point_instance(path, n, m):
    """A feasible instance on which the interior-point route iterates for a while."""
    rng = np.random.default_rng(29)
    tail, head = rng.integers(0, n, m), rng.integers(0, n, m)
    upper = rng.integers(1, 50, m)
    flow = rng.integers(0, upper + 1)
    demand = np.zeros(n, dtype=np.int64)
    np.add.at(demand, head, flow)
    np.subtract.at(demand, tail, flow)
    problem = zelk_mcf.Problem(tail, head, upper, rng.integers(0, 100, m), demand)
    zelk_mcf.write_dimacs(problem, path)
    return problem


@pytest.mark.skipif(os.name != "posix", reason="needs POSIX signals")
def test_ctrl_c_exits_130(tmp_path):
    path = tmp_path / "big.min"
    interior_point_instance(path, 600, 6000)
    proc = subprocess.Popen(
        [*CLI, "solve", str(path), "--method", "ipm", "--verbose"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    first = proc.stderr.readline()  # the solve has started once a gap line arrives
    assert first.startswith(b"gap termination check")
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=60)
    assert proc.returncode == 130
    assert err.rstrip().endswith(b"zelk-mcf: interrupted")


@pytest.mark.skipif(os.name != "posix", reason="needs a pseudo-terminal")
def test_progress_line_on_a_terminal_is_erased(tmp_path):
    pty = pytest.importorskip("pty")
    path = tmp_path / "ipm.min"
    problem = interior_point_instance(path, 300, 3000)
    master, slave = pty.openpty()
    proc = subprocess.Popen(
        [*CLI, "solve", str(path), "--method", "ipm"], stdout=subprocess.PIPE, stderr=slave
    )
    os.close(slave)
    out, _ = proc.communicate(timeout=120)
    shown = b""
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:
            break
        if not chunk:
            break
        shown += chunk
    os.close(master)
    assert proc.returncode == 0
    zelk_mcf.certify(problem, zelk_mcf.read_solution(io.BytesIO(out), problem)[1])
    # Whether the line appears depends on how long the solve takes; when it
    # does, it names the route and is erased at the end.
    if shown:
        assert b"zelk-mcf: " in shown and b"route" in shown
        assert shown.endswith(b"\r\x1b[K")
