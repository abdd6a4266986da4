"""Prior knowledge in DirectLiNGAM's matrix format, as order constraints.

pk[i, j] = 1: x_j is an ancestor of x_i, so x_j comes before x_i.
pk[i, j] = 0: x_j is not an ancestor of x_i, so x_i comes before x_j, unless
    pk[j, i] is also 0 (each declared not to be the other's ancestor: no order
    between them). In the graph it also forbids the edge x_j -> x_i.
pk[i, j] = -1: unknown. The diagonal is ignored.
"""

from __future__ import annotations

import itertools

import numpy as np
import numpy.typing as npt

from varkel._errors import InputError


def check_prior_knowledge(prior_knowledge: npt.ArrayLike, n_vars: int) -> np.ndarray:
    """The matrix as integers -1, 0, 1 (diagonal set to -1)."""
    try:
        pk = np.asarray(prior_knowledge, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise InputError(f"prior_knowledge must be a numeric matrix: {error}") from None
    if pk.shape != (n_vars, n_vars):
        raise InputError(f"prior_knowledge must have shape ({n_vars}, {n_vars}), got "
                         f"{pk.shape}")
    pk = pk.copy()
    np.fill_diagonal(pk, -1.0)  # ignored, whatever it holds
    bad = ~np.isin(pk, (-1.0, 0.0, 1.0))
    if bad.any():
        i, j = (int(v) for v in np.argwhere(bad)[0])
        raise InputError(f"prior_knowledge[{i}, {j}] is {pk[i, j]}; entries must be -1 "
                         "(unknown), 0 (not an ancestor) or 1 (an ancestor)")
    pk = pk.astype(np.int8)
    np.fill_diagonal(pk, -1)
    return pk


def before_pairs(pk: np.ndarray) -> list[tuple[int, int, str]]:
    """(a, b, why): variable a must come before variable b, by entry `why`."""
    ancestor = pk == 1
    # Row by row, as the matrix is read: the order names the same cycle
    # whatever the matrix's size.
    entries = np.argwhere(ancestor | ((pk == 0) & (pk.T != 0)))
    return [(int(j), int(i), f"pk[{i}, {j}] = 1") if ancestor[i, j]
            else (int(i), int(j), f"pk[{i}, {j}] = 0") for i, j in entries.tolist()]


def _find_cycle(n: int, pairs: list[tuple[int, int, str]]) -> list[int] | None:
    after: list[list[int]] = [[] for _ in range(n)]
    for a, b, _ in pairs:
        after[a].append(b)
    state = [0] * n  # 0 unseen, 1 on the current path, 2 done
    path: list[int] = []

    def visit(v: int) -> list[int] | None:
        state[v] = 1
        path.append(v)
        for w in after[v]:
            if state[w] == 1:
                return [*path[path.index(w):], w]
            if state[w] == 0 and (cycle := visit(w)) is not None:
                return cycle
        state[v] = 2
        path.pop()
        return None

    for start in range(n):
        if state[start] == 0 and (cycle := visit(start)) is not None:
            return cycle
    return None


def successor_masks(pk: np.ndarray, names: list[str]) -> list[int]:
    """Bit b of mask a set: variable a must come before variable b. Refuses
    contradictory knowledge, naming the cycle."""
    n = pk.shape[0]
    for i in range(n):
        for j in range(i + 1, n):
            if pk[i, j] == 1 and pk[j, i] == 1:
                raise InputError(f"prior knowledge contradicts itself: pk[{i}, {j}] = "
                                 f"pk[{j}, {i}] = 1 declares {names[i]!r} and {names[j]!r} "
                                 "each an ancestor of the other")
    pairs = before_pairs(pk)
    cycle = _find_cycle(n, pairs)
    if cycle is not None:
        why = {(a, b): w for a, b, w in pairs}
        steps = "; ".join(why[a, b] for a, b in itertools.pairwise(cycle))
        order = " before ".join(repr(names[v]) for v in cycle)
        raise InputError(f"prior knowledge contradicts itself: {order} ({steps})")
    masks = [0] * n
    for a, b, _ in pairs:
        masks[a] |= 1 << b
    return masks


def forbidden_edges(pk: np.ndarray | None) -> np.ndarray | None:
    """forbidden[i, j]: the graph may not have the edge x_j -> x_i; None
    without prior knowledge."""
    return None if pk is None else np.asarray(pk == 0)
