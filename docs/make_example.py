"""Writes docs/example.csv (simulated data with a known sparse DAG) and draws
docs/graph.png with the command line, as shown in the README.

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


if __name__ == "__main__":
    main()
