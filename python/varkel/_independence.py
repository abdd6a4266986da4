"""Independence of residuals: the HSIC test with its gamma approximation.

In a LiNGAM model the noise terms are independent. The residuals of the
fitted graph estimate them; a pair that is clearly dependent suggests a
hidden common cause (or a wrong graph). The test is the Hilbert-Schmidt
independence criterion with Gaussian kernels (width: the median distance
between samples) and the gamma approximation of its null distribution
(Gretton et al., 2008), which suits non-Gaussian data and needs no
permutations. It costs O(m^2) per pair, so above MAX_ROWS rows it runs on
MAX_ROWS rows evenly spaced through the data.
"""

from __future__ import annotations

import warnings

import numpy as np

MAX_ROWS = 1000
# The gamma approximation's variance has the factor (m - 4)(m - 5) over
# (m - 1)(m - 2)(m - 3): below this many rows it is zero or undefined.
MIN_ROWS = 6


def _centred_kernel(column: np.ndarray) -> tuple[np.ndarray, float]:
    """The centred Gaussian kernel matrix H K H of one column, and the mean
    of K's off-diagonal entries."""
    m = column.shape[0]
    differences = column[:, None] - column[None, :]
    distances = np.abs(differences[np.triu_indices(m, 1)])
    width = float(np.median(distances[distances > 0])) if np.any(distances > 0) else 1.0
    kernel = np.exp(-(differences**2) / (2.0 * width * width))
    off_diagonal_mean = (kernel.sum() - np.trace(kernel)) / (m * (m - 1))
    centred = kernel - kernel.mean(axis=0)[None, :] - kernel.mean(axis=1)[:, None] + kernel.mean()
    return centred, float(off_diagonal_mean)


def hsic_gamma_p_value(a: tuple[np.ndarray, float], b: tuple[np.ndarray, float],
                       m: int) -> float:
    """The p-value of independence for two columns, from their centred
    kernels (as _centred_kernel gives them)."""
    from scipy.stats import gamma  # noqa: PLC0415 - scipy comes with scikit-learn

    (K, mean_k), (L, mean_l) = a, b
    product = K * L
    statistic = product.sum() / m
    variance = (product / 6.0) ** 2
    variance = (variance.sum() - np.trace(variance)) / m / (m - 1)
    variance *= 72.0 * (m - 4) * (m - 5) / m / (m - 1) / (m - 2) / (m - 3)
    mean = (1.0 + mean_k * mean_l - mean_k - mean_l) / m
    if not (variance > 0.0 and mean > 0.0):
        return 1.0
    shape, scale = mean * mean / variance, variance * m / mean
    return float(gamma.sf(statistic, shape, scale=scale))


def independence_p_values(residuals: np.ndarray) -> np.ndarray:
    """P[i, j]: the p-value of the independence of residual columns i and j
    (symmetric, 1 on the diagonal)."""
    m, n_vars = residuals.shape
    if m < MIN_ROWS:
        warnings.warn(f"the independence test needs at least {MIN_ROWS} rows, got {m}: its "
                      "p-values are NaN", stacklevel=3)
        p = np.full((n_vars, n_vars), np.nan)
        np.fill_diagonal(p, 1.0)
        return p
    if m > MAX_ROWS:
        residuals = residuals[np.linspace(0, m - 1, MAX_ROWS).astype(np.intp)]
        m = MAX_ROWS
    kernels = [_centred_kernel(residuals[:, j]) for j in range(n_vars)]
    p = np.ones((n_vars, n_vars))
    for i in range(n_vars):
        for j in range(i + 1, n_vars):
            p[i, j] = p[j, i] = hsic_gamma_p_value(kernels[i], kernels[j], m)
    return p
