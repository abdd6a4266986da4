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
    """The edges of an adjacency matrix.

    Parameters
    ----------
    adjacency : (n, n) array
        ``adjacency[i, j] != 0`` means x_j -> x_i.

    Returns
    -------
    list of (int, int)
        (j, i) for every x_j -> x_i, ordered by target, then source.
    """
    return [(int(j), int(i)) for i, j in zip(*np.nonzero(adjacency), strict=True)]


def _quote(name: str) -> str:
    escaped = name.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")
    return f'"{escaped}"'


def edge_label(weight: float, probability: float | None, margin: float | None = None) -> str:
    """The weight, then p= and m= when given."""
    text = f"{weight:.3g}"
    extras = [] if probability is None else [f"p={probability:.2f}"]
    if margin is not None:
        extras.append(f"m={margin:.2g}")
    return text if not extras else f"{text} ({', '.join(extras)})"


def edge_margin(margins: np.ndarray | None, j: int, i: int) -> float | None:
    """The margin of the edge x_j -> x_i: what the best order would lose by
    putting x_i before x_j, entry [j, i]."""
    return None if margins is None else float(margins[j, i])


def to_dot(adjacency: np.ndarray, names: list[str],
           probabilities: np.ndarray | None = None, *,
           margins: np.ndarray | None = None) -> str:
    """A graph as Graphviz DOT text.

    One node per variable, one edge per nonzero entry ``adjacency[i, j]``
    (x_j -> x_i), labelled with its weight.

    Parameters
    ----------
    adjacency : (n, n) array
    names : list of str
        The nodes' names.
    probabilities : (n, n) array or None
        Adds each edge's bootstrap probability (p=) to its label.
    margins : (n, n) array or None
        An estimator's ``order_margins_``: adds each edge's margin (m=).

    Returns
    -------
    str
    """
    lines = ["digraph varkel {", "  node [shape=ellipse];"]
    lines += [f"  {_quote(name)};" for name in names]
    for j, i in edges(adjacency):
        p = None if probabilities is None else float(probabilities[i, j])
        label = edge_label(float(adjacency[i, j]), p, edge_margin(margins, j, i))
        lines.append(f"  {_quote(names[j])} -> {_quote(names[i])} [label={_quote(label)}];")
    lines.append("}")
    return "\n".join(lines) + "\n"


def groups_to_dot(matrices: list[np.ndarray], names: list[str], groups: list[str],
                  probabilities: list[np.ndarray] | None = None) -> str:
    """Graphviz DOT text of several groups' graphs over the same variables:
    one cluster per group, titled with its name, each with its own copy of
    the nodes and its edges labelled as in to_dot."""
    lines = ["digraph varkel {", "  node [shape=ellipse];"]
    for g, (B, group) in enumerate(zip(matrices, groups, strict=True)):
        lines += [f"  subgraph cluster_{g} {{", f"    label={_quote(group)};"]
        # Node IDs carry the group's position, so that two groups of the
        # same name still get nodes of their own.
        lines += [f"    {_quote(f'{g}: {name}')} [label={_quote(name)}];" for name in names]
        for j, i in edges(B):
            p = None if probabilities is None else float(probabilities[g][i, j])
            label = edge_label(float(B[i, j]), p)
            lines.append(f"    {_quote(f'{g}: {names[j]}')} -> "
                         f"{_quote(f'{g}: {names[i]}')} [label={_quote(label)}];")
        lines.append("  }")
    lines.append("}")
    return "\n".join(lines) + "\n"


def lag_name(name: str, lag: int) -> str:
    return name if lag == 0 else f"{name}(t-{lag})"


def unrolled(adjacency: np.ndarray, names: list[str], order: list[int]
             ) -> tuple[np.ndarray, list[str], list[int]]:
    """A time-series graph ((lags + 1, n, n): B0, B1, ...) as one graph over
    n * (lags + 1) nodes, x_j at t - τ being node τ n + j named 'x_j(t-τ)':
    its adjacency, names and an order (the oldest lag first, then `order`)."""
    count, n_vars, _ = adjacency.shape
    size = n_vars * count
    joined = np.zeros((size, size))
    joined[:n_vars] = np.hstack(list(adjacency))
    all_names = _unique([lag_name(name, lag) for lag in range(count) for name in names])
    full_order = [lag * n_vars + j for lag in range(count - 1, 0, -1) for j in range(n_vars)]
    return joined, all_names, full_order + list(order)


def _unique(names: list[str]) -> list[str]:
    """The names with a number added to each repeat: a column named
    'x(t-1)' beside x's lagged node must not become the same node."""
    seen: set[str] = set()
    result = []
    for name in names:
        unique, k = name, 1
        while unique in seen:
            k += 1
            unique = f"{name} #{k}"
        seen.add(unique)
        result.append(unique)
    return result


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
    """The file suffixes :func:`plot_graph`'s figures can be saved as.

    Returns
    -------
    set of str
        matplotlib's formats, such as png, svg and pdf.
    """
    try:
        from matplotlib.figure import Figure  # noqa: PLC0415 - plotting is optional
    except ImportError:
        raise InputError("pictures need matplotlib: pip install 'varkel[plot]'") from None
    return set(Figure().canvas.get_supported_filetypes())


def plot_graph(adjacency: np.ndarray, names: list[str], order: list[int], *,
               probabilities: np.ndarray | None = None, margins: np.ndarray | None = None,
               ax: Any = None) -> Any:
    """Draws a graph with matplotlib.

    Colour gives an edge's sign, width its weight, and its shade the order
    margin (darker: the data decide the pair more clearly), or else its
    bootstrap probability. A legend says so. Uses Graphviz's layout when its
    ``dot`` program is installed, else layers by longest path from the roots.

    Parameters
    ----------
    adjacency : (n, n) array
        ``adjacency[i, j] != 0`` means x_j -> x_i.
    names : list of str
    order : list of int
        A causal order, which orders the nodes within a layer.
    probabilities : (n, n) array or None
        Bootstrap probabilities, shown as p=.
    margins : (n, n) array or None
        Order margins, shown as m= and as the edges' shade.
    ax : matplotlib Axes or None
        Without it a new figure is made (not registered with pyplot).

    Returns
    -------
    matplotlib Axes
        Save the picture with ``ax.figure.savefig(path)``.
    """
    from matplotlib.figure import Figure  # noqa: PLC0415 - plotting is optional

    if ax is None:
        ax = Figure(figsize=(2.0 + 1.1 * len(names) ** 0.8, 1.8 + 1.0 * len(names) ** 0.6),
                    layout="constrained").subplots()
    positions = graphviz_positions(to_dot(adjacency, names), names)
    if positions is None:
        positions = layered_positions(adjacency, order)
    _draw(ax, adjacency, names, positions, probabilities, margins)
    return ax


def _shades(adjacency: np.ndarray, probabilities: np.ndarray | None,
            margins: np.ndarray | None) -> dict[tuple[int, int], float]:
    """Each edge's opacity: by its margin relative to the largest finite one,
    else by its probability, else full."""
    shades = {}
    finite = [edge_margin(margins, j, i) for j, i in edges(adjacency)]
    largest = max((m for m in finite if m is not None and np.isfinite(m)), default=0.0)
    for j, i in edges(adjacency):
        margin = edge_margin(margins, j, i)
        if margin is not None:
            share = 1.0 if not np.isfinite(margin) or largest <= 0 else margin / largest
            shades[j, i] = 0.25 + 0.75 * share
        elif probabilities is not None:
            shades[j, i] = 0.3 + 0.7 * float(probabilities[i, j])
        else:
            shades[j, i] = 0.9
    return shades


class _Placer:
    """Keeps edge labels off the edges, the nodes and each other. Works in
    display units, on text that has been laid out: each label tries spots
    beside its edge and takes the one that overlaps least with the labels
    already placed, the edges and the nodes."""

    def __init__(self, ax: Any, positions: Positions, edge_list: list[tuple[int, int]],
                 node_radius_points: float) -> None:
        ax.figure.draw_without_rendering()  # settles the layout, so sizes are final
        self.ax = ax
        self.to_display = ax.transData
        self.starts = np.array([self.to_display.transform(positions[j]) for j, _ in edge_list]
                               ).reshape(-1, 2)
        self.ends = np.array([self.to_display.transform(positions[i]) for _, i in edge_list]
                             ).reshape(-1, 2)
        self.nodes = np.array([self.to_display.transform(p) for p in positions.values()]
                              ).reshape(-1, 2)
        self.node_radius = node_radius_points * ax.figure.dpi / 72.0
        self.boxes: list[tuple[float, float, float, float]] = []

    def place(self, text: Any, start: tuple[float, float], end: tuple[float, float]) -> None:
        a, b = self.to_display.transform(start), self.to_display.transform(end)
        direction = b - a
        length = float(np.hypot(*direction)) or 1.0
        normal = np.array([-direction[1], direction[0]]) / length
        extent = text.get_window_extent()  # with the renderer of the layout pass
        pad = 0.4 * text.get_fontsize() * self.ax.figure.dpi / 72.0  # the label's box
        width, height = extent.width + pad, extent.height + pad
        clearance = 0.5 * (abs(normal[0]) * width + abs(normal[1]) * height) + 1.5 * pad
        best, best_cost = None, np.inf
        for t in sorted(np.linspace(0.2, 0.8, 13), key=lambda t: abs(t - 0.5)):
            for side in (1.0, -1.0):
                centre = a + t * direction + side * clearance * normal
                box = (centre[0] - width / 2, centre[1] - height / 2,
                       centre[0] + width / 2, centre[1] + height / 2)
                cost = self._overlap(box)
                if cost < best_cost - 1e-9:
                    best, best_cost = (centre, box), cost
        assert best is not None
        centre, box = best
        self.boxes.append(box)
        text.set_position(self.to_display.inverted().transform(centre))

    def _overlap(self, box: tuple[float, float, float, float]) -> float:
        x0, y0, x1, y1 = box
        area = (x1 - x0) * (y1 - y0)
        cost = 0.0
        if self.boxes:
            placed = np.asarray(self.boxes)
            wide = np.clip(np.minimum(x1, placed[:, 2]) - np.maximum(x0, placed[:, 0]), 0, None)
            high = np.clip(np.minimum(y1, placed[:, 3]) - np.maximum(y0, placed[:, 1]), 0, None)
            cost += 4 * float(np.sum(wide * high))
        margin = 4.0  # pixels: a line has a width, and a label's box needs air
        cost += area * _segments_through_box(self.starts, self.ends, (
            x0 - margin, y0 - margin, x1 + margin, y1 + margin))
        dx = np.maximum(np.maximum(x0 - self.nodes[:, 0], 0.0), self.nodes[:, 0] - x1)
        dy = np.maximum(np.maximum(y0 - self.nodes[:, 1], 0.0), self.nodes[:, 1] - y1)
        cost += 2 * area * int(np.count_nonzero(dx * dx + dy * dy < self.node_radius**2))
        lx0, ly0, lx1, ly1 = self.ax.bbox.extents  # stay inside the axes
        outside = max(0.0, lx0 - x0) + max(0.0, x1 - lx1) + max(0.0, ly0 - y0) + \
            max(0.0, y1 - ly1)
        return float(cost + outside * (y1 - y0) * 4)


def _segments_through_box(starts: np.ndarray, ends: np.ndarray,
                          box: tuple[float, float, float, float]) -> int:
    """How many of the segments starts[k]-ends[k] pass through the box:
    each is clipped to the box's slab on either axis (Liang-Barsky), and
    crosses it where the parameter ranges of both slabs meet within [0, 1]."""
    if len(starts) == 0:
        return 0
    low, high = np.array(box[:2]), np.array(box[2:])
    step = ends - starts
    with np.errstate(divide="ignore", invalid="ignore"):
        at_low, at_high = (low - starts) / step, (high - starts) / step
    enter, leave = np.minimum(at_low, at_high), np.maximum(at_low, at_high)
    # A segment parallel to an axis is inside that slab everywhere or nowhere.
    flat = step == 0
    inside = (starts >= low) & (starts <= high)
    enter = np.where(flat, np.where(inside, -np.inf, np.inf), enter)
    leave = np.where(flat, np.where(inside, np.inf, -np.inf), leave)
    first = np.maximum(enter.max(axis=1), 0.0)
    last = np.minimum(leave.min(axis=1), 1.0)
    return int(np.count_nonzero(first <= last))


def _draw(ax: Any, adjacency: np.ndarray, names: list[str], positions: Positions,
          probabilities: np.ndarray | None, margins: np.ndarray | None) -> None:
    from matplotlib.lines import Line2D  # noqa: PLC0415 - plotting is optional

    xs = np.array([positions[v][0] for v in range(len(names))])
    ys = np.array([positions[v][1] for v in range(len(names))])
    span = max(float(np.ptp(xs)), float(np.ptp(ys)), 1.0)
    pad = 0.08 * span + 0.35
    ax.set_xlim(xs.min() - pad, xs.max() + pad)
    ax.set_ylim(ys.min() - pad, ys.max() + pad)
    ax.set_aspect("equal")
    ax.set_axis_off()
    largest = float(np.max(np.abs(adjacency))) if np.any(adjacency) else 1.0
    shades = _shades(adjacency, probabilities, margins)
    labels = []
    for j, i in edges(adjacency):
        weight = float(adjacency[i, j])
        arrow = ax.annotate("", xy=positions[i], xytext=positions[j], zorder=1, arrowprops={
            "arrowstyle": "-|>", "color": "tab:red" if weight < 0 else "tab:blue",
            "lw": 0.8 + 2.2 * abs(weight) / largest, "shrinkA": 16, "shrinkB": 16,
            "alpha": shades[j, i]})
        # Named, so that an SVG of the figure says which element is which edge.
        arrow.arrow_patch.set_gid(f"edge-{j}-{i}")
        p = None if probabilities is None else float(probabilities[i, j])
        # Two short lines keep a label narrow, so it sits close to its edge;
        # it takes the edge's colour, so it is clear which edge it labels.
        label = edge_label(weight, p, edge_margin(margins, j, i)).replace(" (", "\n(")
        if label.startswith("-"):
            label = "\u2212" + label[1:]  # a minus sign as wide as a plus, easy to see
        labels.append((j, i, ax.text(positions[j][0], positions[j][1], label, fontsize=7,
                                     ha="center", va="center", zorder=4, linespacing=1.1,
                                     color="#b2182b" if weight < 0 else "#2166ac",
                                     bbox={"boxstyle": "round,pad=0.2", "fc": "white",
                                           "ec": "none", "alpha": 0.9})))
    for v, name in enumerate(names):
        # Names are drawn as written: '$a$' is a name, not a formula.
        ax.text(xs[v], ys[v], name, ha="center", va="center", fontsize=10, zorder=5,
                parse_math=False, gid=f"node-{v}",
                bbox={"boxstyle": "circle,pad=0.3" if len(name) <= 3 else "round,pad=0.3",
                      "fc": "#f4f1de", "ec": "#3d405b"})
    handles = [Line2D([], [], color="tab:blue", lw=2, label="positive weight"),
               Line2D([], [], color="tab:red", lw=2, label="negative weight"),
               Line2D([], [], color="gray", lw=3.0, label="width: |weight|")]
    if margins is not None:
        handles += [Line2D([], [], color="gray", lw=2, alpha=1.0, label="dark: large margin (m)"),
                    Line2D([], [], color="gray", lw=2, alpha=0.3, label="pale: small margin")]
    elif probabilities is not None:
        handles.append(Line2D([], [], color="gray", lw=2, alpha=0.4,
                              label="pale: low probability (p)"))
    ax.legend(handles=handles, loc="upper center", bbox_to_anchor=(0.5, 0.0), ncol=3,
              fontsize=7, frameon=False)
    for _, _, text in labels:
        text.set_in_layout(False)  # placing labels must not move the axes they are placed in
    placer = _Placer(ax, positions, edges(adjacency), node_radius_points=14.0)
    for j, i, text in labels:
        placer.place(text, positions[j], positions[i])
