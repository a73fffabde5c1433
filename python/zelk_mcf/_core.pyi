"""Core bindings of the zelk_mcf package: exact minimum-cost flow on NumPy edge arrays.

Every problem array is a one-dimensional, contiguous, native-endian int64
``numpy.ndarray``; it is only read. Edge ``i`` carries flow from ``tail[i]``
to ``head[i]`` within ``[lower[i], upper[i]]`` at ``cost[i]`` per unit, and
``demand[v]`` is the net inflow node ``v`` must receive (supplies negative).

Errors: ``TypeError`` for arguments of the wrong type, dtype or
dimensionality and for non-contiguous arrays; ``ValueError`` for invalid
instances and keyword values; ``RuntimeError("Infeasible")`` when no flow
meets bounds and demands, ``RuntimeError('InvalidInput("...")')`` when the
solver rejects the instance; ``KeyboardInterrupt`` on Ctrl-C.

Which solver runs when the caller leaves the choice to it (none of
``use_ipm``, ``use_scaling``, ``force_cost_scaling``): instances with fewer
than 13 edges or 9 nodes, or more than 2,000 edges, go to the classic
solver; the others to the interior-point method (or its scaling layers),
whose interior-point runs may spend at most 8,000,000 edge-iterations in
all before the classic solver answers (statistics "termination"
"time_limit"). ``use_ipm=True`` (or ``use_scaling=True``,
``force_cost_scaling=True``, ``min_cost_flow_edges_with_scaling``) asks for
the interior-point method explicitly, without either bound.

Every answer has minimum cost; when several flows share it, which one is
returned depends on the classic solver's search, which is chosen by size:
successive shortest paths up to 2,000 edges, cost-scaling push-relabel
above (a network simplex when costs or capacities are too large for its
64-bit range).
"""

from typing import Any, TypedDict

import numpy as np
import numpy.typing as npt
from typing_extensions import Unpack

__version__: str
__all__: list[str]

Int64Array = npt.NDArray[np.int64]
Float64Array = npt.NDArray[np.float64]

class ScalingOptions(TypedDict, total=False):
    """Keyword options shared by the option-taking entries; None means default."""

    strategy: str | None  # "full_dynamic" or "periodic_rebuild" (default)
    oracle_mode: str | None  # "dynamic", "fallback" or "hybrid" (default)
    rebuild_every: int | None  # default 25
    max_iters: int | None  # default 10000; 0 selects the classic solver
    gap_exponent: float | None  # default 10.0, must be > 0
    gap_tolerance: float | None  # must be > 0 when given
    tolerance: float | None  # default 1e-9
    numerical_clamp_log: float | None  # default 700.0, must be > 0
    residual_min: float | None  # default 1e-12, must be > 0
    barrier_alpha_min: float | None  # default 1e-6, must be > 0
    barrier_alpha_max: float | None  # default 1.0, must be > 0
    barrier_clamp_max: float | None  # default 1e200, must be > 0
    gradient_clamp_max: float | None  # default 1e100, must be > 0
    log_numerical_clamping: bool | None  # default False
    seed: int | None  # default 0
    deterministic_seed: int | None
    threads: int | None  # default 1; forced to 1 while deterministic
    alpha: float | None  # must be > 0 when given
    force_cost_scaling: bool | None  # default False
    disable_capacity_scaling: bool | None  # default False
    approx_factor: float | None  # default 0.1, must be >= 0
    deterministic: bool | None  # default True

class Options(ScalingOptions, total=False):
    use_ipm: bool | None  # default: by instance size (13 edges and 9 nodes up to 2,000 edges)
    use_scaling: bool | None  # default: by magnitude of costs and capacities

def min_cost_flow_edges(
    n: int,
    tail: Int64Array,
    head: Int64Array,
    lower: Int64Array,
    upper: Int64Array,
    cost: Int64Array,
    demand: Int64Array,
) -> Int64Array:
    """Exact integral minimum-cost flow with default options: one int64 value per edge."""

def min_cost_flow_edges_with_options(
    n: int,
    tail: Int64Array,
    head: Int64Array,
    lower: Int64Array,
    upper: Int64Array,
    cost: Int64Array,
    demand: Int64Array,
    **options: Unpack[Options],
) -> tuple[Int64Array, dict[str, Any]]:
    """Exact integral flow and a statistics dict.

    The dict always starts with "solver_mode" ("classic", "ipm", "ipm_scaled"
    or "classic_fallback"), "termination", "iterations" and "final_gap";
    interior-point solves add their run statistics. Options are keyword-only.
    """

def min_cost_flow_edges_with_scaling(
    n: int,
    tail: Int64Array,
    head: Int64Array,
    lower: Int64Array,
    upper: Int64Array,
    cost: Int64Array,
    demand: Int64Array,
    **options: Unpack[ScalingOptions],
) -> tuple[Int64Array, dict[str, Any]]:
    """As ``min_cost_flow_edges_with_options`` with scaling requested."""

def run_ipm_edges(
    n: int,
    tail: Int64Array,
    head: Int64Array,
    lower: Int64Array,
    upper: Int64Array,
    cost: Int64Array,
    demand: Int64Array,
    **options: Unpack[Options],
) -> tuple[Float64Array, dict[str, Any]]:
    """The fractional interior-point flow (float64 per edge) and its statistics."""
