"""Pictures of a causal graph: Graphviz DOT text, and a matplotlib drawing.

The drawing uses Graphviz's layout when its `dot` program is installed, and
otherwise puts the variables in layers: a variable with no parents in the top
layer, every other one a layer below its lowest parent.
"""

from __future__ import annotations

import shlex
import shutil
import subprocess
from typing import Any

import numpy as np

from varkel._errors import InputError

Positions = dict[int, tuple[float, float]]


def edges(adjacency: np.ndarray) -> list[tuple[int, int]]:
    """The edges of an adjacency matrix: (j, i) for every x_j -> x_i, that is
    every adjacency[i, j] != 0, ordered by target, then source."""
    return [(int(j), int(i)) for i, j in zip(*np.nonzero(adjacency), strict=True)]


def _quote(name: str) -> str:
    escaped = name.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")
    return f'"{escaped}"'


def edge_label(weight: float, probability: float | None) -> str:
    text = f"{weight:.3g}"
    return text if probability is None else f"{text} (p={probability:.2f})"


def to_dot(adjacency: np.ndarray, names: list[str],
           probabilities: np.ndarray | None = None) -> str:
    """Graphviz DOT text: one node per variable, one edge per nonzero entry
    adjacency[i, j] (x_j -> x_i) labelled with its weight, and with its
    bootstrap probability when `probabilities` (same shape) is given."""
    lines = ["digraph varkel {", "  node [shape=ellipse];"]
    lines += [f"  {_quote(name)};" for name in names]
    for j, i in edges(adjacency):
        p = None if probabilities is None else float(probabilities[i, j])
        lines.append(f"  {_quote(names[j])} -> {_quote(names[i])} "
                     f"[label={_quote(edge_label(float(adjacency[i, j]), p))}];")
    lines.append("}")
    return "\n".join(lines) + "\n"


def graphviz_positions(dot_text: str, names: list[str]) -> Positions | None:
    """Node positions from Graphviz's `dot -Tplain`, or None without it."""
    program = shutil.which("dot")
    if program is None:
        return None
    try:
        done = subprocess.run([program, "-Tplain"], input=dot_text, capture_output=True,
                              text=True, timeout=30, check=True)
    except (OSError, subprocess.SubprocessError):
        return None
    index = {name: j for j, name in enumerate(names)}
    positions: Positions = {}
    for line in done.stdout.splitlines():
        fields = shlex.split(line)
        if len(fields) >= 4 and fields[0] == "node" and fields[1] in index:
            positions[index[fields[1]]] = (float(fields[2]), float(fields[3]))
    return positions if len(positions) == len(names) else None


def layered_positions(adjacency: np.ndarray, order: list[int]) -> Positions:
    """Layers by longest path from the roots, ordered within a layer by the
    causal order; the top layer is drawn highest."""
    layer: dict[int, int] = {}
    for v in order:
        parents = [j for j in np.flatnonzero(adjacency[v]) if int(j) in layer]
        layer[v] = 1 + max((layer[int(j)] for j in parents), default=-1)
    positions: Positions = {}
    for depth in sorted(set(layer.values())):
        members = [v for v in order if layer[v] == depth]
        for slot, v in enumerate(members):
            positions[v] = (1.6 * (slot - (len(members) - 1) / 2.0), -float(depth))
    return positions


def picture_formats() -> set[str]:
    """The file suffixes plot_graph's figures can be saved as (matplotlib's
    formats, such as png, svg and pdf)."""
    try:
        from matplotlib.figure import Figure  # noqa: PLC0415 - plotting is optional
    except ImportError:
        raise InputError("pictures need matplotlib: pip install 'varkel[plot]'") from None
    return set(Figure().canvas.get_supported_filetypes())


def plot_graph(adjacency: np.ndarray, names: list[str], order: list[int], *,
               probabilities: np.ndarray | None = None, ax: Any = None) -> Any:
    """Draws the graph with matplotlib and returns the axes. Without `ax` a new
    figure is made (not registered with pyplot); save it with
    ax.figure.savefig(path)."""
    from matplotlib.figure import Figure  # noqa: PLC0415 - plotting is optional

    if ax is None:
        ax = Figure(figsize=(1.6 + 1.3 * len(names) ** 0.8, 1.2 + 1.1 * len(names) ** 0.6),
                    layout="tight").subplots()
    positions = graphviz_positions(to_dot(adjacency, names), names)
    if positions is None:
        positions = layered_positions(adjacency, order)
    _draw(ax, adjacency, names, positions, probabilities)
    return ax


def _draw(ax: Any, adjacency: np.ndarray, names: list[str], positions: Positions,
          probabilities: np.ndarray | None) -> None:
    xs = np.array([positions[v][0] for v in range(len(names))])
    ys = np.array([positions[v][1] for v in range(len(names))])
    span = max(float(np.ptp(xs)), float(np.ptp(ys)), 1.0)
    radius = 0.12 * span if span > 5 else 0.25
    largest = float(np.max(np.abs(adjacency))) if np.any(adjacency) else 1.0
    for j, i in edges(adjacency):
        weight = float(adjacency[i, j])
        p = None if probabilities is None else float(probabilities[i, j])
        start, end = np.array(positions[j]), np.array(positions[i])
        ax.annotate("", xy=end, xytext=start, arrowprops={
            "arrowstyle": "-|>", "color": "tab:red" if weight < 0 else "tab:blue",
            "lw": 0.8 + 2.2 * abs(weight) / largest, "shrinkA": 16, "shrinkB": 16,
            "alpha": 0.9 if p is None else 0.3 + 0.7 * p})
        # A label runs along its edge, a third of the way from the source:
        # edges that cross in the middle, or fan out of one node, keep their
        # labels apart.
        where = start + 0.35 * (end - start)
        angle = float(np.degrees(np.arctan2(end[1] - start[1], end[0] - start[0])))
        if angle > 90 or angle < -90:
            angle -= 180 if angle > 0 else -180
        ax.text(where[0], where[1], edge_label(weight, p), fontsize=7, ha="center",
                va="center", rotation=angle, rotation_mode="anchor",
                bbox={"boxstyle": "round,pad=0.1", "fc": "white", "ec": "none", "alpha": 0.85})
    for v, name in enumerate(names):
        ax.text(xs[v], ys[v], name, ha="center", va="center", fontsize=10, zorder=3,
                bbox={"boxstyle": "circle,pad=0.3" if len(name) <= 3 else "round,pad=0.3",
                      "fc": "#f4f1de", "ec": "#3d405b"})
    pad = radius + 0.3
    ax.set_xlim(xs.min() - pad, xs.max() + pad)
    ax.set_ylim(ys.min() - pad, ys.max() + pad)
    ax.set_aspect("equal")  # so that labels lie along their edges
    ax.set_axis_off()
