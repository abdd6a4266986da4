"""Data that is not easy for an order search: random linear DAGs with a
noise family drawn per variable, dense graphs, and a variant in which half
the variables' noise is nearly Gaussian.

density is the expected number of parents (and of children) of a variable:
each pair is joined with probability 2 density / (n - 1), in the direction
of a random causal order, with a weight of magnitude 0.5 to 1.5 and a random
sign. Every noise term has variance 1, and every variable is rescaled to
unit variance as it is built (its weights with it), so that dense graphs do
not let late variables' variance grow without bound.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

FAMILIES = ("uniform", "laplace", "exponential", "student-t5", "bimodal")
NEAR_GAUSSIAN = ("student-t10", "normal+laplace")
VARIANTS = ("mixed", "near-gaussian")


def noise(rng: np.random.Generator, family: str, n_samples: int) -> np.ndarray:
    if family == "uniform":
        e = rng.uniform(-1.0, 1.0, n_samples)
    elif family == "laplace":
        e = rng.laplace(0.0, 1.0, n_samples)
    elif family == "exponential":
        e = rng.exponential(1.0, n_samples)
    elif family == "student-t5":
        e = rng.standard_t(5, n_samples)
    elif family == "student-t10":
        e = rng.standard_t(10, n_samples)
    elif family == "bimodal":
        e = rng.choice((-1.0, 1.0), n_samples) + 0.4 * rng.standard_normal(n_samples)
    elif family == "normal+laplace":
        e = 0.8 * rng.standard_normal(n_samples) + 0.2 * rng.laplace(0.0, 1.0, n_samples)
    else:
        raise ValueError(f"unknown noise family {family!r}")
    e = e - e.mean()
    return np.asarray(e / e.std())


@dataclass(frozen=True)
class HardDAG:
    X: np.ndarray          # samples x variables
    adjacency: np.ndarray  # [i, j] != 0: x_j -> x_i with that weight (in X's units)
    order: list[int]       # the true causal order, causes first
    families: list[str]    # each variable's noise family


def hard_dag(n_vars: int, n_samples: int, seed: int, *, density: float,
             variant: str = "mixed") -> HardDAG:
    rng = np.random.default_rng(seed)
    order = [int(j) for j in rng.permutation(n_vars)]
    probability = min(1.0, 2.0 * density / max(n_vars - 1, 1))
    B = np.zeros((n_vars, n_vars))
    for position, j in enumerate(order):
        for i in order[:position]:
            if rng.random() < probability:
                B[j, i] = rng.uniform(0.5, 1.5) * rng.choice((-1.0, 1.0))
    families = [FAMILIES[k] for k in rng.integers(0, len(FAMILIES), n_vars)]
    if variant == "near-gaussian":
        for j in rng.permutation(n_vars)[:n_vars // 2]:
            families[j] = NEAR_GAUSSIAN[int(rng.integers(0, len(NEAR_GAUSSIAN)))]
    elif variant != "mixed":
        raise ValueError(f"unknown variant {variant!r}")
    X = np.zeros((n_samples, n_vars))
    for j in order:
        X[:, j] = X @ B[j] + noise(rng, families[j], n_samples)
        scale = X[:, j].std()
        X[:, j] /= scale
        B[j] /= scale
    return HardDAG(X, B, order, families)
