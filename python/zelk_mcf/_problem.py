"""The problem record of the high-level API."""

from __future__ import annotations

import operator

import numpy as np
import numpy.typing as npt

_INT64_MAX = (1 << 63) - 1


def as_int64(values: npt.ArrayLike, name: str) -> np.ndarray:
    """A read-only one-dimensional int64 copy of integral values.

    Booleans, floats and objects are refused rather than rounded: every
    array of a problem or flow is exact.
    """
    arr = np.asarray(values)
    if arr.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got {arr.ndim} dimensions")
    if arr.size == 0:
        arr = arr.astype(np.int64)
    elif arr.dtype.kind == "u":
        if arr.size and int(arr.max()) > _INT64_MAX:
            raise ValueError(f"{name} holds a value beyond the int64 range")
    elif arr.dtype.kind == "O":
        try:
            ints = [operator.index(v) for v in arr.tolist()]
        except TypeError:
            raise TypeError(f"{name} must hold integers") from None
        if ints and (max(ints) > _INT64_MAX or min(ints) < -_INT64_MAX - 1):
            raise ValueError(f"{name} holds a value beyond the int64 range")
        arr = np.array(ints, dtype=np.int64)
    elif arr.dtype.kind != "i":
        raise TypeError(f"{name} must hold integers, got dtype {arr.dtype}")
    out = np.array(arr, dtype=np.int64, order="C", copy=True)
    out.setflags(write=False)
    return out


def exact_sum(values: np.ndarray) -> int:
    """Sum of an int64 array as a Python int (no wrap-around)."""
    if values.size == 0:
        return 0
    high = int(np.sum(values >> 32))  # each term below 2**31 in size: no overflow
    low = int(np.sum(values & 0xFFFFFFFF))
    return (high << 32) + low


class Problem:
    """A minimum-cost-flow instance on nodes ``0 .. n-1``, with ``n = len(demand)``.

    Edge ``i`` carries flow from ``tail[i]`` to ``head[i]`` within
    ``[lower[i], upper[i]]`` at ``cost[i]`` per unit; ``demand[v]`` is the net
    inflow node ``v`` must receive (inflow minus outflow, supplies negative).
    Parallel edges and self-loops are allowed; bounds and costs may be
    negative. All arrays are stored as read-only int64 copies.

    Raises ``ValueError`` for inconsistent lengths, endpoints outside the
    node range, a lower bound above its upper bound, or demands that do not
    sum to zero; ``TypeError`` for non-integral arrays.
    """

    __slots__ = ("tail", "head", "lower", "upper", "cost", "demand")

    def __init__(
        self,
        tail: npt.ArrayLike,
        head: npt.ArrayLike,
        upper: npt.ArrayLike,
        cost: npt.ArrayLike,
        demand: npt.ArrayLike,
        lower: npt.ArrayLike | None = None,
    ) -> None:
        self.tail = as_int64(tail, "tail")
        self.head = as_int64(head, "head")
        self.upper = as_int64(upper, "upper")
        self.cost = as_int64(cost, "cost")
        self.demand = as_int64(demand, "demand")
        m = self.tail.size
        if lower is None:
            zeros = np.zeros(m, dtype=np.int64)
            zeros.setflags(write=False)
            self.lower = zeros
        else:
            self.lower = as_int64(lower, "lower")
        for name in ("head", "lower", "upper", "cost"):
            if getattr(self, name).size != m:
                raise ValueError(f"{name} has {getattr(self, name).size} entries, tail has {m}")
        n = self.demand.size
        for name in ("tail", "head"):
            ends = getattr(self, name)
            bad = np.flatnonzero((ends < 0) | (ends >= n))
            if bad.size:
                i = int(bad[0])
                raise ValueError(
                    f"{name}[{i}] = {int(ends[i])} is outside the node range 0..{n - 1}"
                )
        bad = np.flatnonzero(self.lower > self.upper)
        if bad.size:
            i = int(bad[0])
            raise ValueError(
                f"edge {i}: lower bound {int(self.lower[i])} "
                f"exceeds upper bound {int(self.upper[i])}"
            )
        total = exact_sum(self.demand)
        if total != 0:
            raise ValueError(f"demands must sum to zero, they sum to {total}")

    @property
    def n(self) -> int:
        """Number of nodes."""
        return int(self.demand.size)

    @property
    def m(self) -> int:
        """Number of edges."""
        return int(self.tail.size)

    def arrays(
        self,
    ) -> tuple[int, np.ndarray, np.ndarray, np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        """``(n, tail, head, lower, upper, cost, demand)``, the core functions' arguments."""
        return (self.n, self.tail, self.head, self.lower, self.upper, self.cost, self.demand)

    def flow_cost(self, flow: npt.ArrayLike) -> int:
        """Exact total cost ``sum(cost * flow)`` of a flow, as a Python int."""
        x = as_int64(flow, "flow")
        if x.size != self.m:
            raise ValueError(f"flow has {x.size} entries, the problem has {self.m} edges")
        if x.size == 0:
            return 0
        big_c = int(np.max(np.abs(self.cost.astype(np.float64))))
        big_x = int(np.max(np.abs(x.astype(np.float64))))
        if (big_c + 1) * (big_x + 1) * x.size < 1 << 62:
            return int(np.dot(self.cost, x))
        return sum(map(operator.mul, self.cost.tolist(), x.tolist()))

    def __repr__(self) -> str:
        return f"Problem(n={self.n}, m={self.m})"
