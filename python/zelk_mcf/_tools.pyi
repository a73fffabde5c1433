"""Compiled helpers of the zelk_mcf package (private; use ``zelk_mcf.certify``)."""

import numpy as np
import numpy.typing as npt

Int64Array = npt.NDArray[np.int64]

def optimality_certificate(
    n: int,
    tail: Int64Array,
    head: Int64Array,
    lower: Int64Array,
    upper: Int64Array,
    cost: Int64Array,
    flow: Int64Array,
) -> tuple[bytearray | list[int], None] | tuple[None, list[tuple[int, int]]]:
    """Potentials (packed int64 bytes, or ints beyond 64 bits) or a negative residual cycle."""
