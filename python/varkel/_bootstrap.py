"""How stable the graph is: the estimator refitted on resamples of the rows."""

from __future__ import annotations

import itertools
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any, TypeVar

import numpy as np

from varkel._effects import check_effect_indices
from varkel._errors import InputError
from varkel._memory import memory_left
from varkel._options import check_count
from varkel._parallel import map_bounded

T = TypeVar("T")


@dataclass(frozen=True, eq=False)
class BootstrapResult:
    """The estimator's results on n_sampling resamples of the data.

    Attributes
    ----------
    adjacency_matrices_ : (n_sampling, n, n) array
        Entry [s, i, j] != 0 means x_j -> x_i in resample s.
    causal_orders_ : (n_sampling, n) array
        Causal orders, causes first.
    feature_names_ : list of str
        The variables' names.
    skipped_resamples_ : list of int
        The indices of resamples that could not be searched (a column
        constant in the resample, say); they are left out of every
        per-resample array, which then has fewer than n_sampling entries.
    total_effects_ : (n_sampling, n, n) array or None
        Entry [s, i, j] is the total effect of x_j on x_i in resample s (0
        where x_i comes first).
    resampled_indices_ : (n_sampling, n_samples) array
        Row indices of each resample, drawn again from the seed when asked
        for.
    """

    adjacency_matrices_: np.ndarray
    causal_orders_: np.ndarray
    feature_names_: list[str]
    skipped_resamples_: list[int] = field(default_factory=list)
    total_effects_: np.ndarray | None = None
    resampling: tuple[np.random.SeedSequence, int, np.ndarray] | None = field(
        default=None, repr=False)

    @property
    def resampled_indices_(self) -> np.ndarray:
        if self.resampling is None:
            raise InputError("this result does not know how its resamples were drawn")
        seed, n_samples, kept = self.resampling
        rows = np.empty((len(kept), n_samples), dtype=np.intp)
        for slot, index in enumerate(kept):
            rows[slot] = resample_rows(seed, int(index), n_samples)
        return rows

    def get_causal_direction_counts(self, n_directions: int | None = None,
                                    min_causal_effect: float | None = None,
                                    split_by_causal_effect_sign: bool = False
                                    ) -> dict[str, list[int]]:
        """The causal directions found in the resamples, by count, largest first.

        Parameters
        ----------
        n_directions : int or None
            Keep the first ones only.
        min_causal_effect : float or None
            Only edges with ``abs(weight)`` above it count.
        split_by_causal_effect_sign : bool
            Count positive and negative edges apart.

        Returns
        -------
        dict
            ``{'from': [...], 'to': [...], 'count': [...]}``, and ``'sign'`` (+1
            or -1) when split by sign.
        """
        selected = np.abs(self.adjacency_matrices_) > _threshold(min_causal_effect)
        counts: dict[tuple[int, ...], int] = {}
        for s, to, source in zip(*np.nonzero(selected), strict=True):
            key: tuple[int, ...] = (int(source), int(to))
            if split_by_causal_effect_sign:
                key += (int(np.sign(self.adjacency_matrices_[s, to, source])),)
            counts[key] = counts.get(key, 0) + 1
        ranked = sorted(counts.items(), key=lambda item: (-item[1], item[0]))[
            :_limit(n_directions, "n_directions")]
        result: dict[str, list[int]] = {"from": [k[0] for k, _ in ranked],
                                        "to": [k[1] for k, _ in ranked],
                                        "count": [c for _, c in ranked]}
        if split_by_causal_effect_sign:
            result["sign"] = [k[2] for k, _ in ranked]
        return result

    def get_directed_acyclic_graph_counts(self, n_dags: int | None = None,
                                          min_causal_effect: float | None = None,
                                          split_by_causal_effect_sign: bool = False
                                          ) -> dict[str, list[Any]]:
        """The distinct graphs among the resamples, by count, largest first.

        Parameters
        ----------
        n_dags : int or None
            Keep the first ones only.
        min_causal_effect : float or None
            Only edges with ``abs(weight)`` above it count.
        split_by_causal_effect_sign : bool
            Tell graphs apart by their edges' signs too.

        Returns
        -------
        dict
            ``{'dag': [{'from': [...], 'to': [...]}, ...], 'count': [...]}``
            (each graph with ``'sign'`` when split by sign).
        """
        threshold = _threshold(min_causal_effect)
        counts: dict[tuple[tuple[int, ...], ...], int] = {}
        for B in self.adjacency_matrices_:
            edges = []
            for to, source in zip(*np.nonzero(np.abs(B) > threshold), strict=True):
                edge: tuple[int, ...] = (int(source), int(to))
                if split_by_causal_effect_sign:
                    edge += (int(np.sign(B[to, source])),)
                edges.append(edge)
            key = tuple(sorted(edges))
            counts[key] = counts.get(key, 0) + 1
        ranked = sorted(counts.items(), key=lambda item: (-item[1], item[0]))[
            :_limit(n_dags, "n_dags")]
        dags = []
        for key, _ in ranked:
            dag: dict[str, list[int]] = {"from": [e[0] for e in key], "to": [e[1] for e in key]}
            if split_by_causal_effect_sign:
                dag["sign"] = [e[2] for e in key]
            dags.append(dag)
        return {"dag": dags, "count": [c for _, c in ranked]}

    def get_total_causal_effects(self, min_causal_effect: float | None = None
                                 ) -> dict[str, list[Any]]:
        """Total effects found in the resamples, by how often they are nonzero.

        Parameters
        ----------
        min_causal_effect : float or None
            Only effects with ``abs(effect)`` above it count.

        Returns
        -------
        dict
            ``{'from': [...], 'to': [...], 'effect': [...], 'probability': [...]}``,
            largest probability first; ``effect`` is the median over the resamples
            in which the effect counts.
        """
        effects = self._effects()
        selected = np.abs(effects) > _threshold(min_causal_effect)
        share = selected.mean(axis=0) if len(effects) else np.zeros(effects.shape[1:])
        pairs = sorted(((float(share[to, source]), int(source), int(to))
                        for to, source in zip(*np.nonzero(share), strict=True)),
                       key=lambda item: (-item[0], item[1], item[2]))
        return {"from": [source for _, source, _ in pairs], "to": [to for _, _, to in pairs],
                "effect": [float(np.median(effects[selected[:, to, source], to, source]))
                           for _, source, to in pairs],
                "probability": [p for p, _, _ in pairs]}

    def get_paths(self, from_index: int, to_index: int,
                  min_causal_effect: float | None = None) -> dict[str, list[Any]]:
        """The directed paths from x_from to x_to in the resamples' graphs.

        Parameters
        ----------
        from_index, to_index : int
            Column indices.
        min_causal_effect : float or None
            Only edges with ``abs(weight)`` above it count.

        Returns
        -------
        dict
            ``{'path': [[from, ..., to], ...], 'effect': [...], 'probability':
            [...]}``, by the share of resamples that have the path, largest first;
            ``effect`` is the median over those resamples of the product of the
            path's weights.
        """
        source, target = check_effect_indices(from_index, to_index, len(self.feature_names_))
        threshold = _threshold(min_causal_effect)
        found: dict[tuple[int, ...], list[float]] = {}
        for B in self.adjacency_matrices_:
            for path in _paths(np.abs(B) > threshold, source, target):
                effect = float(np.prod([B[b, a] for a, b in itertools.pairwise(path)]))
                found.setdefault(tuple(path), []).append(effect)
        total = max(len(self.adjacency_matrices_), 1)
        ranked = sorted(found.items(), key=lambda item: (-len(item[1]), item[0]))
        return {"path": [list(path) for path, _ in ranked],
                "effect": [float(np.median(effects)) for _, effects in ranked],
                "probability": [len(effects) / total for _, effects in ranked]}

    def _effects(self) -> np.ndarray:
        if self.total_effects_ is None:
            raise InputError("this result has no total effects")
        return self.total_effects_

    def get_probabilities(self, min_causal_effect: float | None = None) -> np.ndarray:
        """How often each edge appears among the resamples.

        Parameters
        ----------
        min_causal_effect : float or None
            Only edges with ``abs(weight)`` above it count.

        Returns
        -------
        (n, n) array
            ``P[i, j]``: the share of resamples with the edge x_j -> x_i.
        """
        threshold = _threshold(min_causal_effect)
        selected = np.abs(self.adjacency_matrices_) > threshold
        return np.asarray(selected.mean(axis=0))

    def get_order_probabilities(self) -> np.ndarray:
        """How often each variable comes before each other one.

        Returns
        -------
        (n, n) array
            ``P[i, j]``: the share of resamples in which x_j comes before x_i.
        """
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
                and np.array_equal(self._effects_or_empty(), other._effects_or_empty())
                and np.array_equal(self.adjacency_matrices_, other.adjacency_matrices_)
                and np.array_equal(self.causal_orders_, other.causal_orders_))

    def _effects_or_empty(self) -> np.ndarray:
        return np.empty(0) if self.total_effects_ is None else self.total_effects_

    __hash__ = None  # type: ignore[assignment]


def bootstrap_probabilities(bootstrap: BootstrapResult, names: list[str],
                            shape: tuple[int, ...]) -> np.ndarray:
    """The bootstrap's edge probabilities, refused unless it was drawn for
    these variables: another data set's would label the wrong edges."""
    if not isinstance(bootstrap, BootstrapResult):
        raise InputError(f"bootstrap must be a BootstrapResult, got {type(bootstrap).__name__}")
    probabilities = bootstrap.get_probabilities()
    if list(bootstrap.feature_names_) != list(names) or probabilities.shape != shape:
        raise InputError(f"the bootstrap is of other data ({len(bootstrap.feature_names_)} "
                         f"variables, edges {probabilities.shape}) than the model ("
                         f"{len(names)} variables, edges {shape}); bootstrap the data the "
                         "model was fitted on")
    return probabilities


def _limit(count: object, name: str) -> int | None:
    """How many entries to keep: None keeps all."""
    return None if count is None else check_count(count, name)


def _threshold(min_causal_effect: float | None) -> float:
    if min_causal_effect is None:
        return 0.0
    threshold = float(min_causal_effect)
    if not threshold >= 0.0:
        raise InputError(f"min_causal_effect must be 0 or more, got {min_causal_effect}")
    return threshold


def _paths(edges: np.ndarray, source: int, target: int) -> list[list[int]]:
    """Every directed path source -> ... -> target of an acyclic graph whose
    edges[i, j] means x_j -> x_i."""
    if source == target:
        return []
    found: list[list[int]] = []
    stack = [[source]]
    while stack:
        path = stack.pop()
        for child in np.flatnonzero(edges[:, path[-1]]):
            step = [*path, int(child)]
            if child == target:
                found.append(step)
            elif child not in path:
                stack.append(step)
    return found


def resampling_seed(random_state: int | np.random.Generator | None) -> np.random.SeedSequence:
    """The root of every resample's generator: from an integer seed, from
    one draw of a Generator, or fresh entropy."""
    check_random_state(random_state)
    if isinstance(random_state, np.random.Generator):
        return np.random.SeedSequence(random_state.integers(0, 2**63, size=4).tolist())
    return np.random.SeedSequence(random_state)


def check_random_state(random_state: object) -> None:
    """None, a NumPy Generator or a non-negative integer; checked when the
    estimator is fitted, not first when bootstrap() draws."""
    if random_state is None or isinstance(random_state, np.random.Generator):
        return
    try:
        check_count(random_state, "random_state")
    except InputError:
        raise InputError(f"random_state must be None, a non-negative integer or a NumPy "
                         f"Generator, got {random_state!r}") from None


def resample_rows(seed: np.random.SeedSequence, index: int, n_samples: int) -> np.ndarray:
    """The row indices of resample `index`: drawn from a generator of its
    own, so a resample is the same whichever thread draws it, and when, and
    nothing is drawn before it is fitted."""
    child = np.random.SeedSequence(seed.entropy, spawn_key=(*seed.spawn_key, index))
    return np.random.default_rng(child).integers(0, n_samples, size=n_samples)


def run_resamples(fit_resample: Callable[[int], T | str], count: int, workers: int,
                  progress: Callable[[int, int], Any] | None) -> tuple[list[int], list[T],
                                                                         list[int]]:
    """Fits resamples 0 .. count - 1 on `workers` threads or processes.
    fit_resample returns a result, or a string: why that resample cannot be
    searched. Returns the kept indices and their results, in index order,
    and the skipped indices; more than half skipped raises InputError naming
    the first one's reason."""
    results: dict[int, T] = {}
    failures: dict[int, str] = {}
    for done, (index, outcome) in enumerate(map_bounded(fit_resample, count, workers),
                                            start=1):
        if isinstance(outcome, str):
            failures[index] = outcome
        else:
            results[index] = outcome
        if progress is not None:
            progress(done, count)
    if 2 * len(failures) > count:
        first = min(failures)
        raise InputError(f"{len(failures)} of {count} bootstrap resamples could not be "
                         f"searched; resample {first}: {failures[first]}")
    kept = sorted(results)
    return kept, [results[i] for i in kept], sorted(failures)


def check_result_memory(count: int, per_resample: int, what: str) -> None:
    """Refuses a bootstrap whose results alone (per_resample doubles each)
    would not fit in memory."""
    needed = count * per_resample * 8
    left, limit = memory_left()
    if needed > left:
        raise MemoryError(f"{count:,} bootstrap resamples of {what} need "
                          f"{needed / 2**30:.1f} GiB for their results, more than the "
                          f"{left / 2**30:.1f} GiB left (limited by {limit})")
