"""What order margins cost, and how well they say which pairs to doubt.

    .venv/bin/python bench/trust.py [--quick]

Prints, from one run:
  1. the search alone, and the search with margins (as fit runs them: the
     search on the scores the margins pass stores), at
     n = 12, 16 and 18 (1000 samples, 2 threads, uniform noise through a
     sparse DAG), best of a few repeats, and their ratio;
  2. on simulated DAGs with few samples (n = 6, 50 samples, 40 seeds), how
     well each of two confidences predicts that the found order has an
     ancestor pair the wrong way round: the pair's order margin, and the
     share of 100 bootstrap resamples that order the pair as the found
     order does. Reported as the area under the ROC curve (1: perfect, 0.5:
     no better than chance) over all true ancestor pairs.
"""

from __future__ import annotations

import argparse
import os
import time

import numpy as np

import varkel
from _machine import processor_name
from varkel import _engine as engine


def best_of(repeats: int, action) -> float:
    best = np.inf
    for _ in range(repeats):
        start = time.perf_counter()
        action()
        best = min(best, time.perf_counter() - start)
    return float(best)


def cost(sizes: list[int], repeats: int) -> None:
    print("n   search s   search+margins s   ratio")
    for n in sizes:
        sim = varkel.simulate_dag(n, 1000, seed=n, edge_probability=3 / n)
        prepared = varkel._search.prepare_search(sim.X)
        Z, R = prepared.searched, prepared.reference_vector

        def search() -> list[int]:
            return varkel.order_from_sinks(engine.search(Z, None, R, threads=2)[0], n)

        plain = best_of(repeats, search)
        # What fit runs: the search on the scores the margins pass stores.
        both = best_of(repeats, lambda: engine.order_margins(Z, None, R, None, threads=2))
        print(f"{n:<3} {plain:9.2f} {both:18.2f} {both / plain:8.2f}x")


def ancestors(adjacency: np.ndarray) -> np.ndarray:
    """A[i, j]: x_j is an ancestor of x_i."""
    n = adjacency.shape[0]
    reach = (adjacency != 0).astype(int)
    closure = reach.copy()
    for _ in range(n):
        closure = ((closure + closure @ reach) > 0).astype(int)
    return closure.astype(bool)


def auc(scores: list[float], wrong: list[bool]) -> float:
    """The chance that a wrong pair scores above a right one (ties: half)."""
    s, w = np.asarray(scores), np.asarray(wrong)
    positive, negative = s[w], s[~w]
    if not len(positive) or not len(negative):
        return float("nan")
    above = (positive[:, None] > negative[None, :]).mean()
    ties = (positive[:, None] == negative[None, :]).mean()
    return float(above + 0.5 * ties)


def separation(seeds: int, resamples: int) -> None:
    margin_doubt, boot_doubt, wrong = [], [], []
    for seed in range(seeds):
        sim = varkel.simulate_dag(6, 50, seed=seed, edge_probability=0.5)
        model = varkel.ExhaustiveLiNGAM(random_state=seed, threads=1).fit(sim.X)
        boot = model.bootstrap(sim.X, resamples)
        before = boot.get_order_probabilities()  # [i, j]: x_j before x_i
        position = {v: p for p, v in enumerate(model.causal_order_)}
        A = ancestors(sim.adjacency)
        for i, j in zip(*np.nonzero(A), strict=True):  # x_j is an ancestor of x_i
            found_j_first = position[j] < position[i]
            wrong.append(not found_j_first)
            # Confidence in the found orientation: its margin, or the share of
            # resamples that agree with it; doubt is its negative.
            m = model.order_margins_
            margin_doubt.append(-(m[j, i] if found_j_first else m[i, j]))
            boot_doubt.append(-(before[i, j] if found_j_first else before[j, i]))
    print(f"{len(wrong)} ancestor pairs over {seeds} DAGs (n = 6, 50 samples), "
          f"{sum(wrong)} ordered wrongly")
    print("area under the ROC curve, predicting a wrong pair: "
          f"margins {auc(margin_doubt, wrong):.3f}, "
          f"bootstrap ({resamples} resamples) {auc(boot_doubt, wrong):.3f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller sizes, fewer seeds")
    options = parser.parse_args()
    print(f"processor: {processor_name()}, {os.cpu_count()} logical processors; kernel "
          f"arithmetic {engine.plan(0, 0)['arithmetic']}, sort {engine.plan(0, 0)['sort']}")
    cost([10, 12] if options.quick else [12, 16, 18], 1 if options.quick else 3)
    separation(8 if options.quick else 40, 20 if options.quick else 100)


if __name__ == "__main__":
    main()
