"""varkel's ExhaustiveLiNGAM against greedy DirectLiNGAM (the lingam package).

    .venv/bin/python bench/compare.py [--sizes 6 8 10 12] [--seeds 10] [--samples 1000]
                                       [--edge-probability 0.3] [--bootstrap 100]

Both methods get the same simulated data: random sparse linear DAGs with
uniform noise (varkel.simulate_dag). For each size the table gives, averaged
over the seeds:
  seconds     wall time of one fit (order and pruned graph);
  order       share of ancestor pairs (a causes b, directly or not) that the
              causal order puts first-to-last correctly;
  precision, recall, F1 of the edges found against the true edges;
  SHD         structural Hamming distance: pairs of variables whose edge
              (none, one way, the other way) differs from the truth.
Then both methods bootstrap one data set of n = 10 with --bootstrap
resamples, and the wall times are compared.

lingam is never a dependency of varkel: it is installed into its own
environment under ~/.cache, on the machine's regular CPython (python3 on
PATH, or $VARKEL_BENCH_PYTHON), and run there as a subprocess.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import numpy as np

import varkel

HERE = Path(__file__).resolve().parent


def peer_python() -> Path:
    """The peer's interpreter, in an environment keyed by its requirements."""
    requirements = HERE / "lingam-requirements.txt"
    key = hashlib.sha256(requirements.read_bytes()).hexdigest()[:12]
    cache = Path(os.environ.get("XDG_CACHE_HOME", Path.home() / ".cache"))
    env = cache / "varkel-toolchain" / f"bench-lingam-{key}"
    python = env / "bin" / "python"
    if not (env / ".complete").exists():
        base = os.environ.get("VARKEL_BENCH_PYTHON") or shutil.which("python3")
        print(f"installing the peer into {env} (once)", flush=True)
        shutil.rmtree(env, ignore_errors=True)
        subprocess.run([base, "-m", "venv", str(env)], check=True)
        subprocess.run([str(python), "-m", "pip", "install", "-q", "-r", str(requirements)],
                       check=True)
        (env / ".complete").touch()
    return python


def order_accuracy(true_B: np.ndarray, order: list[int]) -> float:
    """Share of ancestor pairs that the order puts the right way round."""
    n = true_B.shape[0]
    reach = (true_B != 0).T  # reach[a, b]: a -> b
    for k in range(n):  # transitive closure
        reach = reach | (reach[:, [k]] & reach[[k], :])
    position = {v: p for p, v in enumerate(order)}
    pairs = [(a, b) for a in range(n) for b in range(n) if reach[a, b]]
    return float(np.mean([position[a] < position[b] for a, b in pairs])) if pairs else 1.0


def edge_scores(true_B: np.ndarray, found_B: np.ndarray) -> tuple[float, float, float, int]:
    true_edges, found_edges = true_B != 0, found_B != 0
    hits = int(np.sum(true_edges & found_edges))
    precision = hits / found_edges.sum() if found_edges.any() else 1.0
    recall = hits / true_edges.sum() if true_edges.any() else 1.0
    f1 = 2 * precision * recall / (precision + recall) if precision + recall else 0.0
    n = true_B.shape[0]
    shd = sum((true_edges[i, j], true_edges[j, i]) != (found_edges[i, j], found_edges[j, i])
              for i in range(n) for j in range(i + 1, n))
    return float(precision), float(recall), float(f1), int(shd)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[6, 8, 10, 12])
    parser.add_argument("--seeds", type=int, default=10)
    parser.add_argument("--samples", type=int, default=1000)
    parser.add_argument("--edge-probability", type=float, default=0.3)
    parser.add_argument("--bootstrap", type=int, default=100)
    options = parser.parse_args()

    datasets = {f"n{n}_s{seed}": varkel.simulate_dag(n, options.samples, seed=1000 * n + seed,
                                                      edge_probability=options.edge_probability)
                for n in options.sizes for seed in range(options.seeds)}
    # First use imports scikit-learn and starts the engine's threads: not timed.
    varkel.ExhaustiveLiNGAM().fit(varkel.simulate_dag(4, 200).X)
    ours = {}
    for key, sim in datasets.items():
        start = time.perf_counter()
        model = varkel.ExhaustiveLiNGAM().fit(sim.X)
        ours[key] = {"order": model.causal_order_, "adjacency": model.adjacency_matrix_,
                     "seconds": time.perf_counter() - start}
    boot_key = "n10_s0" if "n10_s0" in datasets else next(iter(datasets))
    start = time.perf_counter()
    varkel.ExhaustiveLiNGAM(random_state=0).bootstrap(datasets[boot_key].X, options.bootstrap)
    our_boot = time.perf_counter() - start

    python = peer_python()
    with tempfile.TemporaryDirectory() as tmp:
        np.savez(Path(tmp) / "data.npz", **{k: sim.X for k, sim in datasets.items()})
        subprocess.run([str(python), str(HERE / "_lingam_runner.py"), str(Path(tmp) / "data.npz"),
                        str(Path(tmp) / "out.json"), boot_key, str(options.bootstrap)],
                       check=True)
        peer = json.loads((Path(tmp) / "out.json").read_text())

    print(f"{options.seeds} sparse DAGs per size (edge probability {options.edge_probability}), "
          f"{options.samples} samples, uniform noise")
    print(f"{'n':>3} {'method':<14} {'seconds':>8} {'order':>6} {'precision':>10} "
          f"{'recall':>7} {'F1':>6} {'SHD':>6}")
    for n in options.sizes:
        keys = [k for k in datasets if k.startswith(f"n{n}_")]
        for name, results in (("varkel", ours), ("DirectLiNGAM", peer)):
            rows = [(results[k]["seconds"], order_accuracy(datasets[k].adjacency,
                                                           results[k]["order"]),
                     *edge_scores(datasets[k].adjacency, np.asarray(results[k]["adjacency"])))
                    for k in keys]
            seconds, order, precision, recall, f1, shd = np.mean(rows, axis=0)
            print(f"{n:>3} {name:<14} {seconds:>8.3f} {order:>6.3f} {precision:>10.3f} "
                  f"{recall:>7.3f} {f1:>6.3f} {shd:>6.2f}")
    print(f"\nbootstrap, {options.bootstrap} resamples of {boot_key} "
          f"({datasets[boot_key].X.shape[0]} samples): varkel {our_boot:.2f} s, DirectLiNGAM "
          f"{peer['bootstrap']['seconds']:.2f} s")


if __name__ == "__main__":
    main()
