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


def _residual_entropies(Y: np.ndarray, rho: np.ndarray, a: int) -> np.ndarray:
    """The entropy of x_a's residual on each x_b (the entry for b = a is not
    used)."""
    with np.errstate(invalid="ignore", divide="ignore"):
        return entropy(_standardized(Y[:, [a]] - Y * rho[a]))


def _entropies_on(Y: np.ndarray, rho: np.ndarray, a: int) -> np.ndarray:
    """The entropy of each x_b's residual on x_a."""
    with np.errstate(invalid="ignore", divide="ignore"):
        return entropy(_standardized(Y - Y[:, [a]] * rho[a]))


def _measures(residual: np.ndarray, remaining: list[int], allowed: list[int],
              spread: Callable[..., Iterator[np.ndarray]]) -> np.ndarray:
    """How strongly the pairwise models contradict each allowed x_i coming
    first: the sum, over the others, of the squared negative parts of the
    likelihood ratio H_j + E[i, j] - H_i - E[j, i], where E[a, b] is the
    entropy of x_a's residual on x_b."""
    Y = _standardized(residual[:, remaining])
    rho = Y.T @ Y / Y.shape[0]
    rho = np.triu(rho) + np.triu(rho, 1).T  # exactly symmetric, so E[a, b] has one value
    H = entropy(Y)
    rows = [remaining.index(v) for v in allowed]
    if 2 * len(rows) >= len(remaining):  # each residual's entropy once
        E = np.array(list(spread(partial(_residual_entropies, Y, rho), range(len(remaining)))))
        on_x, on_others = E[rows], E[:, rows].T
    else:  # few allowed: only the pairs they are in
        on_x = np.array(list(spread(partial(_residual_entropies, Y, rho), rows)))
        on_others = np.array(list(spread(partial(_entropies_on, Y, rho), rows)))
    ratio = (H + on_x) - (H[rows, None] + on_others)
    ratio[np.arange(len(rows)), rows] = 0.0
    return np.asarray(np.sum(np.minimum(0.0, np.nan_to_num(ratio)) ** 2, axis=1))


def pairwise_order(matrices: Sequence[np.ndarray], precedence: Precedence, *, threads: int,
                   step: Callable[[int], Any]) -> list[int]:
    """DirectLiNGAM's order, its measure summed over the groups. step(k) is
    called after the k-th variable is placed."""
    residuals = [np.array(m, dtype=np.float64) for m in matrices]
    n_vars = residuals[0].shape[1]
    remaining, order, placed = list(range(n_vars)), [], 0
    with ThreadPoolExecutor(threads) if threads > 1 else nullcontext() as pool:
        spread: Callable[..., Iterator[np.ndarray]] = map if pool is None else pool.map
        while remaining:
            allowed = [v for v in remaining if precedence.placeable(v, placed)]
            if len(allowed) == 1 or len(remaining) == 1:
                chosen = allowed[0]
            else:
                measures = np.zeros(len(allowed))
                for residual in residuals:
                    measures += _measures(residual, remaining, allowed, spread)
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
