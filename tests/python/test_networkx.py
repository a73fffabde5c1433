"""NetworkX graphs in, NetworkX flow dicts out; costs agree with NetworkX."""

import numpy as np
import pytest
import zelk_mcf

nx = pytest.importorskip("networkx")


def random_graph(rng, multi):
    G = nx.MultiDiGraph() if multi else nx.DiGraph()
    n = int(rng.integers(2, 9))
    G.add_nodes_from(f"v{k}" for k in range(n))  # labels that are not indices
    for _ in range(int(rng.integers(1, 3 * n))):
        u, v = rng.choice(n, 2, replace=False)
        attrs = {"weight": int(rng.integers(-2, 6))}
        if rng.random() < 0.8:
            attrs["capacity"] = int(rng.integers(0, 6))
        elif attrs["weight"] < 0:
            attrs["weight"] = -attrs["weight"]  # keep uncapacitated cycles non-negative
        G.add_edge(f"v{u}", f"v{v}", **attrs)
    # Demands from a random flow within the capacities, so most graphs are feasible.
    net = dict.fromkeys(G.nodes, 0)
    for u, v, d in G.edges(data=True):
        x = int(rng.integers(0, d.get("capacity", 4) + 1))
        net[u] -= x
        net[v] += x
    nx.set_node_attributes(G, net, "demand")
    return G


@pytest.mark.parametrize("multi", [False, True], ids=["DiGraph", "MultiDiGraph"])
def test_costs_agree_with_networkx(multi):
    rng = np.random.default_rng(17 + multi)
    for _ in range(40):
        G = random_graph(rng, multi)
        try:
            expected = nx.min_cost_flow_cost(G)
        except nx.NetworkXUnbounded:
            with pytest.raises(zelk_mcf.UnboundedError):
                zelk_mcf.from_networkx(G)
            continue
        problem, mapping = zelk_mcf.from_networkx(G)
        result = zelk_mcf.solve(problem)
        assert result.cost == expected
        flow_dict = mapping.flow_dict(result)
        if multi:
            dict_cost = sum(
                flow_dict[u][v][k] * d.get("weight", 0)
                for u, v, k, d in G.edges(keys=True, data=True)
            )
        else:
            dict_cost = nx.cost_of_flow(G, flow_dict)
        assert dict_cost == expected
        # The dict has NetworkX's shape: every node, every edge (and key).
        assert set(flow_dict) == set(G.nodes)
        if multi:
            assert sorted(
                (u, v, k) for u in flow_dict for v in flow_dict[u] for k in flow_dict[u][v]
            ) == sorted(G.edges(keys=True))
        else:
            assert sorted((u, v) for u in flow_dict for v in flow_dict[u]) == sorted(G.edges)


def test_infeasible_and_unbounded_graphs_name_the_cause():
    G = nx.DiGraph()
    G.add_node("s", demand=-5)
    G.add_node("t", demand=5)
    G.add_edge("s", "m", capacity=3, weight=1)
    G.add_edge("m", "t", capacity=9, weight=1)
    problem, mapping = zelk_mcf.from_networkx(G)
    with pytest.raises(
        zelk_mcf.InfeasibleError, match="can send at most 3 of its supply 5"
    ) as info:
        zelk_mcf.solve(problem)
    named = {mapping.nodes[v]: short for v, short in info.value.shortfall.items()}
    assert named == {"s": -2, "t": 2}
    with pytest.raises(nx.NetworkXUnfeasible):
        nx.min_cost_flow(G)

    G.nodes["t"]["demand"] = 4
    with pytest.raises(zelk_mcf.InfeasibleError, match="demands sum to -1"):
        zelk_mcf.from_networkx(G)

    H = nx.DiGraph()
    H.add_edge("a", "b", weight=-1)
    H.add_edge("b", "a", weight=0)
    with pytest.raises(zelk_mcf.UnboundedError) as info:
        zelk_mcf.from_networkx(H)
    assert sorted(info.value.cycle) == [("a", "b"), ("b", "a")]


def test_attribute_names_lower_bounds_and_stand_in():
    G = nx.DiGraph()
    G.add_node(0, need=-3)
    G.add_node(1, need=3)
    G.add_edge(0, 1, cap=2, price=1, floor=1)
    G.add_edge(0, 2, price=2)  # no capacity: unbounded
    G.add_edge(2, 1, cap=5, price=0)
    problem, mapping = zelk_mcf.from_networkx(
        G, demand="need", capacity="cap", weight="price", lower="floor"
    )
    assert mapping.unbounded_capacity == 1 + 6 + 7 + 1
    result = zelk_mcf.solve(problem)
    assert mapping.flow_dict(result) == {0: {1: 2, 2: 1}, 1: {}, 2: {1: 1}}
    with pytest.raises(TypeError, match="capacity of edge"):
        zelk_mcf.from_networkx(nx.DiGraph([(0, 1, {"capacity": 1.5})]))
    with pytest.raises(TypeError, match="DiGraph"):
        zelk_mcf.from_networkx(nx.Graph([(0, 1)]))
