"""Linear non-Gaussian data with a known causal structure, for demos, tests
and benchmarks."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np


def _noise(rng: np.random.Generator, kind: str, shape: tuple[int, int]) -> np.ndarray:
    if kind == "uniform":
        return rng.uniform(-1.0, 1.0, shape)
    if kind == "laplace":
        return rng.laplace(0.0, 1.0, shape)
    raise ValueError(f"unknown noise {kind!r}")


def simulate_lingam(n_vars: int, n_samples: int, seed: int = 0, *, density: float = 1.0,
                    noise: str = "uniform") -> tuple[np.ndarray, list[int]]:
    """Samples X (n_samples x n_vars) from a random linear DAG.

    The causal order is a random permutation of the columns; each variable
    is a weighted sum of those before it (each edge kept with probability
    `density`, weights of magnitude 0.5 to 1.5 with random signs) plus
    independent noise ("uniform" or "laplace"), rescaled to unit standard
    deviation. Returns X and the true order, causes first.
    """
    rng = np.random.default_rng(seed)
    order = [int(j) for j in rng.permutation(n_vars)]
    E = _noise(rng, noise, (n_samples, n_vars))
    X = np.zeros((n_samples, n_vars))
    for position, j in enumerate(order):
        X[:, j] = E[:, j]
        for i in order[:position]:
            if rng.random() < density:
                weight = rng.uniform(0.5, 1.5) * rng.choice((-1.0, 1.0))
                X[:, j] += weight * X[:, i]
        # Keep every column on a comparable scale.
        X[:, j] /= X[:, j].std()
    return X, order


@dataclass(frozen=True)
class SimulatedDAG:
    X: np.ndarray          # samples x variables
    adjacency: np.ndarray  # adjacency[i, j] != 0: x_j -> x_i with that weight
    order: list[int]       # a causal order, causes first


def simulate_dag(n_vars: int, n_samples: int, seed: int = 0, *,
                 edge_probability: float = 0.3, noise: str = "uniform") -> SimulatedDAG:
    """A random sparse linear DAG and samples from it.

    Each pair of variables is joined with probability `edge_probability`, in
    the direction of a random causal order, with a weight of magnitude 0.5
    to 1.5 and a random sign. Each variable is its parents' weighted sum plus
    independent noise ("uniform" or "laplace").
    """
    rng = np.random.default_rng(seed)
    order = [int(j) for j in rng.permutation(n_vars)]
    B = np.zeros((n_vars, n_vars))
    for position, j in enumerate(order):
        for i in order[:position]:
            if rng.random() < edge_probability:
                B[j, i] = rng.uniform(0.5, 1.5) * rng.choice((-1.0, 1.0))
    E = _noise(rng, noise, (n_samples, n_vars))
    X = np.zeros((n_samples, n_vars))
    for j in order:
        X[:, j] = X @ B[j] + E[:, j]
    return SimulatedDAG(X, B, order)


def pair_agreement(true_order: Sequence[int], found_order: Sequence[int]) -> float:
    """Fraction of ordered pairs (i before j in true_order) that found_order
    also puts in that order."""
    position = {v: k for k, v in enumerate(found_order)}
    pairs = [(a, b) for k, a in enumerate(true_order) for b in true_order[k + 1:]]
    if not pairs:
        return 1.0
    return sum(position[a] < position[b] for a, b in pairs) / len(pairs)
