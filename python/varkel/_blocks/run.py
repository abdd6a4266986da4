"""Searching the blocks one after another, and putting their results
together: the order, the total, the margins and the runner-up order."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any

import numpy as np

from varkel import _engine
from varkel._blocks.large import LargeSettings, large_search, large_settings
from varkel._blocks.plan import DEFAULT_WINDOW, Block, OrderPlan
from varkel._blocks.prefix import Prefix
from varkel._blocks.state import StateFile
from varkel._blocks.windows import (
    WindowState,
    engine_input,
    score_residual,
    window_search,
    window_starts,
)
from varkel._checkpoint import Checkpoint, fingerprint
from varkel._data import MAX_VARS
from varkel._errors import InputError
from varkel._fit import fit_order
from varkel._margins import OrderMargins
from varkel._sinks import ProgressCallback, Searched


@dataclass(frozen=True)
class BlockedFit:
    order: list[int]
    total: float           # the blocks' totals (each as its search gives it) summed in double
    margins: np.ndarray | None
    runner_up_order: list[int] | None
    runner_up_total: float | None
    search: str            # "exact", "window w=W", or the large search's description
    blocks: list[list[int]]


@dataclass(frozen=True)
class _BlockResult:
    order: list[int]       # the block's members, in their found order
    total: float
    margins: OrderMargins | None


@dataclass(frozen=True)
class LargeBlocks:
    """How blocks of more than 30 variables are searched."""

    search: str            # "window" or "large"
    window: int | None
    beam: int | None

    def settings(self, n_vars: int, n_samples: int) -> LargeSettings:
        return large_settings(n_vars, n_samples, beam=self.beam, window=self.window)

    def width(self) -> int:
        return self.window or DEFAULT_WINDOW


def block_scores(size: int, large: LargeBlocks, n_samples: int) -> int:
    """The work a block's search is expected to take, for progress: its
    scores for an exact search, two sweeps of windows (one to improve, one
    to confirm) for the window search, the large search's steps else."""
    if size <= MAX_VARS:
        return size << (size - 1) if size else 0
    if large.search == "window":
        width = large.width()
        return 2 * len(window_starts(size, width)) * (width << (width - 1))
    return large.settings(size, n_samples).planned_steps(size)


def fit_planned(searched: Searched, reference: Searched, plan: OrderPlan, *,
                margins: bool | None, threads: int, progress: ProgressCallback | None,
                checkpoint: str | os.PathLike[str] | None, mpi: bool) -> BlockedFit:
    """The order as planned: one exact search of every variable (with the
    margins when wanted), or block by block."""
    if plan.blocks is not None:
        return fit_blocks(searched, reference, plan.blocks, large_blocks(plan),
                          margins=margins, threads=threads, progress=progress,
                          checkpoint=checkpoint, mpi=mpi)
    fitted = fit_order(searched, reference, plan.successors, margins=margins, threads=threads,
                       progress=progress, checkpoint=checkpoint, mpi=mpi)
    found = fitted.margins
    n_vars = len(fitted.order)
    return BlockedFit(fitted.order, fitted.total, None if found is None else found.margins,
                      None if found is None else found.runner_up_order,
                      None if found is None or not found.runner_up_order
                      else found.runner_up_total, "exact", [list(range(n_vars))])


def large_blocks(plan: OrderPlan) -> LargeBlocks:
    return LargeBlocks("window" if plan.search == "window" else "large", plan.window, plan.beam)


def fit_blocks(searched: Searched, reference: Searched, blocks: list[Block],
               large: LargeBlocks, *, margins: bool | None, threads: int,
               progress: ProgressCallback | None, checkpoint: str | os.PathLike[str] | None,
               mpi: bool) -> BlockedFit:
    """The best order block by block (see varkel._blocks): each block
    searched on every group's data with the earlier blocks regressed out."""
    grouped = isinstance(searched, list)
    matrices = searched if isinstance(searched, list) else [searched]
    references = reference if isinstance(reference, list) else [reference]
    # the candidate parents are tested group by group: the smallest group sets the bar
    n_samples = min(m.shape[0] for m in matrices)
    large_sizes = [len(b.members) for b in blocks if len(b.members) > MAX_VARS]
    if large_sizes and mpi and checkpoint is not None:
        raise InputError(f"a {large.search} search cannot be checkpointed under MPI; drop one "
                         "of checkpoint and mpi")
    _check_memory(blocks, large, [m.shape[0] for m in matrices], threads)
    scores = [block_scores(len(b.members), large, n_samples) for b in blocks]
    prefix = Prefix(matrices)
    results, regressed_out = [], 0
    for k, block in enumerate(blocks):
        data = prefix.searched(block.members)
        where = None if checkpoint is None else os.path.join(os.fspath(checkpoint),
                                                             f"block-{k:02d}")
        report = _shifted(progress, sum(scores[:k]), sum(scores[k + 1:]))
        if len(block.members) <= MAX_VARS:
            fitted = fit_order(engine_input(data, grouped), engine_input(references, grouped),
                               block.successors, margins=margins,
                               threads=threads, progress=report, checkpoint=where, mpi=mpi)
            local, total, found = fitted.order, fitted.total, fitted.margins
        elif large.search == "window":
            local = _windows(data, references, block, large.width(), grouped=grouped,
                             threads=threads, progress=report, checkpoint=where, mpi=mpi)
            total, found = order_total(data, references, local), None
        else:
            local, total = _large(data, references, block,
                                  large.settings(len(block.members), n_samples),
                                  regressed_out=regressed_out, grouped=grouped, threads=threads,
                                  progress=report, checkpoint=where, mpi=mpi)
            found = None
        results.append(_BlockResult([block.members[j] for j in local], total, found))
        prefix.extend(block.members)
        regressed_out += len(block.members)
    described = ("exact" if not large_sizes else f"window w={large.width()}"
                 if large.search == "window"
                 else large.settings(max(large_sizes), n_samples).describe())
    return _joined(results, blocks, matrices[0].shape[1], described)


def order_total(matrices: list[np.ndarray], references: list[np.ndarray],
                order: list[int]) -> float:
    """An order's total, in double: each variable's score given the ones
    before it (summed over groups), from first to last."""
    prefix, total = Prefix(matrices), 0.0
    for v in order:
        total += sum(score_residual(r[:, 0], ref) for r, ref in
                     zip(prefix.residuals([v]), references, strict=True))
        prefix.extend([v])
    return total


@contextmanager
def _block_directory(checkpoint: str | None, mpi: bool, n_vars: int) -> Iterator[str | None]:
    """The block's checkpoint directory, locked for the run; None when no
    state is kept (no checkpoint, or under MPI)."""
    store = None if checkpoint is None or mpi else Checkpoint(checkpoint, b"", n_vars)
    try:
        yield None if store is None else checkpoint
    finally:
        if store is not None:
            store.close()


def _block_digest(data: list[np.ndarray], references: list[np.ndarray], block: Block,
                  grouped: bool, search: str) -> str:
    """What a block search's saved state must match: its inputs and settings."""
    return fingerprint(engine_input(data, grouped), engine_input(references, grouped),
                       block.successors).hex() + f" {search}"


def _windows(data: list[np.ndarray], references: list[np.ndarray], block: Block, window: int,
             *, grouped: bool, threads: int, progress: ProgressCallback | None,
             checkpoint: str | None, mpi: bool) -> list[int]:
    """The window search of one block, its state kept in its checkpoint
    directory when one is given."""
    digest = _block_digest(data, references, block, grouped, f"window {window}")
    with _block_directory(checkpoint, mpi, data[0].shape[1]) as directory:
        return window_search(data, references, block.successors, window, grouped=grouped,
                             threads=threads, progress=progress,
                             state=WindowState(directory, digest), mpi=mpi)


def _large(data: list[np.ndarray], references: list[np.ndarray], block: Block,
           settings: LargeSettings, *, regressed_out: int, grouped: bool, threads: int,
           progress: ProgressCallback | None, checkpoint: str | None,
           mpi: bool) -> tuple[list[int], float]:
    """The large search of one block, its state kept in its checkpoint
    directory when one is given."""
    digest = _block_digest(data, references, block, grouped, f"{settings}")
    with _block_directory(checkpoint, mpi, data[0].shape[1]) as directory:
        return large_search(data, references, block.successors, settings,
                            regressed_out=regressed_out, threads=threads, progress=progress,
                            state=StateFile(directory, "large-state.json", digest), mpi=mpi)


def _shifted(progress: ProgressCallback | None, before: int, after: int
             ) -> Callable[[int, int], Any] | None:
    """A block's progress as progress of the whole run."""
    if progress is None:
        return None
    return lambda done, total: progress(before + done, before + total + after)


def _check_memory(blocks: list[Block], large: LargeBlocks, samples: list[int],
                  threads: int) -> None:
    """Refuses a run whose largest engine search cannot fit, before the
    first. The large search's own memory is that of the data's copies."""
    sizes = [len(b.members) if len(b.members) <= MAX_VARS else large.width()
             for b in blocks if len(b.members) <= MAX_VARS or large.search == "window"]
    if not sizes:
        return
    largest = max(sizes)
    plan = _engine.plan(largest, samples if len(samples) > 1 else samples[0], threads=threads)
    if plan["bytes"] > plan["available_bytes"]:
        raise MemoryError(f"a search of {largest} variables needs "
                          f"{plan['bytes'] / 2**30:.1f} GiB of memory, more than the "
                          f"{plan['available_bytes'] / 2**30:.1f} GiB left (limited by "
                          f"{plan['memory_limit']})")


def _joined(results: list[_BlockResult], blocks: list[Block], n_vars: int,
            search: str) -> BlockedFit:
    order = [v for r in results for v in r.order]
    total = float(sum(r.total for r in results))
    members = [b.members for b in blocks]
    if any(r.margins is None for r in results):
        return BlockedFit(order, total, None, None, None, search, members)
    margins = _margins(results, blocks, order, n_vars)
    runner_up_order, runner_up_total = _runner_up(results, blocks, order)
    return BlockedFit(order, total, margins, runner_up_order, runner_up_total, search, members)


def _margins(results: list[_BlockResult], blocks: list[Block], order: list[int],
             n_vars: int) -> np.ndarray:
    """Each block's margins; across blocks 0 where the order has x_j before
    x_i and inf where the blocks rule that out."""
    block_of, position = np.empty(n_vars, dtype=np.intp), np.empty(n_vars, dtype=np.intp)
    for k, block in enumerate(blocks):
        block_of[block.members] = k
    position[order] = np.arange(n_vars)
    margins = np.where(position[None, :] < position[:, None], 0.0, np.inf)
    for block, result in zip(blocks, results, strict=True):
        assert result.margins is not None
        margins[np.ix_(block.members, block.members)] = result.margins.margins
    np.fill_diagonal(margins, 0.0)
    return np.asarray(margins)


def _runner_up(results: list[_BlockResult], blocks: list[Block], order: list[int]
               ) -> tuple[list[int] | None, float | None]:
    """The best order but one: the best orders of all blocks but one, and
    that one's runner-up, choosing the block that loses least."""
    best: tuple[float, int] | None = None
    for k, result in enumerate(results):
        found = result.margins
        if found is not None and found.runner_up_order is not None:
            loss = found.total - found.runner_up_total
            if best is None or loss < best[0]:
                best = (loss, k)
    if best is None:
        return None, None
    loss, k = best
    found = results[k].margins
    assert found is not None and found.runner_up_order is not None
    start = sum(len(r.order) for r in results[:k])
    replaced = [blocks[k].members[j] for j in found.runner_up_order]
    total = sum(r.margins.total for r in results if r.margins is not None)
    return order[:start] + replaced + order[start + len(replaced):], total - loss
