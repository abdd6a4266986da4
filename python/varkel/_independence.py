"""Independence of residuals: the HSIC test with its gamma approximation.

In a LiNGAM model the noise terms are independent. The residuals of the
fitted graph estimate them; a pair that is clearly dependent suggests a
hidden common cause (or a wrong graph). The test is the Hilbert-Schmidt
independence criterion with Gaussian kernels (width: the median distance
between samples) and the gamma approximation of its null distribution
(Gretton et al., 2008), which suits non-Gaussian data and needs no
permutations. It costs O(m^2) per pair, so above MAX_ROWS rows it runs on
MAX_ROWS rows evenly spaced through the data.

Every pair's statistic and variance are sums over the entrywise products of
two centred kernel matrices, so all pairs come from two matrix products of
the flattened kernels (and of their squares), built a band of rows at a
time to keep memory at n_vars * ROW_BAND * m values.
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass

import numpy as np

MAX_ROWS = 1000
# The gamma approximation's variance has the factor (m - 4)(m - 5) over
# (m - 1)(m - 2)(m - 3): below this many rows it is zero or undefined.
MIN_ROWS = 6
ROW_BAND = 64
# A pair is dependent when its p-value is below ALPHA divided by the number
# of pairs tested (Bonferroni). The test runs on estimated residuals, whose
# estimation error alone makes it reject more often than its level says
# (about twice as often at 0.05 with exponential noise), and the gamma
# approximation's far tail is too light (p < 1e-3 about three times as often
# as it should be, on independent noise). So ALPHA is 0.001, not 0.05:
# bench/diagnostics.py measures what that gives on data that meet the model,
# about 5% of data sets with a pair called dependent at worst.
ALPHA = 0.001


def _widths(residuals: np.ndarray) -> np.ndarray:
    """Each column's kernel width: the median distance between its samples
    (1 for a column whose samples are all equal)."""
    m = residuals.shape[0]
    upper = np.triu_indices(m, 1)
    widths = np.ones(residuals.shape[1])
    for j in range(residuals.shape[1]):
        distances = np.abs(residuals[:, j][:, None] - residuals[:, j][None, :])[upper]
        if np.any(distances > 0):
            widths[j] = float(np.median(distances[distances > 0]))
    return widths


def _kernel_rows(residuals: np.ndarray, widths: np.ndarray, rows: slice) -> np.ndarray:
    """Rows `rows` of every column's Gaussian kernel matrix: (n, band, m)."""
    band = residuals[rows].T[:, :, None] - residuals.T[:, None, :]
    return np.asarray(np.exp(-(band * band) / (2.0 * widths * widths)[:, None, None]))


def independence_p_values(residuals: np.ndarray) -> np.ndarray:
    """P[i, j]: the p-value of the independence of residual columns i and j
    (symmetric, 1 on the diagonal)."""
    from scipy.stats import gamma  # noqa: PLC0415 - scipy comes with scikit-learn

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
    residuals = np.ascontiguousarray(residuals, dtype=np.float64)
    widths = _widths(residuals)
    bands = [slice(start, min(start + ROW_BAND, m)) for start in range(0, m, ROW_BAND)]
    # The kernels are symmetric: row means are column means.
    row_means = np.hstack([_kernel_rows(residuals, widths, rows).mean(axis=2) for rows in bands])
    grand_means = row_means.mean(axis=1)
    products, squared_products = np.zeros((n_vars, n_vars)), np.zeros((n_vars, n_vars))
    diagonal_squares = np.empty((n_vars, m))
    for rows in bands:
        centred = _kernel_rows(residuals, widths, rows)
        centred -= row_means[:, rows, None]
        centred -= row_means[:, None, :]
        centred += grand_means[:, None, None]
        flat = centred.reshape(n_vars, -1)
        products += flat @ flat.T
        flat *= flat
        squared_products += flat @ flat.T
        diagonal_squares[:, rows] = centred[:, np.arange(rows.stop - rows.start),
                                            np.arange(rows.start, rows.stop)]
    statistic = products / m
    # The variance of the statistic under independence: the mean of the
    # off-diagonal entries of (K o L / 6)^2, scaled.
    variance = (squared_products - diagonal_squares @ diagonal_squares.T) / 36.0 / m / (m - 1)
    variance *= 72.0 * (m - 4) * (m - 5) / m / (m - 1) / (m - 2) / (m - 3)
    # Mean of each kernel's off-diagonal entries (its diagonal is all ones).
    off_diagonal = (grand_means * m * m - m) / (m * (m - 1))
    mean = (1.0 + np.outer(off_diagonal, off_diagonal) - off_diagonal[:, None]
            - off_diagonal[None, :]) / m
    p = np.ones((n_vars, n_vars))
    i, j = np.triu_indices(n_vars, 1)
    usable = (variance[i, j] > 0.0) & (mean[i, j] > 0.0)
    shape = np.where(usable, mean[i, j] ** 2 / np.where(usable, variance[i, j], 1.0), 1.0)
    scale = np.where(usable, variance[i, j] * m / np.where(usable, mean[i, j], 1.0), 1.0)
    p[i, j] = np.where(usable, gamma.sf(statistic[i, j], shape, scale=scale), 1.0)
    p[j, i] = p[i, j]
    return p


@dataclass(frozen=True)
class IndependenceCheck:
    """The test of the fitted model's central assumption: are its residuals
    independent?

    ``str()`` gives the command line's line, such as "residuals:
    independent (45 pairs tested)".

    Attributes
    ----------
    pairs_tested : int
        The pairs of residuals tested (HSIC).
    dependent : int
        The pairs whose p-value is below 0.001 / pairs_tested.
    smallest_p : float or None
        The smallest p-value; None when no pair was tested.
    worst_pair : (str, str) or None
        The names of the pair it belongs to.
    """

    pairs_tested: int
    dependent: int
    smallest_p: float | None
    worst_pair: tuple[str, str] | None

    def __str__(self) -> str:
        if self.pairs_tested == 0 or self.smallest_p is None or np.isnan(self.smallest_p):
            return "residuals: not tested (too few rows or variables)"
        if self.dependent == 0:
            return f"residuals: independent ({self.pairs_tested} pairs tested)"
        assert self.worst_pair is not None
        a, b = self.worst_pair
        return (f"residuals: {self.dependent} of {self.pairs_tested} pairs dependent; "
                f"worst {a}\u2013{b}, p = {self.smallest_p:.2g}")

    def to_dict(self) -> dict[str, object]:
        """The check as JSON's types."""
        return {"pairs_tested": self.pairs_tested, "dependent": self.dependent,
                "smallest_p": self.smallest_p,
                "worst_pair": None if self.worst_pair is None else list(self.worst_pair)}


def check_independence(p: np.ndarray, names: list[str]) -> IndependenceCheck:
    """The summary of a matrix of pairwise p-values (independence_p_values)."""
    n_vars = p.shape[0]
    i, j = np.triu_indices(n_vars, 1)
    values = p[i, j]
    if values.size == 0 or np.all(np.isnan(values)):
        return IndependenceCheck(int(values.size) if values.size == 0 else 0, 0, None, None)
    worst = int(np.nanargmin(values))
    return IndependenceCheck(int(values.size), int(np.sum(values < ALPHA / values.size)),
                             float(values[worst]), (names[i[worst]], names[j[worst]]))
