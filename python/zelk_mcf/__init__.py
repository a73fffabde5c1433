"""Exact minimum-cost flow on NumPy edge arrays, with a C++ core."""

from ._core import (
    __version__,
    min_cost_flow_edges,
    min_cost_flow_edges_with_options,
    min_cost_flow_edges_with_scaling,
    run_ipm_edges,
)

__all__ = [
    "min_cost_flow_edges",
    "min_cost_flow_edges_with_options",
    "min_cost_flow_edges_with_scaling",
    "run_ipm_edges",
    "__version__",
]
