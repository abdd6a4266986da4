"""How stable the graph is: the estimator refitted on resamples of the rows."""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from varkel._errors import InputError


@dataclass(frozen=True, eq=False)
class BootstrapResult:
    """The estimator's results on n_sampling resamples of the data.

    adjacency_matrices_: (n_sampling, n, n); entry [s, i, j] != 0 means
        x_j -> x_i in resample s.
    causal_orders_: (n_sampling, n) causal orders, causes first.
    feature_names_: the variables' names.
    skipped_resamples_: the indices of resamples that could not be searched
        (a column constant in the resample, say); they are left out of the
        arrays above, which then have fewer than n_sampling entries.
    """

    adjacency_matrices_: np.ndarray
    causal_orders_: np.ndarray
    feature_names_: list[str]
    skipped_resamples_: list[int] = field(default_factory=list)

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
                and self.skipped_resamples_ == other.skipped_resamples_
                and np.array_equal(self.adjacency_matrices_, other.adjacency_matrices_)
                and np.array_equal(self.causal_orders_, other.causal_orders_))

    __hash__ = None  # type: ignore[assignment]


def resampling_seed(random_state: int | np.random.Generator | None) -> np.random.SeedSequence:
    """The root of every resample's generator: from an integer seed, from
    one draw of a Generator, or fresh entropy."""
    if isinstance(random_state, np.random.Generator):
        return np.random.SeedSequence(random_state.integers(0, 2**63, size=4).tolist())
    return np.random.SeedSequence(random_state)


def resample_rows(seed: np.random.SeedSequence, index: int, n_samples: int) -> np.ndarray:
    """The row indices of resample `index`: drawn from a generator of its
    own, so a resample is the same whichever thread draws it, and when, and
    nothing is drawn before it is fitted."""
    child = np.random.SeedSequence(seed.entropy, spawn_key=(*seed.spawn_key, index))
    return np.random.default_rng(child).integers(0, n_samples, size=n_samples)
