"""Certificates: feasibility checks, potentials and negative residual cycles."""

import numpy as np
import pytest
import zelk_mcf
from random_problems import random_problem, residual_cycle_cost


def reduced_costs_prove_optimality(problem, flow, potentials):
    for i in range(problem.m):
        rc = (
            int(problem.cost[i])
            + int(potentials[problem.tail[i]])
            - int(potentials[problem.head[i]])
        )
        if flow[i] < problem.upper[i] and rc < 0:
            return False
        if flow[i] > problem.lower[i] and rc > 0:
            return False
    return True


def test_optimal_flows_accepted_and_worse_witnesses_refuted():
    rng = np.random.default_rng(7)
    refuted = 0
    for _ in range(150):
        problem, witness = random_problem(rng)
        result = zelk_mcf.solve(problem, method="classic")
        assert reduced_costs_prove_optimality(problem, result.flow, result.potentials)
        assert result.cost == problem.flow_cost(result.flow)
        assert np.array_equal(
            zelk_mcf.certify(problem, result.flow, result.potentials), result.potentials
        )

        witness_cost = problem.flow_cost(witness)
        assert witness_cost >= result.cost
        if witness_cost == result.cost:
            pot = zelk_mcf.certify(problem, witness)
            assert reduced_costs_prove_optimality(problem, witness, pot)
        else:
            with pytest.raises(zelk_mcf.CertificateError) as info:
                zelk_mcf.certify(problem, witness)
            assert info.value.kind == "cycle"
            assert (
                residual_cycle_cost(problem, witness, info.value.cycle) == info.value.cycle_cost < 0
            )
            # The engine's potentials do not prove a worse flow optimal either.
            with pytest.raises(zelk_mcf.CertificateError, match="potentials do not prove"):
                zelk_mcf.certify(problem, witness, result.potentials)
            refuted += 1
    assert refuted > 20


def test_infeasible_flows_name_the_edge_or_node():
    problem = zelk_mcf.Problem(
        [0, 0, 1], [2, 1, 2], [1, 5, 5], [4, 1, 1], [-2, 0, 2], lower=[0, 1, 0]
    )
    with pytest.raises(
        zelk_mcf.CertificateError, match=r"edge 1 \(0 -> 1\) carries 0, outside its bounds \[1, 5\]"
    ) as info:
        zelk_mcf.certify(problem, [1, 0, 0])
    assert (info.value.kind, info.value.edge) == ("bounds", 1)
    with pytest.raises(
        zelk_mcf.CertificateError, match="node 0 receives a net inflow of -3, its demand is -2"
    ) as info:
        zelk_mcf.certify(problem, [1, 2, 1])
    assert (info.value.kind, info.value.node) == ("demand", 0)
    with pytest.raises(zelk_mcf.CertificateError) as info:
        zelk_mcf.certify(problem, [0, 2])
    assert info.value.kind == "length"
    with pytest.raises(TypeError):
        zelk_mcf.certify(problem, [0.5, 1.5, 1.5])


def test_potentials_beyond_64_bits():
    low = -(1 << 63)
    problem = zelk_mcf.Problem([0, 1, 2], [1, 2, 3], [1, 1, 1], [low, low, low], [0, 0, 0, 0])
    pot = zelk_mcf.certify(problem, [0, 0, 0])
    assert pot.dtype == object
    assert [int(v) for v in pot] == [0, low, 2 * low, 3 * low]
    assert np.array_equal(zelk_mcf.certify(problem, [0, 0, 0], pot), pot)
    # One unit from 0 to 3: the chain earns 3 * 2**63 more than the direct edge.
    two_ways = zelk_mcf.Problem(
        [0, 1, 2, 0], [1, 2, 3, 3], [1, 1, 1, 1], [low, low, low, 0], [-1, 0, 0, 1]
    )
    best = zelk_mcf.solve(two_ways)
    assert best.cost == 3 * low and list(best.flow) == [1, 1, 1, 0]
    with pytest.raises(zelk_mcf.CertificateError) as info:
        zelk_mcf.certify(two_ways, [0, 0, 0, 1])
    assert info.value.cycle_cost == 3 * low
    with pytest.raises(zelk_mcf.CertificateError, match="potentials do not prove"):
        zelk_mcf.certify(two_ways, [0, 0, 0, 1], best.potentials)


def test_exact_cost_and_solver_agreement_across_methods():
    rng = np.random.default_rng(11)
    for _ in range(6):
        problem, _ = random_problem(rng, n_max=12)
        costs = {method: zelk_mcf.solve(problem, method=method).cost for method in zelk_mcf.METHODS}
        assert len(set(costs.values())) == 1, costs
