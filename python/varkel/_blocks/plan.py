"""From tiers and prior knowledge to the blocks that are searched one after
another.

A tier means "not an ancestor of any earlier tier": for x_a in an earlier
tier and x_b in a later one, pk[a, b] = 0 (x_b is not an ancestor of x_a),
which puts x_a first and forbids the edge x_b -> x_a. The blocks are the
finest sequence of sets in which the constraints, closed under
transitivity, put every variable of an earlier set before every variable of
a later one. The constraints inside a block stay with that block's search.
"""

from __future__ import annotations

import operator
from dataclasses import dataclass
from typing import Any

import numpy as np

from varkel._data import MAX_VARS
from varkel._errors import InputError
from varkel._prior import before_pairs, check_prior_knowledge, successor_masks

MIN_WINDOW, MAX_WINDOW = 2, 25
DEFAULT_WINDOW = 12

# How a block of more than 30 variables is searched: "auto" picks "window"
# when a window is given alone, else "large"; "exact" refuses such blocks.
SEARCHES = ("auto", "exact", "window", "large")


@dataclass(frozen=True)
class Block:
    members: list[int]            # the block's variables, ascending
    successors: list[int] | None  # bit j of [i]: members[i] before members[j]


@dataclass(frozen=True)
class OrderPlan:
    """How an order is searched: one exact search of every variable
    (blocks None), or block by block."""

    prior_knowledge: np.ndarray | None  # with the tiers' constraints
    successors: list[int] | None        # every variable's, for one search
    blocks: list[Block] | None
    window: int | None
    search: str = "exact"               # of blocks above 30: "window" or "large"
    beam: int | None = None             # the large search's beam, if one was asked for


def plan_order(prior_knowledge: Any, tiers: Any, window: object, names: list[str],
               search: object = "auto", beam: object = None) -> OrderPlan:
    """Checks the prior knowledge, the tiers, the window, the search and the
    beam, and plans the search: blocks when tiers are given or there are
    more than 30 variables."""
    n_vars = len(names)
    width, beam_width = check_window(window), check_beam(beam)
    large_search = check_search(search, width, beam_width)
    tier_lists = check_tiers(tiers, names)
    pk = None if prior_knowledge is None else check_prior_knowledge(prior_knowledge, n_vars)
    pk = with_tiers(pk, tier_lists, n_vars, names)
    successors = None if pk is None else successor_masks(pk, names)
    if tier_lists is None and n_vars <= MAX_VARS:
        return OrderPlan(pk, successors, None, width, "exact", beam_width)
    blocks = split_blocks(pk, n_vars)
    refuse_large_blocks(blocks, n_vars, large_search, tier_lists is not None)
    if all(len(b.members) <= MAX_VARS for b in blocks):
        large_search = "exact"
    return OrderPlan(pk, successors, blocks, width, large_search, beam_width)


def check_search(search: object, window: int | None, beam: int | None) -> str:
    """The search of blocks above 30 variables: "exact" (refuse them),
    "window" or "large"."""
    if not isinstance(search, str) or search not in SEARCHES:
        raise InputError(f"search must be one of {', '.join(map(repr, SEARCHES))}, "
                         f"got {search!r}")
    if beam is not None and search in ("exact", "window"):
        raise InputError(f"beam= is the large search's; search={search!r} has none")
    if search == "auto":
        return "window" if window is not None and beam is None else "large"
    return search


def check_beam(beam: object) -> int | None:
    if beam is None:
        return None
    return _whole_number(beam, f"beam must be None or a whole number of at least 1, "
                         f"got {beam!r}", 1, None)


def check_window(window: object) -> int | None:
    if window is None:
        return None
    return _whole_number(window, f"window must be None or a whole number from {MIN_WINDOW} "
                         f"to {MAX_WINDOW}, got {window!r}", MIN_WINDOW, MAX_WINDOW)


def _whole_number(value: object, message: str, low: int, high: int | None) -> int:
    """value as an int from low to high (None: no limit); else InputError
    with `message`, the same for every bad value."""
    if isinstance(value, bool | np.bool_):
        raise InputError(message)
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise InputError(message) from None
    if number < low or (high is not None and number > high):
        raise InputError(message)
    return int(number)


def check_tiers(tiers: Any, names: list[str]) -> list[list[int]] | None:
    """The tiers as lists of column indices (given as indices or names);
    every variable in exactly one tier."""
    if tiers is None:
        return None
    if isinstance(tiers, str | bytes) or not hasattr(tiers, "__iter__"):
        raise InputError(f"tiers must be a list of lists of columns, got {tiers!r}")
    index = {name: j for j, name in enumerate(names)}
    result: list[list[int]] = []
    placed: dict[int, int] = {}
    for t, tier in enumerate(tiers):
        if isinstance(tier, str | bytes) or not hasattr(tier, "__iter__"):
            raise InputError(f"tier {t} must be a list of columns, got {tier!r}")
        columns = []
        for item in tier:
            j = _column(item, index, len(names))
            if j in placed:
                raise InputError(f"variable {names[j]!r} is in tier {placed[j]} and in tier {t}; "
                                 "every variable must be in exactly one tier")
            placed[j] = t
            columns.append(j)
        result.append(columns)
    missing = [names[j] for j in range(len(names)) if j not in placed]
    if missing:
        more = f" (and {len(missing) - 1} more)" if len(missing) > 1 else ""
        raise InputError(f"variable {missing[0]!r} is in no tier{more}; every variable must be "
                         "in exactly one tier")
    return [tier for tier in result if tier]


def _column(item: object, index: dict[str, int], n_vars: int) -> int:
    if isinstance(item, str):
        if item not in index:
            raise InputError(f"tiers name {item!r}, which is not a column")
        return index[item]
    try:
        j = operator.index(item)  # type: ignore[arg-type]
    except TypeError:
        raise InputError(f"tiers hold {item!r}; give column indices or names") from None
    if isinstance(item, bool | np.bool_) or not 0 <= j < n_vars:
        raise InputError(f"tiers hold {item!r}; column indices run from 0 to {n_vars - 1}")
    return int(j)


def with_tiers(pk: np.ndarray | None, tiers: list[list[int]] | None, n_vars: int,
               names: list[str]) -> np.ndarray | None:
    """The prior knowledge with the tiers' constraints added; refuses
    knowledge that makes a later tier's variable an ancestor of an earlier
    one's."""
    if tiers is None:
        return pk
    merged = np.full((n_vars, n_vars), -1, dtype=np.int8) if pk is None else pk.copy()
    tier_of = np.empty(n_vars, dtype=np.intp)
    for t, tier in enumerate(tiers):
        tier_of[tier] = t
    later = tier_of[None, :] > tier_of[:, None]  # [a, b]: b in a later tier than a
    clash = later & (merged == 1)
    if clash.any():
        a, b = (int(v) for v in np.argwhere(clash)[0])
        raise InputError(f"tiers contradict prior_knowledge: pk[{a}, {b}] = 1 makes "
                         f"{names[b]!r} an ancestor of {names[a]!r}, but {names[b]!r} is in a "
                         f"later tier (tier {tier_of[b]}, against {tier_of[a]})")
    merged[later] = 0
    return merged


def split_blocks(pk: np.ndarray | None, n_vars: int) -> list[Block]:
    """The finest blocks of the order that the prior knowledge (already
    checked for cycles) implies, earlier blocks first."""
    if pk is None:
        return [Block(list(range(n_vars)), None)]
    pairs = [(a, b) for a, b, _ in before_pairs(pk)]
    predecessors = _closed_predecessors(n_vars, pairs)
    # A cut after a set S is valid when every variable outside S has all of
    # S before it. Then each member of S has fewer predecessors than |S|,
    # and each other variable at least |S|: valid cuts are prefixes of the
    # variables sorted by their number of predecessors.
    ranked = sorted(range(n_vars), key=lambda v: (predecessors[v].bit_count(), v))
    blocks, start, prefix = [], 0, 0
    for size, v in enumerate(ranked, start=1):
        prefix |= 1 << v
        if size < n_vars and all(predecessors[u] & prefix == prefix for u in ranked[size:]):
            blocks.append(sorted(ranked[start:size]))
            start = size
    blocks.append(sorted(ranked[start:]))
    return [_block(members, pairs) for members in blocks]


def _closed_predecessors(n_vars: int, pairs: list[tuple[int, int]]) -> list[int]:
    """Bit a of [b]: a must come before b, directly or through others."""
    after: list[list[int]] = [[] for _ in range(n_vars)]
    waiting = [0] * n_vars
    for a, b in pairs:
        after[a].append(b)
        waiting[b] += 1
    predecessors = [0] * n_vars
    ready = [v for v in range(n_vars) if waiting[v] == 0]
    while ready:
        a = ready.pop()
        for b in after[a]:
            predecessors[b] |= predecessors[a] | 1 << a
            waiting[b] -= 1
            if waiting[b] == 0:
                ready.append(b)
    return predecessors


def _block(members: list[int], pairs: list[tuple[int, int]]) -> Block:
    position = {v: k for k, v in enumerate(members)}
    inside = [(position[a], position[b]) for a, b in pairs if a in position and b in position]
    if not inside:
        return Block(members, None)
    successors = [0] * len(members)
    for a, b in inside:
        successors[a] |= 1 << b
    return Block(members, successors)


def _large_blocks_message(n_vars: int, largest: int, one_block: bool, tiers: str,
                          large: str) -> str:
    if one_block:
        return (f"X has {n_vars} variables; the exact search takes at most {MAX_VARS} at "
                f"once: give {tiers} (groups of variables, earlier groups first, at most "
                f"{MAX_VARS} each) or {large} (a search of larger blocks)")
    return (f"the order splits into blocks of up to {largest} variables; the exact search "
            f"takes at most {MAX_VARS} at once: give finer {tiers} or {large} (a search of "
            "larger blocks)")


def refuse_large_blocks(blocks: list[Block], n_vars: int, search: str,
                        tiers_given: bool) -> None:
    """Above 30 variables a block needs a window or large search."""
    largest = max(len(b.members) for b in blocks)
    if largest > MAX_VARS and search == "exact":
        one_block = len(blocks) == 1 and not tiers_given
        raise InputError(
            _large_blocks_message(n_vars, largest, one_block, "tiers=", "search='large'"),
            command_line=_large_blocks_message(n_vars, largest, one_block, "--tiers FILE",
                                               "--search large"))
