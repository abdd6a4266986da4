"""From an order to a weighted graph: adaptive lasso with the penalty chosen by BIC.

Each variable is regressed on the variables before it in the causal order
(leaving out predictors the prior knowledge forbids). Ordinary least squares
gives weights |b_ols|; the lasso is then fitted to the predictors multiplied
by those weights, with its penalty chosen by the Bayesian information
criterion (scikit-learn's LassoLarsIC), and its coefficients multiplied back
(Zou's adaptive lasso, as DirectLiNGAM does). Coefficients not selected are
exactly 0. Coefficients are in the caller's units.
"""

from __future__ import annotations

import numpy as np

from varkel._data import scale_exactly, scale_exponents


def adaptive_lasso(X: np.ndarray, predictors: list[int], target: int) -> np.ndarray:
    """Coefficients of X[:, target] on X[:, predictors] (gamma = 1)."""
    # Imported here: scikit-learn takes a second to import, and only the
    # graph needs it.
    from sklearn.linear_model import LassoLarsIC, LinearRegression  # noqa: PLC0415

    design = X[:, predictors]
    response = X[:, target]
    weight = np.abs(LinearRegression().fit(design, response).coef_)
    lasso = LassoLarsIC(criterion="bic").fit(design * weight, response)
    return np.asarray(lasso.coef_ * weight)


def prune_adjacency(values: np.ndarray, order: list[int],
                    forbidden: np.ndarray | None = None) -> np.ndarray:
    """B with B[i, j] != 0 meaning x_j -> x_i, for the given causal order.

    The fits run on columns scaled by exact powers of two, so no square
    overflows at any finite scale; with weights |b_ols| the adaptive lasso
    selects the same predictors at every column scale, and its coefficients
    are scaled back exactly.
    """
    exponents = scale_exponents(values)
    scaled = scale_exactly(values)
    n_vars = values.shape[1]
    B = np.zeros((n_vars, n_vars))
    for position, target in enumerate(order):
        predictors = [p for p in order[:position]
                      if forbidden is None or not forbidden[target, p]]
        if predictors:
            coefficients = adaptive_lasso(scaled, predictors, target)
            # times 2^-e_p / 2^-e_t, as one exact power of two
            B[target, predictors] = coefficients * np.ldexp(
                1.0, exponents[target] - exponents[predictors])
    return B
