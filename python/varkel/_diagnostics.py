"""Warnings, in words, for the cases where a fitted answer should not be
trusted. Each names the variables concerned. The thresholds:

- a residual close to Gaussian: the Jarque-Bera test does not reject
  normality at GAUSSIAN_P (0.05). LiNGAM identifies the place of a variable
  in the order only through the non-Gaussianity of its noise;
- very heavy tails or extreme outliers: a column's excess kurtosis above
  HEAVY_KURTOSIS (20), or a value more than OUTLIER_SPREADS (50) robust
  standard deviations (1.4826 times the median absolute deviation) from the
  median. The score compares quantiles, which a few extreme values dominate;
  a log or rank transform may suit;
- many tied values: fewer distinct values in a column than TIED_SHARE (half)
  of its samples, as in discrete data, which the linear non-Gaussian model
  does not describe;
- dependent residuals: an HSIC independence p-value below DEPENDENT_P (0.01)
  divided by the number of pairs (a Bonferroni bound): a hidden common cause
  of the pair, or a wrong graph;
- few samples: fewer than SAMPLES_PER_VARIABLE (20) samples per variable.
"""

from __future__ import annotations

import numpy as np

from varkel._independence import MIN_ROWS, independence_p_values

GAUSSIAN_P = 0.05
HEAVY_KURTOSIS = 20.0
OUTLIER_SPREADS = 50.0
TIED_SHARE = 0.5
DEPENDENT_P = 0.01
SAMPLES_PER_VARIABLE = 20


def _listed(names: list[str]) -> str:
    quoted = [repr(name) for name in names]
    return quoted[0] if len(quoted) == 1 else ", ".join(quoted[:-1]) + " and " + quoted[-1]


def _have(names: list[str]) -> str:
    return "has" if len(names) == 1 else "have"


def residuals_of(values: np.ndarray, adjacency: np.ndarray) -> np.ndarray:
    """Each variable less what its parents in the graph explain, centred."""
    centred = values - values.mean(axis=0)
    return np.asarray(centred - centred @ adjacency.T)


def diagnose(values: np.ndarray, adjacency: np.ndarray, names: list[str]) -> list[str]:
    from scipy.stats import jarque_bera, kurtosis  # noqa: PLC0415

    m, n_vars = values.shape
    residuals = residuals_of(values, adjacency)
    found = []
    gaussian = [names[j] for j in range(n_vars)
                if float(jarque_bera(residuals[:, j]).pvalue) > GAUSSIAN_P]
    if gaussian:
        found.append(f"the residuals of {_listed(gaussian)} are close to Gaussian (Jarque-Bera "
                     f"p > {GAUSSIAN_P}): their place in the order is not identifiable")
    heavy = []
    for j in range(n_vars):
        column = values[:, j]
        spread = 1.4826 * float(np.median(np.abs(column - np.median(column))))
        extreme = spread > 0 and float(np.max(np.abs(column - np.median(column)))) > \
            OUTLIER_SPREADS * spread
        if extreme or float(kurtosis(column)) > HEAVY_KURTOSIS:
            heavy.append(names[j])
    if heavy:
        found.append(f"{_listed(heavy)} {_have(heavy)} very heavy tails or extreme outliers: a "
                     "log or rank transform may suit them")
    tied = [names[j] for j in range(n_vars) if len(np.unique(values[:, j])) < TIED_SHARE * m]
    if tied:
        found.append(f"{_listed(tied)} {_have(tied)} many tied values (discrete data), which "
                     "the linear non-Gaussian model does not describe")
    pairs = n_vars * (n_vars - 1) // 2
    if pairs and m >= MIN_ROWS:  # fewer rows: the few-samples warning says it
        p = independence_p_values(residuals)
        for i in range(n_vars):
            for j in range(i + 1, n_vars):
                if p[i, j] < DEPENDENT_P / pairs:
                    found.append(f"the residuals of {names[i]!r} and {names[j]!r} are dependent "
                                 f"(HSIC p = {p[i, j]:.1e}): a hidden common cause?")
    if m < SAMPLES_PER_VARIABLE * n_vars:
        found.append(f"{m} samples are few for {n_vars} variable{'s' * (n_vars != 1)}: at least "
                     f"{SAMPLES_PER_VARIABLE * n_vars} are advised")
    return found
