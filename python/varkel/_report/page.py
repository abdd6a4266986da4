"""The pieces of a self-contained HTML page: escaping, tables that sort when
a header is clicked (and read the same without script), heat maps and bars
as inline SVG. Nothing here refers to a resource outside the page."""

from __future__ import annotations

import html
import math
from collections.abc import Sequence

import numpy as np

STYLE = """
body{font:15px/1.45 system-ui,-apple-system,"Segoe UI",sans-serif;color:#222;max-width:72rem;
margin:0 auto;padding:1rem 1.5rem 4rem}
h1{font-size:1.6rem;margin-bottom:.2rem}h2{border-bottom:1px solid #ccc;margin-top:2.2rem}
h3{margin-top:1.4rem}
table{border-collapse:collapse;margin:.6rem 0;font-size:.9rem}
th,td{padding:.25rem .6rem;border-bottom:1px solid #e3e3e3;text-align:left}
td.num{text-align:right;font-variant-numeric:tabular-nums}
table.sortable th{cursor:pointer;user-select:none;background:#f5f5f5}
table.sortable th[aria-sort=ascending]::after{content:" \\25B2"}
table.sortable th[aria-sort=descending]::after{content:" \\25BC"}
.caution{color:#8a5a00}.warning{color:#b00020}.note{color:#555;font-size:.9rem}
.order{font-size:1.05rem;font-weight:600}
pre{background:#f6f6f6;padding:.6rem;overflow-x:auto;white-space:pre-wrap}
blockquote{background:#f4f7fb;border-left:4px solid #2166ac;margin:.8rem 0;padding:.6rem 1rem}
figure{margin:.6rem 0}svg text{font-family:system-ui,sans-serif}
"""

# Sorts a table.sortable by the clicked column: numbers by data-value,
# other cells by their text; a second click reverses.
SCRIPT = """
document.querySelectorAll("table.sortable").forEach(function (table) {
  table.querySelectorAll("thead th").forEach(function (header, column) {
    header.tabIndex = 0;
    function sort() {
      var ascending = header.getAttribute("aria-sort") !== "ascending";
      table.querySelectorAll("thead th").forEach(function (h) { h.removeAttribute("aria-sort"); });
      header.setAttribute("aria-sort", ascending ? "ascending" : "descending");
      var body = table.tBodies[0];
      var rows = Array.prototype.slice.call(body.rows);
      function key(row) {
        var cell = row.cells[column];
        var value = cell.getAttribute("data-value");
        return value === null ? cell.textContent : parseFloat(value);
      }
      rows.sort(function (a, b) {
        var x = key(a), y = key(b);
        var order = typeof x === "number" ? (x - y || 0) : String(x).localeCompare(String(y));
        return ascending ? order : -order;
      });
      rows.forEach(function (row) { body.appendChild(row); });
    }
    header.addEventListener("click", sort);
    header.addEventListener("keydown", function (e) { if (e.key === "Enter") sort(); });
  });
});
"""


def escape(text: object) -> str:
    return html.escape(str(text), quote=True)


def number(value: float | None, digits: int = 4) -> str:
    if value is None:
        return "\u2013"
    if math.isinf(value):
        return "ruled out" if value > 0 else "\u2212inf"
    if math.isnan(value):
        return "n/a"
    return f"{value:.{digits}g}".replace("-", "\u2212")


Cell = str | float | int | None


def table(headers: Sequence[str], rows: Sequence[Sequence[Cell]], *, sortable: bool = False,
          table_id: str | None = None) -> str:
    """An HTML table; numbers are right-aligned and carry their value for
    sorting (infinity sorts last, missing values as -inf)."""
    attributes = (' class="sortable"' if sortable else "") + (
        f' id="{escape(table_id)}"' if table_id else "")
    head = "".join(f"<th scope=\"col\">{escape(h)}</th>" for h in headers)
    body = []
    for row in rows:
        cells = []
        for cell in row:
            if isinstance(cell, (int, float, np.floating, np.integer)) and not isinstance(
                    cell, bool):
                value = float(cell)
                key = "1e308" if value == math.inf else "-1e308" if math.isnan(value) else \
                    repr(value)
                cells.append(f'<td class="num" data-value="{key}">{escape(number(value))}</td>')
            elif cell is None:
                cells.append('<td class="num" data-value="-1e308">\u2013</td>')
            else:
                cells.append(f"<td>{escape(cell)}</td>")
        body.append("<tr>" + "".join(cells) + "</tr>")
    return (f"<table{attributes}><thead><tr>{head}</tr></thead><tbody>"
            + "\n".join(body) + "</tbody></table>")


def _blue(share: float) -> str:
    """White to dark blue."""
    share = min(max(share, 0.0), 1.0)
    r, g, b = (round(255 + (c - 255) * share) for c in (33, 102, 172))
    return f"rgb({r},{g},{b})"


def heat_map(matrix: np.ndarray, labels: Sequence[str], *, caption: str,
             scale: float | None = None, map_id: str | None = None) -> str:
    """A square matrix as an SVG grid, rows and columns in `labels`' order,
    each cell shaded by its value over `scale` (the largest finite value by
    default) and titled with its value; infinite cells are dark grey."""
    n = len(labels)
    cell = max(12, min(34, 600 // max(n, 1)))
    margin = 8 + 7 * max((len(label) for label in labels), default=1)
    margin = min(margin, 160)
    finite = matrix[np.isfinite(matrix)]
    top = scale if scale is not None else float(finite.max()) if finite.size else 1.0
    top = top if top > 0 else 1.0
    size = margin + cell * n + 4
    parts = [f'<svg role="img" width="{size}" height="{size}" viewBox="0 0 {size} {size}"'
             + (f' id="{escape(map_id)}"' if map_id else "") + f"><title>{escape(caption)}"
             "</title>"]
    for k, label in enumerate(labels):
        short = escape(label if len(label) <= 22 else label[:21] + "\u2026")
        parts.append(f'<text x="{margin - 4}" y="{margin + cell * k + cell * 0.65:.1f}" '
                     f'text-anchor="end" font-size="11">{short}</text>')
        parts.append(f'<text transform="translate({margin + cell * k + cell * 0.65:.1f},'
                     f'{margin - 4}) rotate(-60)" font-size="11">{short}</text>')
    for i in range(n):
        for j in range(n):
            value = float(matrix[i, j])
            fill = "#444" if math.isinf(value) else _blue(value / top)
            parts.append(f'<rect x="{margin + cell * j}" y="{margin + cell * i}" width="{cell}" '
                         f'height="{cell}" fill="{fill}" stroke="#fff"><title>'
                         f"{escape(labels[i])}, {escape(labels[j])}: {escape(number(value))}"
                         "</title></rect>")
    parts.append("</svg>")
    return f"<figure>{''.join(parts)}<figcaption class=\"note\">{escape(caption)}</figcaption>" \
           "</figure>"


def bars(labels: Sequence[str], values: Sequence[float | None], *, caption: str) -> str:
    """Horizontal bars, one per label, scaled to the largest finite value."""
    finite = [v for v in values if v is not None and math.isfinite(v)]
    top = max(finite, default=1.0) or 1.0
    width, row = 560, 20
    label_width = min(300, 8 + 7 * max((len(label) for label in labels), default=1))
    height = row * len(labels) + 4
    parts = [f'<svg role="img" width="{label_width + width + 90}" height="{height}"><title>'
             f"{escape(caption)}</title>"]
    for k, (label, value) in enumerate(zip(labels, values, strict=True)):
        y = k * row + 2
        parts.append(f'<text x="{label_width - 6}" y="{y + 14}" text-anchor="end" '
                     f'font-size="12">{escape(label)}</text>')
        if value is None:
            continue
        share = 1.0 if not math.isfinite(value) else value / top
        parts.append(f'<rect x="{label_width}" y="{y + 3}" width="{max(share * width, 1):.1f}" '
                     f'height="{row - 6}" fill="#2166ac"><title>{escape(number(value))}</title>'
                     "</rect>")
        parts.append(f'<text x="{label_width + share * width + 6:.1f}" y="{y + 14}" '
                     f'font-size="12">{escape(number(value))}</text>')
    parts.append("</svg>")
    return f"<figure>{''.join(parts)}<figcaption class=\"note\">{escape(caption)}</figcaption>" \
           "</figure>"


def page(title: str, sections: Sequence[str]) -> str:
    return ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
            f"<title>{escape(title)}</title><style>{STYLE}</style></head><body>"
            f"<h1>{escape(title)}</h1>\n" + "\n".join(sections)
            + f"\n<script>{SCRIPT}</script></body></html>\n")
