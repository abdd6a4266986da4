"""The sections of a report: the data and its checks, the order, the graph
and its edges, the bootstrap, how to reproduce the run, and a methods
paragraph. Each returns HTML, worded as the command line words it."""

from __future__ import annotations

import datetime
import hashlib
import io
import itertools
import platform
import re
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from varkel._report.page import Cell, bars, escape, heat_map, number, table

ARROW = " \u2192 "


@dataclass(frozen=True)
class Dataset:
    """One table the model was fitted on: its label (a file name, or a
    description of an array), its values, and its file when read from one."""

    label: str
    values: np.ndarray
    path: str | None = None

    def sha256(self) -> str:
        digest = hashlib.sha256()
        if self.path is not None and self.path != "-":
            with open(self.path, "rb") as handle:
                for block in iter(lambda: handle.read(1 << 20), b""):
                    digest.update(block)
            return digest.hexdigest()
        digest.update(np.ascontiguousarray(self.values, dtype=np.float64).tobytes())
        return digest.hexdigest() + " (of the values as 64-bit floats, row by row)"


def section(title: str, body: str, section_id: str) -> str:
    return f'<section id="{escape(section_id)}"><h2>{escape(title)}</h2>\n{body}</section>'


def column_summary(values: np.ndarray, names: Sequence[str]) -> str:
    from scipy.stats import kurtosis, skew  # noqa: PLC0415

    rows: list[list[Cell]] = [
        [name, float(np.mean(column)), float(np.std(column)), float(skew(column)),
         float(kurtosis(column)), len(np.unique(column))]
        for name, column in zip(names, values.T, strict=True)]
    return table(["column", "mean", "sd", "skewness", "excess kurtosis", "distinct values"],
                 rows, sortable=True)


def checks(diagnostics: Sequence[Any] | None, independence: Any) -> str:
    """The independence line and one line per diagnostic, as printed."""
    lines = [f"<p>{escape(independence)}</p>"]
    if diagnostics is None:
        lines.append('<p class="note">diagnostics: skipped (not computed)</p>')
    elif not diagnostics:
        lines.append("<p>diagnostics: none apply</p>")
    else:
        lines += [f'<p class="{escape(d.severity)}">{escape(d.severity)}: {escape(d)}</p>'
                  for d in diagnostics]
    return "\n".join(lines)


def data_section(data: Dataset, names: Sequence[str], diagnostics: Sequence[Any] | None,
                 independence: Any, heading: str = "The data") -> str:
    rows, columns = data.values.shape
    body = (f"<p>{escape(data.label)}: {rows} rows, {columns} columns.<br>"
            f'SHA-256: <code>{escape(data.sha256())}</code></p>'
            + column_summary(data.values, names) + "<h3>Checks</h3>"
            + checks(diagnostics, independence))
    return section(heading, body, "data" if heading == "The data" else
                   "data-" + re.sub(r"[^A-Za-z0-9]+", "-", heading).strip("-").lower())


def order_section(model: Any, names: Sequence[str]) -> str:
    order = list(model.causal_order_)
    ordered = [names[j] for j in order]
    parts = [f'<p class="order">{escape(ARROW.join(ordered))}</p>',
             f"<p>Total score: {escape(number(model.total_score_, 8))}. "
             f"Search: {escape(model.search_)}"
             + (f", in {len(model.blocks_)} blocks" if len(model.blocks_) > 1 else "")
             + ".</p>"]
    margins = getattr(model, "order_margins_", None)
    if margins is None:
        parts.append('<p class="note">Order margins: skipped (not computed for this fit).</p>')
    else:
        pairs = [f"{names[a]} before {names[b]}" for a, b in itertools.pairwise(order)]
        parts.append(bars(pairs, [float(margins[a, b]) for a, b in itertools.pairwise(order)],
                          caption="What the best order would lose by swapping each pair of "
                                  "neighbours: the order margin (longer: the data decide the "
                                  "pair more clearly)."))
        parts.append(heat_map(margins[np.ix_(order, order)], ordered, map_id="margins",
                              caption="Order margins, variables in causal order: row i, "
                                      "column j is what the best order would lose by putting "
                                      "column j's variable before row i's (dark grey: ruled "
                                      "out by prior knowledge)."))
    runner_up = getattr(model, "runner_up_order_", None)
    if runner_up is not None:
        parts.append(f"<p>Runner-up order: {escape(ARROW.join(names[j] for j in runner_up))}"
                     f" (total {escape(number(model.runner_up_total_, 8))}).</p>")
    return section("The order", "\n".join(parts), "order")


def graph_svg(ax: Any) -> str:
    """A matplotlib figure as inline SVG: text as text, without the XML
    prologue, namespaces or metadata (which name web addresses)."""
    import matplotlib  # noqa: PLC0415 - plotting is optional

    buffer = io.StringIO()
    with matplotlib.rc_context({"svg.fonttype": "none", "svg.hashsalt": "varkel"}):
        ax.figure.savefig(buffer, format="svg", metadata={"Date": None})
    svg = buffer.getvalue()
    svg = svg[svg.index("<svg"):]
    svg = re.sub(r"<metadata>.*?</metadata>", "", svg, flags=re.DOTALL)
    svg = re.sub(r'\s+xmlns(:\w+)?="[^"]*"', "", svg)
    return svg.replace("<svg", '<svg role="img" class="graph"', 1)


def edge_rows(adjacency: np.ndarray, names: Sequence[str], margins: np.ndarray | None,
              probabilities: np.ndarray | None) -> list[list[Any]]:
    from varkel._graph import edges  # noqa: PLC0415

    return [[names[j], names[i], float(adjacency[i, j]),
             None if margins is None else float(margins[j, i]),
             None if probabilities is None else float(probabilities[i, j])]
            for j, i in edges(adjacency)]


def edge_table(rows: list[list[Any]], table_id: str) -> str:
    if not rows:
        return "<p>No edges.</p>"
    return table(["from", "to", "weight", "margin", "bootstrap probability"], rows,
                 sortable=True, table_id=table_id)


def graph_section(svg: str, rows: list[list[Any]], title: str = "The graph",
                  section_id: str = "graph", table_id: str = "edges") -> str:
    body = (f"<figure>{svg}</figure>"
            '<p class="note">Click a column header to sort the edges by it.</p>'
            + edge_table(rows, table_id))
    return section(title, body, section_id)


def bootstrap_section(result: Any, names: Sequence[str], order: Sequence[int],
                      node_names: Sequence[str] | None = None, count: int = 10) -> str:
    """Order probabilities, the commonest directions and graphs, and total
    effects with their medians and spreads. node_names: the names of the
    adjacency's columns when they are more than the variables (lags)."""
    columns = list(node_names or names)
    resamples = len(result.adjacency_matrices_)
    probabilities = result.get_order_probabilities()
    ordered = [names[j] for j in order]
    parts = [f"<p>{resamples} resamples"
             + (f" ({len(result.skipped_resamples_)} could not be searched and were skipped)"
                if result.skipped_resamples_ else "") + ".</p>",
             heat_map(probabilities[np.ix_(order, order)], ordered, scale=1.0, map_id="order-p",
                      caption="Order probabilities, variables in the fitted order: row i, "
                              "column j is the share of resamples that put column j's "
                              "variable before row i's.")]
    directions = result.get_causal_direction_counts(n_directions=count)
    parts.append(f"<h3>The {count} commonest directions</h3>" + table(
        ["from", "to", "resamples", "share"],
        [[columns[a], names[b], c, c / resamples] for a, b, c in
         zip(directions["from"], directions["to"], directions["count"], strict=True)],
        sortable=True))
    dags = result.get_directed_acyclic_graph_counts(n_dags=5)
    parts.append("<h3>The five commonest graphs</h3>" + table(
        ["edges", "resamples"],
        [[", ".join(f"{columns[a]}\u2192{names[b]}" for a, b in
                    zip(dag["from"], dag["to"], strict=True)) or "(none)", c]
         for dag, c in zip(dags["dag"], dags["count"], strict=True)]))
    if result.total_effects_ is not None:
        parts.append("<h3>Total effects</h3>" + effects_table(result, names, count * 2))
    return section("The bootstrap", "\n".join(parts), "bootstrap")


def effects_table(result: Any, names: Sequence[str], count: int) -> str:
    effects = result.total_effects_
    summary = result.get_total_causal_effects()
    rows = []
    for a, b, median, share in list(zip(summary["from"], summary["to"], summary["effect"],
                                        summary["probability"], strict=True))[:count]:
        found = effects[np.abs(effects[:, b, a]) > 0, b, a]
        low, high = np.percentile(found, [5, 95])
        rows.append([names[a], names[b], median, float(low), float(high), share])
    return table(["from", "to", "median", "5th percentile", "95th percentile", "share nonzero"],
                 rows, sortable=True)


def reproducibility_section(model: Any, command: str | None) -> str:
    from varkel import _engine  # noqa: PLC0415
    from varkel._version import VERSION  # noqa: PLC0415

    params = model.get_params()
    call = command if command is not None else f"{type(model).__name__}(" + ", ".join(
        f"{key}={value!r}" for key, value in sorted(params.items())
        if not isinstance(value, np.ndarray)) + ")"
    rows = [["varkel", VERSION], ["run", call],
            ["random state", repr(params.get("random_state"))],
            ["kernel arithmetic", _engine.plan(0, 0)["arithmetic"]],
            ["processor", platform.processor() or platform.machine()],
            ["Python", platform.python_version()],
            ["date", datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC")]]
    return section("Reproducibility", table(["", ""], rows), "reproducibility")
