"""Warnings, as structured records, for the cases where a fitted answer
should not be trusted. One record per kind, naming the variables concerned.
bench/diagnostics.py measures how often each kind fires on data that meet
the model (false alarms) and on data that break its assumption (detection);
the thresholds below were chosen from those runs:

- dependent residuals (warning): a pair of the fitted graph's residuals
  whose HSIC p-value is below ALPHA (0.001, see varkel._independence)
  divided by the number of pairs (Bonferroni): a hidden common cause of
  the pair, or a wrong graph;
- discrete (warning): spreading a column's tied values evenly within its
  rounding step changes the fitted order's total, or what the order gains
  over swapping a pair of neighbours, by more than TIE_EFFECT (2%) of the
  total. Rounded measurements with hundreds of levels barely move it;
- few samples (warning): fewer than SAMPLES_PER_VARIABLE (20) samples per
  variable, where the benchmark's orders go wrong often;
- near-Gaussian (caution): a residual whose Jarque-Bera test does not
  reject normality at GAUSSIAN_P (0.05), from GAUSSIAN_MIN_SAMPLES (1000)
  samples on; with fewer, the test cannot tell non-Gaussian noise from
  Gaussian often enough. LiNGAM places a variable only through the
  non-Gaussianity of its noise;
- heavy tails (caution): excess kurtosis above HEAVY_KURTOSIS (40), or a
  value more than OUTLIER_SPREADS (50) robust standard deviations from the
  median. The score compares quantiles, which a few extreme values
  dominate; the record names the transform to try (log when the column is
  all positive).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

from varkel._blocks.prefix import Prefix
from varkel._blocks.windows import score_residual
from varkel._data import prepare
from varkel._independence import ALPHA, MIN_ROWS, independence_p_values
from varkel._reference import reference_vector

GAUSSIAN_P = 0.05
GAUSSIAN_MIN_SAMPLES = 1000
HEAVY_KURTOSIS = 40.0
OUTLIER_SPREADS = 50.0
TIE_EFFECT = 0.02
SAMPLES_PER_VARIABLE = 20
MOST_PAIRS_SHOWN = 5

SEVERITIES = ("warning", "caution")
KINDS = ("dependent residuals", "discrete", "few samples", "non-stationary", "near-Gaussian",
         "heavy tails")

Variables = tuple[str, ...] | tuple[tuple[str, str], ...]


@dataclass(frozen=True)
class Diagnostic:
    """One kind of warning about a fitted answer.

    ``str()`` gives the message; :meth:`to_dict` and :meth:`from_dict` turn
    it into JSON's types and back.

    Attributes
    ----------
    kind : str
        "dependent residuals", "discrete", "few samples", "non-stationary",
        "near-Gaussian" or "heavy tails".
    severity : str
        "warning": the result is likely wrong; "caution": part of it may be.
    variables : tuple
        The names concerned, or pairs of names (dependent residuals).
    message : str
        One line, as the command line prints it.
    """

    kind: str
    severity: str
    variables: Variables
    message: str

    def __str__(self) -> str:
        return self.message

    def to_dict(self) -> dict[str, Any]:
        """The record as JSON's types (pairs as lists)."""
        return {"kind": self.kind, "severity": self.severity,
                "variables": [v if isinstance(v, str) else list(v) for v in self.variables],
                "message": self.message}

    @classmethod
    def from_dict(cls, record: dict[str, Any]) -> Diagnostic:
        """The record that :meth:`to_dict` gave `record`."""
        variables = tuple(v if isinstance(v, str) else (str(v[0]), str(v[1]))
                          for v in record["variables"])
        return cls(str(record["kind"]), str(record["severity"]), variables,  # type: ignore[arg-type]
                   str(record["message"]))


def ordered(found: list[Diagnostic]) -> list[Diagnostic]:
    """Warnings before cautions, each in KINDS' order."""
    return sorted(found, key=lambda d: (SEVERITIES.index(d.severity), KINDS.index(d.kind)))


def _listed(names: list[str]) -> str:
    quoted = [repr(name) for name in names]
    return quoted[0] if len(quoted) == 1 else ", ".join(quoted[:-1]) + " and " + quoted[-1]


def _have(names: list[str]) -> str:
    return "has" if len(names) == 1 else "have"


def residuals_of(values: np.ndarray, adjacency: np.ndarray) -> np.ndarray:
    """Each variable less what its parents in the graph explain, centred."""
    centred = values - values.mean(axis=0)
    return np.asarray(centred - centred @ adjacency.T)


def near_gaussian(residuals: np.ndarray, names: list[str]) -> Diagnostic | None:
    from scipy.stats import jarque_bera  # noqa: PLC0415

    if residuals.shape[0] < GAUSSIAN_MIN_SAMPLES:
        return None
    found = [names[j] for j in range(residuals.shape[1])
             if float(jarque_bera(residuals[:, j]).pvalue) > GAUSSIAN_P]
    if not found:
        return None
    return Diagnostic("near-Gaussian", "caution", tuple(found),
                      f"the residuals of {_listed(found)} are close to Gaussian (Jarque-Bera "
                      f"p > {GAUSSIAN_P}): their place in the order is not identifiable")


def heavy_tails(values: np.ndarray, names: list[str]) -> Diagnostic | None:
    from scipy.stats import kurtosis  # noqa: PLC0415

    found = []
    for j in range(values.shape[1]):
        column = values[:, j]
        deviation = np.abs(column - np.median(column))
        spread = 1.4826 * float(np.median(deviation))
        extreme = spread > 0 and float(np.max(deviation)) > OUTLIER_SPREADS * spread
        if extreme or float(kurtosis(column)) > HEAVY_KURTOSIS:
            found.append(j)
    if not found:
        return None
    chosen = [names[j] for j in found]
    positive = bool(np.all(values[:, found] > 0))
    their, they = ("its", "it has") if len(chosen) == 1 else ("their", "they have")
    advice = (f"all {their} values are positive: try a log transform" if positive else
              f"{they} values at or below 0: try a rank or asinh transform (a log needs "
              "positive values)")
    return Diagnostic("heavy tails", "caution", tuple(chosen),
                      f"{_listed(chosen)} {_have(chosen)} very heavy tails or extreme "
                      f"outliers; {advice}")


def spread_ties(column: np.ndarray) -> np.ndarray | None:
    """The column with each run of tied values spread evenly over its
    rounding step (the smallest gap between distinct values), centred on
    the tied value, in a fixed random order; None without ties."""
    levels, inverse, counts = np.unique(column, return_inverse=True, return_counts=True)
    if len(levels) == len(column) or len(levels) < 2:
        return None
    step = float(np.min(np.diff(levels)))
    shuffled = np.random.default_rng(0).permutation(len(column))
    by_level = shuffled[np.argsort(inverse[shuffled], kind="stable")]
    rank = np.empty(len(column))
    rank[by_level] = np.arange(len(column)) - np.repeat(np.cumsum(counts) - counts, counts)
    return np.asarray(column + ((rank + 0.5) / counts[inverse] - 0.5) * step)


def order_scores(standardized: np.ndarray, reference: np.ndarray, order: list[int]
                 ) -> tuple[float, np.ndarray]:
    """The order's total (each variable scored on its residual given the
    ones before it) and, for each pair of neighbours, what the order gains
    over the same order with that pair swapped."""
    prefix, total = Prefix([standardized]), 0.0
    gains = np.zeros(max(len(order) - 1, 0))
    for k, a in enumerate(order):
        if k + 1 < len(order):
            ra, rb = prefix.residuals([a, order[k + 1]])[0].T
            b_after_a = rb - (rb @ ra) / (ra @ ra) * ra
            a_after_b = ra - (ra @ rb) / (rb @ rb) * rb
            gains[k] = (score_residual(ra, reference) + score_residual(b_after_a, reference)
                        - score_residual(rb, reference) - score_residual(a_after_b, reference))
            total += score_residual(ra, reference)
        else:
            total += score_residual(prefix.residuals([a])[0][:, 0], reference)
        prefix.extend([a])
    return total, gains


def tie_effects(values: np.ndarray, order: list[int]) -> dict[int, float]:
    """For each column with ties: how much spreading them changes the
    order's total, or its gain over a swap of neighbours (whichever more),
    as a share of the total."""
    reference = reference_vector("normal", values.shape[0])
    total, gains = order_scores(prepare(values, scale=True), reference, order)
    effects = {}
    for j in range(values.shape[1]):
        spread = spread_ties(values[:, j])
        if spread is None:
            continue
        changed = values.copy()
        changed[:, j] = spread
        new_total, new_gains = order_scores(prepare(changed, scale=True), reference, order)
        lost = float(np.max(gains - new_gains, initial=0.0))
        effects[j] = max(abs(new_total - total), lost) / max(abs(total), 1e-300)
    return effects


def discrete(values: np.ndarray, order: list[int], names: list[str]) -> Diagnostic | None:
    effects = tie_effects(values, order)
    found = [j for j, effect in effects.items() if effect > TIE_EFFECT]
    if not found:
        return None
    chosen = [names[j] for j in found]
    largest = max(effects[j] for j in found)
    return Diagnostic("discrete", "warning", tuple(chosen),
                      f"{_listed(chosen)} {_have(chosen)} tied values that matter: spreading "
                      f"them within their rounding step changes the order's score by up to "
                      f"{largest:.0%}. The linear non-Gaussian model describes continuous data")


def dependent_residuals(p: np.ndarray, names: list[str]) -> Diagnostic | None:
    i, j = np.triu_indices(p.shape[0], 1)
    if i.size == 0:
        return None
    values = p[i, j]
    dependent = np.flatnonzero(values < ALPHA / i.size)
    if dependent.size == 0:
        return None
    dependent = dependent[np.argsort(values[dependent], kind="stable")]
    pairs = tuple((names[i[k]], names[j[k]]) for k in dependent)
    shown = ", ".join(f"{a}\u2013{b} (p = {values[k]:.1g})"
                      for (a, b), k in zip(pairs[:MOST_PAIRS_SHOWN], dependent, strict=False))
    rest = len(pairs) - MOST_PAIRS_SHOWN
    more = f" and {rest} more" if rest > 0 else ""
    return Diagnostic("dependent residuals", "warning", pairs,
                      f"{len(pairs)} of {i.size} residual pairs dependent (HSIC, Bonferroni "
                      f"{ALPHA}): {shown}{more}: a hidden common cause, or a wrong graph")


def few_samples(m: int, names: list[str]) -> Diagnostic | None:
    n_vars = len(names)
    if m >= SAMPLES_PER_VARIABLE * n_vars:
        return None
    return Diagnostic("few samples", "warning", tuple(names),
                      f"{m} samples are few for {n_vars} variable{'s' * (n_vars != 1)}: at "
                      f"least {SAMPLES_PER_VARIABLE * n_vars} are advised")


def diagnose(values: np.ndarray, adjacency: np.ndarray, order: list[int], names: list[str],
             p_values: np.ndarray | None = None) -> list[Diagnostic]:
    """Every kind that applies to data `values` and the fitted graph, in
    severity order. p_values: the residuals' independence p-values, when
    already computed."""
    m = values.shape[0]
    residuals = residuals_of(values, adjacency)
    if p_values is None and m >= MIN_ROWS:  # fewer rows: the few-samples warning says it
        p_values = independence_p_values(residuals)
    found = [dependent_residuals(p_values, names) if p_values is not None else None,
             discrete(values, order, names), few_samples(m, names),
             near_gaussian(residuals, names), heavy_tails(values, names)]
    return ordered([d for d in found if d is not None])
