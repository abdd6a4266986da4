"""The order a fit reports, with its margins when they are wanted: shared by
the estimators for one data set and for groups."""

from __future__ import annotations

import os
from dataclasses import dataclass

from varkel._margins import OrderMargins, order_margins
from varkel._margins import wanted as margins_wanted
from varkel._sinks import ProgressCallback, Searched, order_from_sinks, search_sinks


@dataclass(frozen=True)
class FittedOrder:
    order: list[int]
    total: float
    margins: OrderMargins | None


def fit_order(searched: Searched, reference: Searched, successors: list[int] | None, *,
              margins: bool | None, threads: int, progress: ProgressCallback | None,
              checkpoint: str | os.PathLike[str] | None, mpi: bool) -> FittedOrder:
    """The best order and total; with margins (see ExhaustiveLiNGAM), also
    their order margins. Without a checkpoint or MPI the search runs on the
    scores the margins store (the same order and total, bit for bit), so
    each score is evaluated once; otherwise the search runs first."""
    matrices = searched if isinstance(searched, list) else [searched]
    n_vars = matrices[0].shape[1]
    samples: int | list[int] = [m.shape[0] for m in matrices] if isinstance(searched, list) \
        else searched.shape[0]
    wanted = (not mpi or margins is True) and margins_wanted(margins, n_vars, samples, threads)
    if wanted and checkpoint is None and not mpi:
        found = order_margins(searched, reference, None, successors, threads=threads,
                              progress=progress)
        assert found.sinks is not None and found.search_total is not None
        return FittedOrder(order_from_sinks(found.sinks, n_vars), found.search_total, found)
    sinks, total = search_sinks(searched, reference, successors, threads=threads,
                                progress=progress, checkpoint=checkpoint, mpi=mpi)
    order = order_from_sinks(sinks, n_vars)
    if not wanted:
        return FittedOrder(order, total, None)
    return FittedOrder(order, total, order_margins(searched, reference, order, successors,
                                                   threads=threads, progress=progress))
