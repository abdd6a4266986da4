"""Writes the README's example data and draws its pictures with the command
line: docs/example.csv (a known sparse DAG) and docs/graph.png; three sites
sharing one structure, docs/site-*.csv, and docs/groups.png; a time series,
docs/series.csv, and docs/series.png.

    .venv/bin/python docs/make_example.py
"""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import numpy as np

import varkel

HERE = Path(__file__).resolve().parent
NAMES = ["a", "b", "c", "d", "e", "f", "g"]


def main() -> None:
    sim = varkel.simulate_dag(len(NAMES), 1000, seed=4, edge_probability=0.4)
    np.savetxt(HERE / "example.csv", sim.X, delimiter=",", header=",".join(NAMES),
               comments="", fmt="%.6f")
    edges = [f"{NAMES[j]} -> {NAMES[i]}  {sim.adjacency[i, j]:+.3f}"
             for i, j in np.argwhere(sim.adjacency != 0)]
    (HERE / "example-truth.txt").write_text("\n".join(sorted(edges)) + "\n")
    subprocess.run([sys.executable, "-m", "varkel", "graph", str(HERE / "example.csv"),
                    "--bootstrap", "100", "--png", str(HERE / "graph.png")], check=True)

    sites = []
    for site, group in zip("abc", varkel.simulate_groups(5, [400, 600, 800], seed=2,
                                                          edge_probability=0.5), strict=True):
        sites.append(f"docs/site-{site}.csv")
        np.savetxt(HERE / f"site-{site}.csv", group.X, delimiter=",",
                   header=",".join(NAMES[:5]), comments="", fmt="%.6f")
    subprocess.run([sys.executable, "-m", "varkel", "graph", *sites, "--groups",
                    "--png", "docs/groups.png"], check=True, cwd=HERE.parent)

    series = varkel.simulate_var(4, 1000, seed=3)
    np.savetxt(HERE / "series.csv", series.X, delimiter=",", header="w,x,y,z", comments="",
               fmt="%.6f")
    subprocess.run([sys.executable, "-m", "varkel", "graph", "docs/series.csv", "--lags", "2",
                    "--png", "docs/series.png"], check=True, cwd=HERE.parent)


if __name__ == "__main__":
    main()
