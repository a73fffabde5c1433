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
"""

from typing import Any

import numpy as np
import numpy.typing as npt

__version__: str
__all__: list[str]

Int64Array = npt.NDArray[np.int64]
Float64Array = npt.NDArray[np.float64]

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
    *,
    strategy: str | None = None,
    oracle_mode: str | None = None,
    rebuild_every: int | None = None,
    max_iters: int | None = None,
    gap_exponent: float | None = None,
    gap_tolerance: float | None = None,
    tolerance: float | None = None,
    numerical_clamp_log: float | None = None,
    residual_min: float | None = None,
    barrier_alpha_min: float | None = None,
    barrier_alpha_max: float | None = None,
    barrier_clamp_max: float | None = None,
    gradient_clamp_max: float | None = None,
    log_numerical_clamping: bool | None = None,
    seed: int | None = None,
    deterministic_seed: int | None = None,
    threads: int | None = None,
    alpha: float | None = None,
    use_ipm: bool | None = None,
    use_scaling: bool | None = None,
    force_cost_scaling: bool | None = None,
    disable_capacity_scaling: bool | None = None,
    approx_factor: float | None = None,
    deterministic: bool | None = None,
) -> tuple[Int64Array, dict[str, Any]]:
    """Exact integral flow and a statistics dict.

    The dict always starts with "solver_mode" ("classic", "ipm", "ipm_scaled"
    or "classic_fallback"), "termination", "iterations" and "final_gap";
    interior-point solves add their run statistics. A keyword left at None
    takes its default.
    """

def min_cost_flow_edges_with_scaling(
    n: int,
    tail: Int64Array,
    head: Int64Array,
    lower: Int64Array,
    upper: Int64Array,
    cost: Int64Array,
    demand: Int64Array,
    *,
    strategy: str | None = None,
    oracle_mode: str | None = None,
    rebuild_every: int | None = None,
    max_iters: int | None = None,
    gap_exponent: float | None = None,
    gap_tolerance: float | None = None,
    tolerance: float | None = None,
    numerical_clamp_log: float | None = None,
    residual_min: float | None = None,
    barrier_alpha_min: float | None = None,
    barrier_alpha_max: float | None = None,
    barrier_clamp_max: float | None = None,
    gradient_clamp_max: float | None = None,
    log_numerical_clamping: bool | None = None,
    seed: int | None = None,
    deterministic_seed: int | None = None,
    threads: int | None = None,
    alpha: float | None = None,
    force_cost_scaling: bool | None = None,
    disable_capacity_scaling: bool | None = None,
    approx_factor: float | None = None,
    deterministic: bool | None = None,
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
    *,
    strategy: str | None = None,
    oracle_mode: str | None = None,
    rebuild_every: int | None = None,
    max_iters: int | None = None,
    gap_exponent: float | None = None,
    gap_tolerance: float | None = None,
    tolerance: float | None = None,
    numerical_clamp_log: float | None = None,
    residual_min: float | None = None,
    barrier_alpha_min: float | None = None,
    barrier_alpha_max: float | None = None,
    barrier_clamp_max: float | None = None,
    gradient_clamp_max: float | None = None,
    log_numerical_clamping: bool | None = None,
    seed: int | None = None,
    deterministic_seed: int | None = None,
    threads: int | None = None,
    alpha: float | None = None,
    use_ipm: bool | None = None,
    use_scaling: bool | None = None,
    force_cost_scaling: bool | None = None,
    disable_capacity_scaling: bool | None = None,
    approx_factor: float | None = None,
    deterministic: bool | None = None,
) -> tuple[Float64Array, dict[str, Any]]:
    """The fractional interior-point flow (float64 per edge) and its statistics."""
