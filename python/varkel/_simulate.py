"""Linear non-Gaussian data with a known causal order, for demos and tests."""

from __future__ import annotations

from typing import Sequence

import numpy as np


def simulate_lingam(n_vars: int, n_samples: int, seed: int = 0, *, density: float = 1.0,
                    noise: str = "uniform") -> tuple[np.ndarray, list[int]]:
    """Samples X (n_samples x n_vars) from a random linear DAG.

    The causal order is a random permutation of the columns; each variable
    is a weighted sum of those before it (each edge kept with probability
    `density`, weights of magnitude 0.5 to 1.5 with random signs) plus
    independent noise ("uniform" or "laplace"). Returns X and the true
    order, causes first.
    """
    rng = np.random.default_rng(seed)
    order = [int(j) for j in rng.permutation(n_vars)]
    if noise == "uniform":
        E = rng.uniform(-1.0, 1.0, (n_samples, n_vars))
    elif noise == "laplace":
        E = rng.laplace(0.0, 1.0, (n_samples, n_vars))
    else:
        raise ValueError(f"unknown noise {noise!r}")
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


def pair_agreement(true_order: Sequence[int], found_order: Sequence[int]) -> float:
    """Fraction of ordered pairs (i before j in true_order) that found_order
    also puts in that order."""
    position = {v: k for k, v in enumerate(found_order)}
    pairs = [(a, b) for k, a in enumerate(true_order) for b in true_order[k + 1:]]
    if not pairs:
        return 1.0
    return sum(position[a] < position[b] for a, b in pairs) / len(pairs)
