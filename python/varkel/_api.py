"""The one-call API: validate, standardise, search, walk the sink table."""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from statistics import NormalDist
from typing import Literal, Union

import numpy as np
import numpy.typing as npt

from _exhaustive_kernel import _sink_dp

MAX_VARS = 30
ReferenceName = Literal["normal", "laplace", "uniform"]
REFERENCES: tuple[str, ...] = ("normal", "laplace", "uniform")


class InputError(ValueError):
    """The data or the options cannot be searched; the message says why."""


@dataclass(frozen=True)
class CausalOrder:
    """Result of :func:`causal_order`.

    order: column indices from first (a root cause) to last (a pure effect).
    total: the best total score, a float32 value widened to float.
    sinks: the search's table; entry S is the last variable of the best
        ordering of the subset with bit mask S, or -1.
    reference: the reference's name, or "custom" for a caller's vector.
    reference_vector: the sorted reference values the residuals were compared with.
    """

    order: list[int]
    total: float
    sinks: np.ndarray = field(repr=False)
    reference: str
    reference_vector: np.ndarray = field(repr=False)


def _plotting_positions(n: int) -> list[float]:
    # Blom's positions (i - 3/8) / (n + 1/4), i = 1..n.
    return [(i - 0.375) / (n + 0.25) for i in range(1, n + 1)]


def _laplace_quantile(p: float) -> float:
    return math.log(2.0 * p) if p < 0.5 else -math.log(2.0 - 2.0 * p)


_QUANTILES = {
    "normal": NormalDist().inv_cdf,
    "laplace": _laplace_quantile,
    "uniform": lambda p: p - 0.5,
}


def reference_vector(name: str, n_samples: int) -> np.ndarray:
    """Quantiles of the named distribution at Blom's positions, ascending,
    rescaled to mean 0 and mean square 1."""
    if name not in _QUANTILES:
        raise InputError(f"unknown reference {name!r}; choose one of {', '.join(REFERENCES)}")
    if n_samples < 2:
        raise InputError("a reference vector needs at least 2 samples")
    q = np.array([_QUANTILES[name](p) for p in _plotting_positions(n_samples)])
    q -= q.mean()
    return q / math.sqrt(float(np.mean(q * q)))


def _as_data_matrix(X: npt.ArrayLike) -> np.ndarray:
    try:
        data = np.asarray(X, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise InputError(f"X must be a numeric matrix: {error}") from None
    if data.ndim != 2:
        raise InputError(f"X must be two-dimensional (samples x variables), got {data.ndim} "
                         "dimensions")
    n_samples, n_vars = data.shape
    if n_vars == 0:
        raise InputError("X has no columns")
    if n_vars > MAX_VARS:
        raise InputError(f"X has {n_vars} variables; the exhaustive search handles at most "
                         f"{MAX_VARS}")
    if n_samples < max(n_vars, 2):
        raise InputError(f"X has {n_samples} samples for {n_vars} variables; it needs at "
                         f"least {max(n_vars, 2)}")
    bad = ~np.isfinite(data)
    if bad.any():
        row, col = map(int, np.argwhere(bad)[0])
        raise InputError(f"X[{row}, {col}] is {data[row, col]}: values must be finite")
    return data


def _refuse_constant(data: np.ndarray) -> None:
    constant = [int(j) for j in np.flatnonzero(np.all(data == data[0], axis=0))]
    if constant:
        raise InputError(f"column {constant[0]} is constant; it cannot be ordered"
                         + (f" (constant columns: {constant})" if len(constant) > 1 else ""))


def _standardize(data: np.ndarray) -> np.ndarray:
    centred = data - data.mean(axis=0)
    return np.ascontiguousarray(centred / np.sqrt(np.mean(centred * centred, axis=0)))


def _resolve_reference(reference: Union[str, npt.ArrayLike], n_samples: int
                       ) -> tuple[str, np.ndarray]:
    if isinstance(reference, str):
        return reference, reference_vector(reference, n_samples)
    values = np.asarray(reference, dtype=np.float64)
    if values.shape != (n_samples,):
        raise InputError(f"reference must be a name or a vector of {n_samples} values, got "
                         f"shape {values.shape}")
    if not np.all(np.isfinite(values)):
        raise InputError("reference values must be finite")
    return "custom", np.sort(values)


def order_from_sinks(sinks: npt.ArrayLike, n_vars: int) -> list[int]:
    """Walks a sink table from the full set down: returns the best ordering,
    first variable first. Raises InputError where a subset has no sink."""
    table = np.asarray(sinks)
    if table.shape != (1 << n_vars,):
        raise InputError(f"a table for {n_vars} variables has {1 << n_vars} entries, got "
                         f"shape {table.shape}")
    subset = (1 << n_vars) - 1
    reversed_order = []
    while subset:
        sink = int(table[subset])
        if sink < 0:
            members = [j for j in range(n_vars) if subset >> j & 1]
            raise InputError(f"no ordering of variables {members} has a finite score "
                             "(singular or degenerate data?)")
        if not subset >> sink & 1:
            raise InputError(f"table entry {subset} names variable {sink}, not a member")
        reversed_order.append(sink)
        subset &= ~(1 << sink)
    return reversed_order[::-1]


def causal_order(X: npt.ArrayLike, *, reference: Union[ReferenceName, npt.ArrayLike] = "normal",
                 threads: int = 0, standardize: bool = True) -> CausalOrder:
    """The best ordering of the columns of X (samples x variables).

    reference: "normal" (default), "laplace", "uniform", or a vector of
        n_samples values whose sorted entries the sorted standardised
        residuals are compared with.
    threads: worker threads for the search; 0 uses every processor this
        thread may run on. The result does not depend on it.
    standardize: scale each column to mean 0 and variance 1 first (the
        order found is then independent of the columns' units).
    """
    if isinstance(threads, bool) or not isinstance(threads, int) or threads < 0:
        raise InputError(f"threads must be a non-negative integer, got {threads!r}")
    data = _as_data_matrix(X)
    n_samples, n_vars = data.shape
    _refuse_constant(data)
    data = _standardize(data) if standardize else np.ascontiguousarray(data)
    name, R = _resolve_reference(reference, n_samples)
    sinks, total = _sink_dp(data, data.T @ data, R, n_vars, threads)
    return CausalOrder(order=order_from_sinks(sinks, n_vars), total=total, sinks=sinks,
                       reference=name, reference_vector=R)
