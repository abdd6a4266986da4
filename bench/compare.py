"""Exhaustive search (varkel) against greedy DirectLiNGAM (the lingam package).

    .venv/bin/python bench/compare.py [--sizes 6 8 10 12] [--seeds 10] [--samples 1000]

Both methods get the same simulated data: fully connected linear DAGs with
uniform noise. For each size the table gives the mean wall time per data set
and the fraction of ordered pairs each method puts in the true order (and the
fraction of data sets whose whole order is right).

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


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[6, 8, 10, 12])
    parser.add_argument("--seeds", type=int, default=10)
    parser.add_argument("--samples", type=int, default=1000)
    options = parser.parse_args()

    datasets = {f"n{n}_s{seed}": varkel.simulate_lingam(n, options.samples, seed=1000 * n + seed)
                for n in options.sizes for seed in range(options.seeds)}
    ours = {}
    for key, (X, _) in datasets.items():
        start = time.perf_counter()
        order = varkel.causal_order(X).order
        ours[key] = {"order": order, "seconds": time.perf_counter() - start}

    python = peer_python()
    with tempfile.TemporaryDirectory() as tmp:
        np.savez(Path(tmp) / "data.npz", **{k: X for k, (X, _) in datasets.items()})
        subprocess.run([str(python), str(HERE / "_lingam_runner.py"), str(Path(tmp) / "data.npz"),
                        str(Path(tmp) / "out.json")], check=True)
        peer = json.loads((Path(tmp) / "out.json").read_text())

    print(f"{options.seeds} data sets per size, {options.samples} samples, fully connected DAGs")
    print(f"{'n':>3} {'method':<16} {'seconds':>9} {'pairs right':>12} {'orders right':>13}")
    for n in options.sizes:
        keys = [k for k in datasets if k.startswith(f"n{n}_")]
        for name, results in (("varkel", ours), ("DirectLiNGAM", peer)):
            seconds = np.mean([results[k]["seconds"] for k in keys])
            pairs = np.mean([varkel.pair_agreement(datasets[k][1], results[k]["order"])
                             for k in keys])
            exact = np.mean([results[k]["order"] == datasets[k][1] for k in keys])
            print(f"{n:>3} {name:<16} {seconds:>9.3f} {pairs:>12.3f} {exact:>13.2f}")


if __name__ == "__main__":
    main()
