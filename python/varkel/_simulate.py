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
    """Samples X from a random linear DAG.

    The causal order is a random permutation of the columns; each variable is
    a weighted sum of those before it (each edge kept with probability
    ``density``, weights of magnitude 0.5 to 1.5 with random signs) plus
    independent noise, rescaled to unit standard deviation.

    Parameters
    ----------
    n_vars, n_samples : int
    seed : int
    density : float
        The probability of each edge.
    noise : "uniform" or "laplace"

    Returns
    -------
    X : (n_samples, n_vars) array
    order : list of int
        The true order, causes first.
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
    """Samples of a simulated DAG.

    Attributes
    ----------
    X : (n_samples, n) array
    adjacency : (n, n) array
        ``adjacency[i, j] != 0``: x_j -> x_i with that weight.
    order : list of int
        A causal order, causes first.
    """

    X: np.ndarray          # samples x variables
    adjacency: np.ndarray  # adjacency[i, j] != 0: x_j -> x_i with that weight
    order: list[int]       # a causal order, causes first


def simulate_dag(n_vars: int, n_samples: int, seed: int = 0, *,
                 edge_probability: float = 0.3, noise: str = "uniform") -> SimulatedDAG:
    """A random sparse linear DAG and samples from it.

    Each pair of variables is joined with probability ``edge_probability``, in
    the direction of a random causal order, with a weight of magnitude 0.5 to
    1.5 and a random sign. Each variable is its parents' weighted sum plus
    independent noise.

    Parameters
    ----------
    n_vars, n_samples : int
    seed : int
    edge_probability : float
    noise : "uniform" or "laplace"

    Returns
    -------
    SimulatedDAG
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


def simulate_groups(n_vars: int, n_samples: Sequence[int], seed: int = 0, *,
                    edge_probability: float = 0.3, noise: str = "uniform") -> list[SimulatedDAG]:
    """Data sets that share one causal structure but not its strengths.

    In each group every edge's weight is the shared one times a factor from
    0.5 to 1.5, and every noise term is scaled by a factor from 0.5 to 2.

    Parameters
    ----------
    n_vars : int
    n_samples : sequence of int
        One group per entry, with that many rows.
    seed : int
    edge_probability : float
    noise : "uniform" or "laplace"

    Returns
    -------
    list of SimulatedDAG
    """
    rng = np.random.default_rng(seed)
    shared = simulate_dag(n_vars, 2, seed, edge_probability=edge_probability)
    groups = []
    for rows in n_samples:
        B = shared.adjacency * rng.uniform(0.5, 1.5, shared.adjacency.shape)
        E = _noise(rng, noise, (rows, n_vars)) * rng.uniform(0.5, 2.0, n_vars)
        X = np.zeros((rows, n_vars))
        for j in shared.order:
            X[:, j] = X @ B[j] + E[:, j]
        groups.append(SimulatedDAG(X, B, shared.order))
    return groups


@dataclass(frozen=True)
class SimulatedVAR:
    """A stretch of a simulated VAR-LiNGAM process.

    Attributes
    ----------
    X : (T, n) array
        Time steps x variables, oldest first.
    adjacency : (lags + 1, n, n) array
        B0, B1, ...; entry [τ, i, j] != 0: x_j(t - τ) -> x_i(t).
    order : list of int
        The instantaneous causal order, causes first.
    """

    X: np.ndarray          # time steps x variables, oldest first
    adjacency: np.ndarray  # (lags + 1, n, n): B0, B1, ...; [τ, i, j] != 0: x_j(t-τ) -> x_i(t)
    order: list[int]       # the instantaneous causal order, causes first


def simulate_var(n_vars: int, n_steps: int, seed: int = 0, *, lags: int = 1,
                 edge_probability: float = 0.3, noise: str = "uniform") -> SimulatedVAR:
    """A random VAR-LiNGAM process and a stretch of it.

    B0 is a random sparse DAG as in :func:`simulate_dag`. Each lagged matrix
    Bτ has each entry with probability ``edge_probability``, of magnitude 0.2
    to 0.5 and a random sign, scaled down where needed so that the process is
    stable. The series starts after a burn-in of 200 steps.

    Parameters
    ----------
    n_vars, n_steps : int
    seed : int
    lags : int
    edge_probability : float
    noise : "uniform" or "laplace"

    Returns
    -------
    SimulatedVAR
    """
    rng = np.random.default_rng(seed)
    instantaneous = simulate_dag(n_vars, 2, seed, edge_probability=edge_probability)
    B0 = instantaneous.adjacency
    mask = rng.random((lags, n_vars, n_vars)) < edge_probability
    weights = rng.uniform(0.2, 0.5, mask.shape) * rng.choice((-1.0, 1.0), mask.shape)
    B = np.where(mask, weights, 0.0)
    mixing = np.linalg.inv(np.eye(n_vars) - B0)
    while spectral_radius([mixing @ b for b in B]) >= 0.9:
        B *= 0.8
    burn_in = 200
    E = _noise(rng, noise, (n_steps + burn_in, n_vars))
    X = np.zeros((n_steps + burn_in, n_vars))
    for t in range(n_steps + burn_in):
        value = E[t].copy()
        for tau in range(1, lags + 1):
            if t >= tau:
                value += B[tau - 1] @ X[t - tau]
        X[t] = mixing @ value
    return SimulatedVAR(X[burn_in:], np.concatenate([B0[None], B]), instantaneous.order)


def spectral_radius(matrices: list[np.ndarray]) -> float:
    """The largest eigenvalue magnitude of a VAR's companion matrix."""
    n, p = matrices[0].shape[0], len(matrices)
    companion = np.zeros((n * p, n * p))
    companion[:n] = np.hstack(matrices)
    companion[n:, :-n] = np.eye(n * (p - 1))
    return float(np.max(np.abs(np.linalg.eigvals(companion))))


def pair_agreement(true_order: Sequence[int], found_order: Sequence[int]) -> float:
    """The share of ordered pairs of one order that another order keeps.

    Parameters
    ----------
    true_order, found_order : sequences of int

    Returns
    -------
    float
        The fraction of pairs (i before j in true_order) that found_order also
        puts in that order; 1 for fewer than two variables.
    """
    position = {v: k for k, v in enumerate(found_order)}
    pairs = [(a, b) for k, a in enumerate(true_order) for b in true_order[k + 1:]]
    if not pairs:
        return 1.0
    return sum(position[a] < position[b] for a, b in pairs) / len(pairs)
