"""How stable the graph is: the estimator refitted on resamples of the rows."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from varkel._errors import InputError


@dataclass(frozen=True, eq=False)
class BootstrapResult:
    """The estimator's results on n_sampling resamples of the data.

    adjacency_matrices_: (n_sampling, n, n); entry [s, i, j] != 0 means
        x_j -> x_i in resample s.
    causal_orders_: (n_sampling, n) causal orders, causes first.
    feature_names_: the variables' names.
    """

    adjacency_matrices_: np.ndarray
    causal_orders_: np.ndarray
    feature_names_: list[str]

    def get_probabilities(self, min_causal_effect: float | None = None) -> np.ndarray:
        """P[i, j]: the share of resamples with the edge x_j -> x_i (with
        |weight| above min_causal_effect, when given)."""
        threshold = 0.0
        if min_causal_effect is not None:
            threshold = float(min_causal_effect)
            if not threshold >= 0.0:
                raise InputError(f"min_causal_effect must be 0 or more, got {min_causal_effect}")
        selected = np.abs(self.adjacency_matrices_) > threshold
        return np.asarray(selected.mean(axis=0))

    def get_order_probabilities(self) -> np.ndarray:
        """P[i, j]: the share of resamples in which x_j comes before x_i."""
        n_sampling, n_vars = self.causal_orders_.shape
        position = np.empty_like(self.causal_orders_)
        rows = np.arange(n_sampling)[:, None]
        position[rows, self.causal_orders_] = np.arange(n_vars)
        before = position[:, None, :] < position[:, :, None]  # [s, i, j]: j before i
        return np.asarray(before.mean(axis=0))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, BootstrapResult):
            return NotImplemented
        return (self.feature_names_ == other.feature_names_
                and np.array_equal(self.adjacency_matrices_, other.adjacency_matrices_)
                and np.array_equal(self.causal_orders_, other.causal_orders_))

    __hash__ = None  # type: ignore[assignment]


def resample_rows(random_state: int | np.random.Generator | None, n_sampling: int,
                  n_samples: int) -> np.ndarray:
    """Row indices of every resample, drawn up front in resample order, so
    that the resamples do not depend on how many threads fit them."""
    rng = np.random.default_rng(random_state)
    return rng.integers(0, n_samples, size=(n_sampling, n_samples))
