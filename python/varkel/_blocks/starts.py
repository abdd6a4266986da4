"""Orders the large search starts from.

- pairwise: DirectLiNGAM's rule (Shimizu et al. 2011, with Hyvarinen and
  Smith's pairwise likelihood ratios): the next variable is the one that
  the two-variable models, against each remaining variable in turn, most
  consistently put first; it is then regressed out of the rest. Each pair's
  measure compares the differential entropies (a maximum-entropy
  approximation) of x_i, x_j and of each one's residual on the other.
- bottom-up: the sink first. The last variable is the one whose score on
  all the others is highest, then the last of the rest, and so on.
- top-down: today's window search start (windows.greedy_order): the first
  variable is the one whose residual on those placed scores highest.

All three respect the block's constraints: only a variable whose required
predecessors (for bottom-up: successors) are placed can be placed.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from contextlib import nullcontext
from functools import partial
from typing import Any

import numpy as np

from varkel._blocks.candidates import CandidateScore
from varkel._blocks.moves import Precedence

# The entropy approximation's constants (Hyvarinen 1998): H(u) of a
# standardised u is (1 + log 2 pi) / 2 - K1 (E log cosh u - GAMMA)^2
# - K2 (E u exp(-u^2 / 2))^2.
K1, K2, GAMMA = 79.047, 7.4129, 0.37457


def entropy(u: np.ndarray) -> np.ndarray:
    """The approximate differential entropy of each standardised column."""
    return np.asarray((1 + np.log(2 * np.pi)) / 2
                      - K1 * (np.mean(np.log(np.cosh(u)), axis=0) - GAMMA) ** 2
                      - K2 * np.mean(u * np.exp(-u * u / 2), axis=0) ** 2)


def _standardized(columns: np.ndarray) -> np.ndarray:
    centred = columns - columns.mean(axis=0)
    return np.asarray(centred / centred.std(axis=0))


def _pair_measure(Y: np.ndarray, rho: np.ndarray, H: np.ndarray, i: int) -> float:
    """How strongly the pairwise models contradict x_i coming first: the sum,
    over the others, of the squared negative parts of the likelihood ratio."""
    r_i = Y[:, [i]] - Y * rho[i]           # x_i on each x_j
    r_j = Y - Y[:, [i]] * rho[i]           # each x_j on x_i
    with np.errstate(invalid="ignore", divide="ignore"):
        ratio = (H + entropy(_standardized(r_i))) - (H[i] + entropy(_standardized(r_j)))
    ratio[i] = 0.0
    return float(np.sum(np.minimum(0.0, np.nan_to_num(ratio)) ** 2))


def pairwise_order(matrices: Sequence[np.ndarray], precedence: Precedence, *, threads: int,
                   step: Callable[[int], Any]) -> list[int]:
    """DirectLiNGAM's order, its measure summed over the groups. step(k) is
    called after the k-th variable is placed."""
    residuals = [np.array(m, dtype=np.float64) for m in matrices]
    n_vars = residuals[0].shape[1]
    remaining, order, placed = list(range(n_vars)), [], 0
    with ThreadPoolExecutor(threads) if threads > 1 else nullcontext() as pool:
        spread: Callable[..., Iterator[float]] = map if pool is None else pool.map
        while remaining:
            allowed = [v for v in remaining if precedence.placeable(v, placed)]
            if len(allowed) == 1 or len(remaining) == 1:
                chosen = allowed[0]
            else:
                measures = np.zeros(len(allowed))
                for residual in residuals:
                    Y = _standardized(residual[:, remaining])
                    rho = Y.T @ Y / Y.shape[0]
                    H = entropy(Y)
                    where = [remaining.index(v) for v in allowed]
                    measures += np.fromiter(
                        spread(partial(_pair_measure, Y, rho, H), where), dtype=np.float64,
                        count=len(where))
                chosen = allowed[int(np.argmin(measures))]
            order.append(chosen)
            remaining.remove(chosen)
            placed |= 1 << chosen
            for residual in residuals:  # regress the chosen one out of the rest
                x = residual[:, chosen] - residual[:, chosen].mean()
                rest = residual[:, remaining]
                residual[:, remaining] = rest - np.outer(x, (x @ (rest - rest.mean(axis=0)))
                                                         / (x @ x))
            step(len(order))
    return order


def bottom_up_order(score: CandidateScore, precedence: Precedence,
                    step: Callable[[int], Any]) -> list[int]:
    """The sink first: each time, of the variables left that no other left
    must follow, the one scoring highest on all the others left."""
    left = (1 << score.n_vars) - 1
    reversed_order = []
    while left:
        members = [v for v in range(score.n_vars) if left >> v & 1]
        allowed = [v for v in members if precedence.after[v] & left & ~(1 << v) == 0]
        scores = [score.score(v, left & ~(1 << v)) for v in allowed]
        sink = allowed[int(np.argmax(scores))]
        reversed_order.append(sink)
        left &= ~(1 << sink)
        step(len(reversed_order))
    return reversed_order[::-1]
