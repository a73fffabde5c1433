"""Exact minimum-cost flow on NumPy edge arrays, with a C++ core.

High level: ``Problem`` (a checked instance), ``solve`` (an optimal flow,
its exact cost and potentials proving optimality), ``certify`` (check any
integral flow), DIMACS files (``read_dimacs``, ``write_dimacs``,
``write_solution``, ``read_solution``) and NetworkX graphs
(``from_networkx``). Low level: the core's functions on int64 arrays.
"""

from ._certify import CertificateError, certify
from ._core import (
    __version__,
    min_cost_flow_edges,
    min_cost_flow_edges_with_options,
    min_cost_flow_edges_with_scaling,
    run_ipm_edges,
)
from ._networkx import NetworkxMapping, UnboundedError, from_networkx
from ._problem import Problem
from ._solve import METHODS, InfeasibleError, SolveResult, solve
from .dimacs import DimacsError, read_dimacs, read_solution, write_dimacs, write_solution

__all__ = [
    "Problem",
    "solve",
    "SolveResult",
    "METHODS",
    "certify",
    "CertificateError",
    "InfeasibleError",
    "UnboundedError",
    "read_dimacs",
    "write_dimacs",
    "write_solution",
    "read_solution",
    "DimacsError",
    "from_networkx",
    "NetworkxMapping",
    "min_cost_flow_edges",
    "min_cost_flow_edges_with_options",
    "min_cost_flow_edges_with_scaling",
    "run_ipm_edges",
    "__version__",
]
