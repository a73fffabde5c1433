"""Solve a small transportation instance and print the flow and its cost."""

import numpy as np
import zelk_mcf

# Three warehouses (nodes 0-2) ship to four stores (nodes 3-6).
supply = {0: 20, 1: 30, 2: 25}
demand_of_store = {3: 15, 4: 25, 5: 20, 6: 15}
unit_cost = {
    (0, 3): 8,
    (0, 4): 6,
    (0, 5): 10,
    (0, 6): 9,
    (1, 3): 9,
    (1, 4): 12,
    (1, 5): 13,
    (1, 6): 7,
    (2, 3): 14,
    (2, 4): 9,
    (2, 5): 16,
    (2, 6): 5,
}

n = 7
edges = list(unit_cost)
tail = np.array([u for u, _ in edges], dtype=np.int64)
head = np.array([v for _, v in edges], dtype=np.int64)
lower = np.zeros(len(edges), dtype=np.int64)
upper = np.full(len(edges), 25, dtype=np.int64)
cost = np.array([unit_cost[e] for e in edges], dtype=np.int64)
demand = np.zeros(n, dtype=np.int64)
for node, amount in supply.items():
    demand[node] = -amount
for node, amount in demand_of_store.items():
    demand[node] = amount

flow = zelk_mcf.min_cost_flow_edges(n, tail, head, lower, upper, cost, demand)

for (u, v), f in zip(edges, flow):
    if f:
        print(f"warehouse {u} -> store {v}: {f} units at {unit_cost[(u, v)]} each")
print(f"total cost: {int(np.dot(cost, flow))}")
