"""The large search's parts against each other, on data that is not easy
(bench/_hard_data.py), without the peer: which start, window, candidate
threshold and number of restarts reach the best order.

    .venv/bin/python bench/large_search.py [--sizes 50 100] [--samples 300 1000]
        [--densities 1.5 3] [--variants mixed near-gaussian] [--seeds 3]
        [--configs default start=top-down start=bottom-up beam=20 restarts=0 ...]

A config is "default" (what search="large" chooses) or comma-separated
changes to it: start=pairwise|bottom-up|top-down|beam, beam=K, window=W,
threshold=Z, restarts=R, moves=M. For each cell and config the table gives,
averaged over the seeds: the share of ancestor pairs ordered right (for the
start and for the result), seconds, and "beaten": how often a local search
from the true order, on the same score, ends at a higher total than the
search did (the search stopped short of an order it could have scored).
"""

from __future__ import annotations

import argparse
import dataclasses
import time

import numpy as np

import varkel
from _hard_data import VARIANTS, hard_dag
from _machine import processor_name
from compare import order_accuracy
from varkel._blocks.candidates import CandidateScore, candidate_parents
from varkel._blocks.large import LargeSettings, large_search, large_settings, start_order
from varkel._blocks.moves import LocalSearch, Precedence
from varkel._blocks.state import StateFile
from varkel._search import prepare_search


def configured(base: LargeSettings, config: str) -> LargeSettings:
    if config == "default":
        return base
    changes: dict[str, object] = {}
    for item in config.split(","):
        key, value = item.split("=")
        changes[key] = value if key == "start" else float(value) if key == "threshold" \
            else int(value)
    if "beam" in changes and "start" not in changes:
        changes["start"] = "beam"
    return dataclasses.replace(base, **changes)  # type: ignore[arg-type]


def run_cell(n: int, m: int, density: float, variant: str, seeds: int,
             configs: list[str]) -> None:
    rows: dict[str, list[tuple[float, ...]]] = {c: [] for c in configs}
    for seed in range(seeds):
        sim = hard_dag(n, m, 1000 * n + seed, density=density, variant=variant)
        prepared = prepare_search(sim.X, search="large")
        matrices, references = [prepared.searched], [prepared.reference_vector]
        base = large_settings(n, m, beam=None, window=None)
        for config in configs:
            settings = configured(base, config)
            score = CandidateScore(matrices, references,
                                   candidate_parents(matrices, settings.threshold))
            precedence = Precedence(None, n)
            began = time.perf_counter()
            start = start_order(settings, score, matrices, references, None, precedence,
                                threads=0, step=lambda *_: None)
            start_seconds = time.perf_counter() - began
            found, total = large_search(matrices, references, None, settings, regressed_out=0,
                                        threads=0, progress=None,
                                        state=StateFile(None, "", ""), mpi=False,
                                        start=start)
            seconds = time.perf_counter() - began
            from_truth = LocalSearch(score, precedence, settings.window,
                                     lambda: None).run(sim.order)
            rows[config].append((order_accuracy(sim.adjacency, start),
                                 order_accuracy(sim.adjacency, found),
                                 float(score.total(from_truth) > total + 1e-9 * abs(total)),
                                 start_seconds, seconds))
    for config in configs:
        start, found, beaten, start_seconds, seconds = np.mean(rows[config], axis=0)
        print(f"{n:>4} {m:>5} {density:>4g} {variant:<13} {config:<28} {start:>6.3f} "
              f"{found:>6.3f} {beaten:>6.2f} {start_seconds:>7.1f} {seconds:>7.1f}", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[50, 100])
    parser.add_argument("--samples", type=int, nargs="+", default=[300, 1000])
    parser.add_argument("--densities", type=float, nargs="+", default=[1.5, 3.0])
    parser.add_argument("--variants", nargs="+", choices=VARIANTS, default=list(VARIANTS))
    parser.add_argument("--seeds", type=int, default=3)
    parser.add_argument("--configs", nargs="+", default=["default"])
    options = parser.parse_args()
    print(f"processor: {processor_name()}; kernel arithmetic "
          f"{varkel._engine.plan(0, 0)['arithmetic']}")
    print(f"{'n':>4} {'m':>5} {'dens':>4} {'variant':<13} {'config':<28} {'start':>6} "
          f"{'found':>6} {'beaten':>6} {'start s':>7} {'total s':>7}")
    for n in options.sizes:
        for m in options.samples:
            for density in options.densities:
                for variant in options.variants:
                    run_cell(n, m, density, variant, options.seeds, options.configs)


if __name__ == "__main__":
    main()
