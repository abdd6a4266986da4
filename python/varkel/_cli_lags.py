"""Command line: `varkel graph SERIES.csv --lags K`, the instantaneous and
lagged causal graph of a time series."""

from __future__ import annotations

import argparse
from typing import Any

import varkel
from varkel._cli_common import (
    bootstrap_with_progress,
    check_outputs,
    fit_with_progress,
    named,
    read_input,
    report_checks,
    report_search,
    reports,
    save_figure,
    write_file,
    write_report,
)


def command_lags(options: argparse.Namespace) -> dict[str, Any]:
    check_outputs(options)
    names, X, knowledge = read_input(options)
    model = varkel.VARExhaustiveLiNGAM(lags=options.lags, **knowledge,
                                       threads=options.threads, random_state=options.seed)
    fit_with_progress(options, model, named(names, X), len(names))
    if not reports(options):
        return {"text": None, "json": None}
    bootstrap = bootstrap_with_progress(options, model, named(names, X))
    report_search(options, model.search_, model.blocks_)
    checks = report_checks(model.diagnostics(named(names, X)), model.independence_)
    n_vars = len(names)
    probabilities = None if bootstrap is None else bootstrap.get_probabilities()
    lines = [f"order: {' -> '.join(names[j] for j in model.causal_order_)}",
             f"lags: {model.lags_}"]
    edges = []
    for lag, B in enumerate(model.adjacency_matrices_):
        for j, i in varkel.edges(B):
            edge: dict[str, Any] = {"from": names[j], "to": names[i], "lag": lag,
                                    "weight": float(B[i, j])}
            source = names[j] if lag == 0 else f"{names[j]}(t-{lag})"
            line = f"{source} -> {names[i]}  {B[i, j]:+.4g}"
            if probabilities is not None:
                edge["probability"] = float(probabilities[i, lag * n_vars + j])
                line += f"  p={edge['probability']:.2f}"
            edges.append(edge)
            lines.append(line)
    if not edges:
        lines.append("(no edges)")
    return {"text": "\n".join(lines),
            "json": {"order": [names[j] for j in model.causal_order_], "lags": model.lags_,
                     "names": names, "edges": edges,
                     "adjacency_matrices": model.adjacency_matrices_.tolist(),
                     "bootstrap": options.bootstrap or 0, "search": model.search_, **checks},
            "files": lambda: write_lag_pictures(options, model, bootstrap, named(names, X))}


def write_lag_pictures(options: argparse.Namespace, model: Any, bootstrap: Any,
                       data: Any) -> None:
    write_report(options, model, data, bootstrap)
    if options.dot:
        write_file(options.dot, model.to_dot(bootstrap))
    if options.png:
        save_figure(options.png, model.plot(bootstrap=bootstrap).figure)
