"""A beam over the subset lattice: the exact search's level loop, keeping
only the best subsets of each level.

Level k holds sets of k variables, each with the best total found for
placing exactly those first and the order that reaches it. A set of level
k + 1 is relaxed as the exact search relaxes it, from the kept sets of level
k that it extends: its total is the best of (a kept set's total + the score
of the one variable added, given that set). Sets reached from several kept
sets are one state, so the beam never holds two orders of the same
variables. Only the `width` best states of each level are kept (ties to the
lower mask); with a width of at least the largest level, C(n, n/2), nothing
is dropped and the beam is the exact search.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from varkel._blocks.candidates import CandidateScore
from varkel._blocks.moves import Precedence


def beam_order(score: CandidateScore, width: int, precedence: Precedence,
               step: Callable[[int], Any]) -> list[int]:
    """The best order the beam reaches. step(k) is called after level k."""
    n_vars = score.n_vars
    level: dict[int, tuple[float, tuple[int, ...]]] = {0: (0.0, ())}
    for k in range(1, n_vars + 1):
        relaxed: dict[int, tuple[float, tuple[int, ...]]] = {}
        for placed, (total, order) in level.items():
            for v in range(n_vars):
                if placed >> v & 1 or not precedence.placeable(v, placed):
                    continue
                extended = placed | 1 << v
                candidate = total + score.score(v, placed)
                kept = relaxed.get(extended)
                if kept is None or candidate > kept[0]:
                    relaxed[extended] = (candidate, (*order, v))
        ranked = sorted(relaxed.items(), key=lambda item: (-item[1][0], item[0]))
        level = dict(ranked[:width])
        step(k)
    ((_, order),) = level.values()
    return list(order)
