"""Total causal effects implied by a fitted graph.

The total effect of x_from on x_to is the coefficient of x_from when x_to
is regressed (least squares, with an intercept) on x_from and x_from's
parents in the graph: adjusting for the parents blocks every back-door
path, so the coefficient carries the effect along every directed path.
"""

from __future__ import annotations

import warnings

import numpy as np

from varkel._data import scale_exactly, scale_exponents
from varkel._errors import InputError
from varkel._options import check_count


def check_effect_indices(from_index: object, to_index: object, n_vars: int) -> tuple[int, int]:
    """from_index and to_index as variable indices below n_vars."""
    source, target = (check_count(v, name) for v, name in
                      ((from_index, "from_index"), (to_index, "to_index")))
    if max(source, target) >= n_vars:
        raise InputError(f"from_index and to_index must be below {n_vars}")
    return source, target


def no_path_warning(names: list[str], source: int, target: int) -> None:
    """Warns that the order puts the target first, so the effect is 0."""
    warnings.warn(f"{names[target]!r} comes before {names[source]!r} in the causal order, so "
                  f"the model has no path from {names[source]!r} to {names[target]!r}: the "
                  "total effect is 0", stacklevel=3)


def total_effect(values: np.ndarray, adjacency: np.ndarray, from_index: int,
                 to_index: int) -> float:
    """The coefficient of column from_index when column to_index is
    regressed on it and its parents (adjacency[from_index] != 0). Columns
    are first scaled by exact powers of two, so any finite scale works."""
    return _scaled_effect(scale_exactly(values), scale_exponents(values), adjacency,
                          from_index, to_index)


def _scaled_effect(scaled: np.ndarray, exponents: np.ndarray, adjacency: np.ndarray,
                   from_index: int, to_index: int) -> float:
    """total_effect on columns already scaled by 2^-exponents."""
    predictors = [from_index, *(int(p) for p in np.flatnonzero(adjacency[from_index]))]
    design = scaled[:, predictors]
    design = design - design.mean(axis=0)
    response = scaled[:, to_index] - scaled[:, to_index].mean()
    coefficients, *_ = np.linalg.lstsq(design, response, rcond=None)
    # Undo the scaling: b_data = b_scaled * 2^-e_from / 2^-e_to.
    return float(coefficients[0] * np.ldexp(1.0, int(exponents[to_index])
                                            - int(exponents[from_index])))


def total_effects(values: np.ndarray, adjacency: np.ndarray, order: list[int]) -> np.ndarray:
    """E[to, from]: the total effect of every variable on every later one in
    the order; 0 where `to` comes first (the model has no path that way)."""
    n_vars = values.shape[1]
    scaled, exponents = scale_exactly(values), scale_exponents(values)  # once for every pair
    effects = np.zeros((n_vars, n_vars))
    for position, source in enumerate(order):
        for target in order[position + 1:]:
            effects[target, source] = _scaled_effect(scaled, exponents, adjacency, source,
                                                     target)
    return effects
