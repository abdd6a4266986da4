"""One-file HTML reports of a fitted model: the data and its checks, the
order and its margins, the graph and a sortable table of its edges, the
bootstrap's verdicts, how to reproduce the run, and a methods paragraph.

The file needs nothing outside itself: pictures are inline SVG, the style
and the few lines of script that sort tables are inline, and no address
outside the page is named, so it opens from a disk or an e-mail. page.py
builds the pieces, sections.py the sections, methods.py the paragraph;
this module puts them together for each estimator.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import Any

import numpy as np

from varkel._errors import InputError
from varkel._report.methods import methods_paragraph
from varkel._report.page import escape, page, table
from varkel._report.sections import (
    Dataset,
    bootstrap_section,
    data_section,
    edge_rows,
    graph_section,
    graph_svg,
    order_section,
    reproducibility_section,
    section,
)


def _require_matplotlib() -> None:
    try:
        import matplotlib  # noqa: F401, PLC0415 - plotting is optional
    except ImportError:
        raise InputError("reports need matplotlib: pip install 'varkel[plot]'") from None


def _datasets(tables: Sequence[np.ndarray], sources: Sequence[str] | None,
              described: str) -> list[Dataset]:
    if sources is not None and len(sources) != len(tables):
        raise InputError(f"sources names {len(sources)} files for {len(tables)} tables")
    def label(k: int) -> str:
        if sources:
            return "standard input" if sources[k] == "-" else os.path.basename(sources[k])
        return f"{described} {k}" if len(tables) > 1 else described

    return [Dataset(label(k), values, sources[k] if sources else None)
            for k, values in enumerate(tables)]


def write_html(path: str | os.PathLike[str], text: str) -> None:
    try:
        with open(path, "w", encoding="utf-8") as handle:
            handle.write(text)
    except OSError as error:
        raise InputError(f"cannot write {os.fspath(path)}: {error.strerror or error}") from None


def single_report(model: Any, X: Any, bootstrap: Any, *, sources: Sequence[str] | None,
                  command: str | None) -> str:
    _require_matplotlib()
    values = model._fitted_values(X)
    names = model.feature_names()
    data = _datasets([values], sources, "the data given to report()")[0]
    probabilities = None if bootstrap is None else model._bootstrap_probabilities(bootstrap)
    rows = edge_rows(model.adjacency_matrix_, names, model.order_margins_, probabilities)
    parts = [data_section(data, names, model.diagnostics(X), model.independence_),
             order_section(model, names),
             graph_section(graph_svg(model.plot(bootstrap=bootstrap)), rows)]
    if bootstrap is not None:
        parts.append(bootstrap_section(bootstrap, names, model.causal_order_))
    parts += [methods(model, [values.shape[0]], len(names), len(rows), bootstrap,
                      [model.independence_], "single"),
              reproducibility_section(model, command)]
    return page(f"varkel report: {data.label}", parts)


def groups_report(model: Any, X_list: Any, bootstrap: Any, *,
                  sources: Sequence[str] | None, command: str | None) -> str:
    _require_matplotlib()
    groups = model._fitted_groups(X_list)
    names = model.feature_names()
    datasets = _datasets([g.values for g in groups], sources, "group")
    found = model.diagnostics(X_list)
    per_group = None if bootstrap is None else model._per_group(bootstrap)
    parts = [order_section(model, names)]
    edges = 0
    for g, (data, B) in enumerate(zip(datasets, model.adjacency_matrices_, strict=True)):
        probabilities = None if per_group is None else model._group_probabilities(per_group, g)
        rows = edge_rows(B, names, model.order_margins_, probabilities)
        edges += len(rows)
        body = (data_section(data, names, found[g], model.independence_[g],
                             heading=f"Group {g}: {data.label}")
                + graph_section(graph_svg(model.plot(g, bootstrap=bootstrap)), rows,
                                title=f"Group {g}: the graph", section_id=f"graph-{g}",
                                table_id=f"edges-{g}"))
        if per_group is not None:
            body += bootstrap_section(per_group[g], names, model.causal_order_).replace(
                "<h2>The bootstrap</h2>", f"<h2>Group {g}: the bootstrap</h2>").replace(
                'id="bootstrap"', f'id="bootstrap-{g}"').replace('id="order-p"',
                                                                 f'id="order-p-{g}"')
        parts.append(f'<div class="group">{body}</div>')
    parts += [methods(model, [d.values.shape[0] for d in datasets], len(names), edges,
                      per_group[0] if per_group else None, model.independence_, "groups"),
              reproducibility_section(model, command)]
    return page(f"varkel report: {len(datasets)} groups", parts)


def lags_report(model: Any, X: Any, bootstrap: Any, *, sources: Sequence[str] | None,
                command: str | None) -> str:
    from varkel._graph import lag_name  # noqa: PLC0415

    _require_matplotlib()
    values = model._fitted_series(X)
    names = model.feature_names()
    data = _datasets([values], sources, "the series given to report()")[0]
    adjacency, node_names, _ = model.unrolled_graph()
    probabilities = model._unrolled_probabilities(bootstrap)
    n_vars = len(names)
    lag_tables = []
    edges = 0
    for lag, B in enumerate(model.adjacency_matrices_):
        rows = [[lag_name(names[j], lag), names[i], float(B[i, j]),
                 None if probabilities is None else float(probabilities[i, lag * n_vars + j])]
                for i, j in zip(*np.nonzero(B), strict=True)]
        edges += len(rows)
        lag_tables.append(f"<h3>Lag {lag}" + (" (instantaneous)" if lag == 0 else "") + "</h3>"
                          + (table(["from", "to", "weight", "bootstrap probability"], rows,
                                   sortable=True, table_id=f"lag-{lag}")
                             if rows else "<p>No edges.</p>"))
    svg = graph_svg(model.plot(bootstrap=bootstrap))
    parts = [data_section(data, names, model.diagnostics(X), model.independence_),
             order_section(model, names),
             section("The graph", f"<p>{model.lags_} lag{'s' * (model.lags_ != 1)}; lagged "
                     "nodes are named like x(t-1).</p><figure>" + svg + "</figure>"
                     + "".join(lag_tables), "graph")]
    if bootstrap is not None:
        parts.append(bootstrap_section(bootstrap, names, model.causal_order_,
                                       node_names=node_names))
    parts += [methods(model, [values.shape[0]], n_vars, edges, bootstrap,
                      [model.independence_], "lags"),
              reproducibility_section(model, command)]
    del adjacency
    return page(f"varkel report: {data.label}", parts)


def methods(model: Any, samples: list[int], n_vars: int, edges: int, bootstrap: Any,
            checks: list[Any], kind: str) -> str:
    count = 0 if bootstrap is None else len(bootstrap.adjacency_matrices_)
    return section("Methods", "<p class=\"note\">A paragraph to adapt for a paper; its figures "
                   "are this run's.</p>" + methods_paragraph(
                       model, samples=samples, n_vars=n_vars, edges=edges, bootstrap=count,
                       seed=model.random_state, checks=checks, kind=kind), "methods")


__all__ = ["escape", "groups_report", "lags_report", "single_report", "write_html"]
