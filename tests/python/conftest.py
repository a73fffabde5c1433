import numpy as np
import pytest


def i64(values):
    return np.asarray(values, dtype=np.int64)


@pytest.fixture
def small_instance():
    """Two units from node 0 to node 2, directly (dear) or through node 1."""
    return dict(
        n=3,
        tail=i64([0, 0, 1]),
        head=i64([2, 1, 2]),
        lower=i64([0, 0, 0]),
        upper=i64([1, 5, 5]),
        cost=i64([4, 1, 1]),
        demand=i64([-2, 0, 2]),
    )
