"""Many instances at once: threads and Dask give what a serial loop gives."""

import importlib.util
import pathlib
import sys
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
import zelk_mcf
from random_problems import random_problem

EXAMPLES = pathlib.Path(__file__).parents[2] / "examples"


def test_threads_match_a_serial_loop_and_keep_lines_apart(capfd):
    rng = np.random.default_rng(31)
    problems = [random_problem(rng, n_max=14)[0] for _ in range(12)]
    problems += [load_example("dask_solve").random_problem(seed, n=20, m=80) for seed in range(12)]
    methods = [("auto", "classic", "ipm")[k % 3] for k in range(len(problems))]
    serial = [zelk_mcf.solve(p, method=m) for p, m in zip(problems, methods)]
    with ThreadPoolExecutor(max_workers=4) as pool:
        threaded = list(
            pool.map(lambda pm: zelk_mcf.solve(pm[0], method=pm[1]), zip(problems, methods))
        )
    for a, b in zip(serial, threaded):
        assert a.cost == b.cost
        assert np.array_equal(a.flow, b.flow)
        assert np.array_equal(a.potentials, b.potentials)
        # Each quiet solve captured exactly its own lines.
        assert a.diagnostics == b.diagnostics
    assert any(r.diagnostics for r in threaded)
    out, err = capfd.readouterr()
    assert out == "" and err == ""
    assert sys.stderr is not None and type(sys.stderr).__name__ != "_StderrRouter"


def test_verbose_lines_reach_stderr(capsys):
    problem = load_example("dask_solve").random_problem(5, n=12, m=40)
    quiet = zelk_mcf.solve(problem, method="ipm")
    assert capsys.readouterr().err == ""
    zelk_mcf.solve(problem, method="ipm", verbose=True)
    assert capsys.readouterr().err.splitlines() == quiet.diagnostics


def load_example(name):
    spec = importlib.util.spec_from_file_location(name, EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.filterwarnings("ignore::ResourceWarning")
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
def test_dask_example_matches_a_serial_loop():
    distributed = pytest.importorskip(
        "dask.distributed", reason="dask[distributed] is not installed"
    )
    example = load_example("dask_solve")
    problems = [example.random_problem(seed, n=30, m=150) for seed in range(12)]
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        results = example.solve_all(client, problems)
    serial = [zelk_mcf.solve(p, method="classic") for p in problems]
    for problem, a, b in zip(problems, results, serial):
        assert a.cost == b.cost
        assert np.array_equal(a.flow, b.flow)
        zelk_mcf.certify(problem, a.flow, a.potentials)
