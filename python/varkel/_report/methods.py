"""A methods paragraph for a paper, with this run's figures."""

from __future__ import annotations

import itertools
from collections.abc import Sequence
from typing import Any

import numpy as np

from varkel._report.page import escape, number


def _search_words(model: Any) -> str:
    blocks = len(model.blocks_)
    if model.search_.startswith("window"):
        width = model.search_.split("=")[1]
        return (f"searched block by block ({blocks} blocks); a block of more than 30 variables "
                f"by exact searches of overlapping windows of {width} consecutive positions, "
                "repeated until no window improved the total (a local optimum, not a "
                "certified global one)")
    if blocks > 1:
        return (f"an exact search over all subsets within each of {blocks} blocks that the "
                "prior knowledge puts one after another, which finds the best order among "
                "those the knowledge allows")
    return ("an exact search over all 2^n subsets of the variables (dynamic programming), "
            "which finds the best of all orders")


def methods_paragraph(model: Any, *, samples: Sequence[int], n_vars: int, edges: int,
                      bootstrap: int, seed: Any, checks: Sequence[Any], kind: str) -> str:
    from varkel._version import VERSION  # noqa: PLC0415

    rows = (f"{samples[0]} samples" if len(samples) == 1 else
            f"{len(samples)} groups of {', '.join(str(m) for m in samples)} samples")
    what = {"single": "", "groups": " shared by all groups, each group scored on its own and "
            "the scores summed",
            "lags": ", on the residuals of a vector autoregression whose number of lags "
            f"({getattr(model, 'lags_', '?')}) was chosen by "
            f"{str(getattr(model, 'criterion', None) or 'none').upper()}"}[kind]
    text = [f"We estimated the causal order of {n_vars} variables ({rows}) with varkel "
            f"{VERSION}, a linear non-Gaussian acyclic model (LiNGAM) method. The order{what} "
            "maximises the summed non-Gaussianity score of the regression residuals: for "
            "each variable, the mean squared distance between its standardised, sorted "
            "residual on the variables before it and the quantiles of the standard normal "
            f"distribution. It was found by {_search_words(model)}; its total score was "
            f"{number(model.total_score_, 6)}."]
    margins = getattr(model, "order_margins_", None)
    if margins is not None:
        order = model.causal_order_
        neighbours = [float(margins[a, b]) for a, b in itertools.pairwise(order)]
        finite = [m for m in neighbours if np.isfinite(m)]
        if finite:
            text.append(f"The smallest margin between neighbouring variables (the score lost "
                        f"by swapping them) was {number(min(finite), 3)}.")
    text.append(f"Each variable was then regressed on the variables before it, and the "
                f"coefficients were pruned with an adaptive lasso whose penalty was chosen by "
                f"BIC, leaving {edges} edge{'s' * (edges != 1)}.")
    tested = [c for c in checks if c.pairs_tested and c.smallest_p is not None]
    if tested:
        dependent = sum(c.dependent for c in tested)
        pairs = sum(c.pairs_tested for c in tested)
        text.append(f"An HSIC test of the residuals' independence (Bonferroni-corrected at "
                    f"0.05) found {dependent} of {pairs} pairs dependent.")
    if bootstrap:
        text.append(f"Edge probabilities come from {bootstrap} bootstrap resamples "
                    f"(random state {seed!r}).")
    return f"<blockquote>{escape(' '.join(text))}</blockquote>"
