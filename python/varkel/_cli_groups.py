"""Command line: `varkel graph A.csv B.csv ... --groups`, one causal order
shared by several tables and one graph per table."""

from __future__ import annotations

import argparse
import contextlib
import re
from collections.abc import Iterator
from typing import Any

import numpy as np

import varkel
from varkel._cli_common import (
    bootstrap_with_progress,
    check_outputs,
    edge_lines,
    fit_with_progress,
    json_number,
    named,
    read_knowledge,
    report_checks,
    report_runner_up,
    report_search,
    reports,
    save_figure,
    write_file,
    write_report,
)
from varkel._csv import UsageError, read_table
from varkel._mpi import agree_if


def read_groups(options: argparse.Namespace) -> tuple[list[str], list[np.ndarray], Any]:
    """Every table (all with the same columns), and the prior knowledge."""
    if options.mpi and "-" in options.files:
        raise UsageError("standard input ('-') reaches only one rank under --mpi; give the "
                         "data as files every rank can read")

    def read() -> tuple[list[str], list[np.ndarray], Any]:
        tables = [read_table(path, header=options.header, index_col=options.index_col)
                  for path in options.files]
        names = tables[0][0]
        for path, (other, _) in zip(options.files[1:], tables[1:], strict=True):
            if len(other) != len(names):
                raise UsageError(f"{path} has {len(other)} columns, {options.files[0]} has "
                                 f"{len(names)}; every group needs the same columns")
            for j, (want, got) in enumerate(zip(names, other, strict=True)):
                if want != got:
                    raise UsageError(f"{path}: column {j} is {got!r}, {options.files[0]}'s is "
                                     f"{want!r}; every group needs the same columns in the "
                                     "same order")
        return names, [X for _, X in tables], read_knowledge(options, names)

    return agree_if(options.mpi, read)


@contextlib.contextmanager
def groups_named_by_file(files: list[str]) -> Iterator[None]:
    """Refusals that name a group by its position name its file instead."""
    try:
        yield
    except varkel.InputError as error:
        named = re.sub(r"\bgroup (\d+)\b", lambda m: files[int(m.group(1))]
                       if int(m.group(1)) < len(files) else m.group(0), str(error))
        raise UsageError(named) from None


def command_groups(options: argparse.Namespace) -> dict[str, Any]:
    check_outputs(options)
    names, tables, knowledge = read_groups(options)
    model = varkel.MultiGroupExhaustiveLiNGAM(**knowledge, threads=options.threads,
                                              random_state=options.seed)
    data = [named(names, X) for X in tables]
    with groups_named_by_file(options.files):
        fit_with_progress(options, model, data, len(names))
        if not reports(options):
            return {"text": None, "json": None}
        bootstrap = bootstrap_with_progress(options, model, data)
    report_search(options, model.search_, model.blocks_)
    report_runner_up(model, names)
    checks = [report_checks(found, independence, f"group {path}: ") for path, found, independence
              in zip(options.files, model.diagnostics(data), model.independence_, strict=True)]
    margins = model.order_margins_
    lines = [f"order: {' -> '.join(names[j] for j in model.causal_order_)}"]
    groups = []
    for g, (path, B) in enumerate(zip(options.files, model.adjacency_matrices_, strict=True)):
        probabilities = None if bootstrap is None else bootstrap[g].get_probabilities()
        lines.append(f"group {g} ({path}):")
        lines += [f"  {line}" for line in edge_lines(names, B, probabilities, margins)]
        groups.append({"file": path, **checks[g], "adjacency_matrix": B.tolist(), "edges": [
            {"from": names[j], "to": names[i], "weight": float(B[i, j]),
             **({} if probabilities is None else {"probability": float(probabilities[i, j])})}
            for j, i in varkel.edges(B)]})
    runner_up = model.runner_up_order_
    return {"text": "\n".join(lines),
            "json": {"order": [names[j] for j in model.causal_order_], "names": names,
                     "groups": groups, "bootstrap": options.bootstrap or 0,
                     "order_margins": None if margins is None
                     else [[json_number(v) for v in row] for row in margins],
                     "runner_up_order": None if runner_up is None
                     else [names[j] for j in runner_up],
                     "runner_up_total": model.runner_up_total_, "search": model.search_},
            "files": lambda: write_group_pictures(options, model, bootstrap, data)}


def write_group_pictures(options: argparse.Namespace, model: Any, bootstrap: Any,
                         data: list[Any]) -> None:
    write_report(options, model, data, bootstrap)
    if options.dot:
        write_file(options.dot, model.to_dot(bootstrap, groups=list(options.files)))
    if options.png:
        from matplotlib.figure import Figure  # noqa: PLC0415 - plotting is optional

        count, n_vars = model.n_groups_, model.n_features_in_
        width, height = 2.0 + 1.1 * n_vars ** 0.8, 2.2 + 1.0 * n_vars ** 0.6
        axes = Figure(figsize=(width * count, height), layout="constrained").subplots(
            1, count, squeeze=False)[0]
        for g, ax in enumerate(axes):
            model.plot(g, ax=ax, bootstrap=bootstrap)
            ax.set_title(f"group {g}: {options.files[g]}", fontsize=9)
        save_figure(options.png, axes[0].figure)
