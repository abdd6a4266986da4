"""varkel's estimators against the lingam package's greedy ones.

    .venv/bin/python bench/compare.py [--sections single groups var tiers large]
        [--sizes 6 8 10 12] [--group-sizes 8 12] [--var-sizes 6 10] [--seeds 10]
        [--samples 1000] [--steps 2000] [--edge-probability 0.3] [--bootstrap 100]
        [--large-sizes 50 100 200] [--large-samples 300 1000] [--densities 1.5 3]
        [--variants mixed near-gaussian] [--large-seeds 5] [--peer-sizes 50 100]

Sections:
  single  ExhaustiveLiNGAM against DirectLiNGAM on one data set;
  groups  MultiGroupExhaustiveLiNGAM against MultiGroupDirectLiNGAM on three
          groups of --samples rows sharing one structure (simulate_groups);
  var     VARExhaustiveLiNGAM against VARLiNGAM (lags 1) on --steps time steps
          (simulate_var); F1 for B0 and B1 separately.
  tiers   past 30 variables, --large-seeds sparse DAGs (edge probability 2/n)
          per --tier-sizes size, the true order cut in 5 tiers and given to
          both methods (to DirectLiNGAM as prior knowledge).
  large   past 30 variables without tiers, on data that is not easy
          (bench/_hard_data.py: a noise family drawn per variable, --variants
          mixed and near-gaussian, --densities parents per variable):
          --large-seeds DAGs per cell of --large-sizes x --large-samples x
          --densities x --variants; today's window search (w = first of
          --windows), the large search (the default) and DirectLiNGAM (at
          --peer-sizes only; its fits are cached by the data's bits under
          ~/.cache). "truth>found": the share of data sets where the true
          order's total on the method's own score beats the found order's;
          "truth-start>found": where a local search from the true order
          does (the true order's arrangement of unrelated variables is
          arbitrary, so this is the fairer test of the search).

Unless said otherwise, both methods get the same simulated data: random
sparse linear DAGs with uniform noise (varkel.simulate_dag). For each size
the table gives, averaged over the seeds:
  seconds     wall time of one fit (order and pruned graph);
  order       share of ancestor pairs (a causes b, directly or not) that the
              causal order puts first-to-last correctly;
  precision, recall, F1 of the edges found against the true edges;
  SHD         structural Hamming distance: pairs of variables whose edge
              (none, one way, the other way) differs from the truth.
Each section then bootstraps one data set with --bootstrap resamples by
both methods (n = 10 in single, the first size in the others), and compares
the wall times.

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
from typing import Any

import numpy as np

import varkel
from _machine import processor_name

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


def run_peer(kind: str, arrays: dict[str, np.ndarray], boot_key: str,
             n_sampling: int) -> dict[str, Any]:
    """The peer's results on the arrays (see _lingam_runner.py)."""
    python = peer_python()
    with tempfile.TemporaryDirectory() as tmp:
        np.savez(Path(tmp) / "data.npz", **arrays)
        subprocess.run([str(python), str(HERE / "_lingam_runner.py"), str(Path(tmp) / "data.npz"),
                        str(Path(tmp) / "out.json"), kind, boot_key, str(n_sampling)],
                       check=True)
        result: dict[str, Any] = json.loads((Path(tmp) / "out.json").read_text())
        return result


def timed(work: Any) -> tuple[Any, float]:
    start = time.perf_counter()
    result = work()
    return result, time.perf_counter() - start


def print_rows(label: str, sizes: list[int], rows_of: Any) -> None:
    """One line per size and method: seconds, order accuracy and the edge
    scores, averaged over the rows rows_of(n, method) gives."""
    print(f"{'n':>3} {'method':<24} {'seconds':>8} {'order':>6} {'precision':>10} "
          f"{'recall':>7} {'F1':>6} {'SHD':>6}   ({label})")
    for n in sizes:
        for method, rows in rows_of(n):
            seconds, order, precision, recall, f1, shd = np.mean(rows, axis=0)
            print(f"{n:>3} {method:<24} {seconds:>8.3f} {order:>6.3f} {precision:>10.3f} "
                  f"{recall:>7.3f} {f1:>6.3f} {shd:>6.2f}")


def single_section(options: argparse.Namespace) -> None:
    datasets = {f"n{n}_s{seed}": varkel.simulate_dag(n, options.samples, seed=1000 * n + seed,
                                                      edge_probability=options.edge_probability)
                for n in options.sizes for seed in range(options.seeds)}
    ours = {}
    for key, sim in datasets.items():
        model, seconds = timed(lambda sim=sim: varkel.ExhaustiveLiNGAM().fit(sim.X))
        ours[key] = {"order": model.causal_order_, "adjacency": model.adjacency_matrix_,
                     "seconds": seconds}
    boot_key = "n10_s0" if "n10_s0" in datasets else next(iter(datasets))
    _, our_boot = timed(lambda: varkel.ExhaustiveLiNGAM(random_state=0).bootstrap(
        datasets[boot_key].X, options.bootstrap))
    peer = run_peer("direct", {k: sim.X for k, sim in datasets.items()}, boot_key,
                    options.bootstrap)

    def rows_of(n: int) -> list[tuple[str, list[tuple[float, ...]]]]:
        keys = [k for k in datasets if k.startswith(f"n{n}_")]
        return [(name, [(results[k]["seconds"],
                         order_accuracy(datasets[k].adjacency, results[k]["order"]),
                         *edge_scores(datasets[k].adjacency, np.asarray(results[k]["adjacency"])))
                        for k in keys])
                for name, results in (("varkel", ours), ("DirectLiNGAM", peer))]

    print(f"\n{options.seeds} sparse DAGs per size (edge probability {options.edge_probability}), "
          f"{options.samples} samples, uniform noise")
    print_rows("one data set", options.sizes, rows_of)
    print(f"bootstrap, {options.bootstrap} resamples of {boot_key}: varkel {our_boot:.2f} s, "
          f"DirectLiNGAM {peer['bootstrap']['seconds']:.2f} s "
          f"({peer['bootstrap']['seconds'] / our_boot:.1f}x)")


def groups_section(options: argparse.Namespace) -> None:
    sizes = options.group_sizes
    datasets = {f"n{n}_s{seed}": varkel.simulate_groups(
        n, [options.samples] * 3, seed=1000 * n + seed, edge_probability=options.edge_probability)
        for n in sizes for seed in range(options.seeds)}
    ours = {}
    for key, groups in datasets.items():
        model, seconds = timed(lambda groups=groups: varkel.MultiGroupExhaustiveLiNGAM().fit(
            [g.X for g in groups]))
        ours[key] = {"order": model.causal_order_, "adjacency": model.adjacency_matrices_,
                     "seconds": seconds}
    boot_key = f"n{sizes[0]}_s0"
    _, our_boot = timed(lambda: varkel.MultiGroupExhaustiveLiNGAM(random_state=0).bootstrap(
        [g.X for g in datasets[boot_key]], options.bootstrap))
    peer = run_peer("groups", {f"{k}__g{g}": group.X for k, groups in datasets.items()
                               for g, group in enumerate(groups)}, boot_key, options.bootstrap)

    def rows_of(n: int) -> list[tuple[str, list[tuple[float, ...]]]]:
        keys = [k for k in datasets if k.startswith(f"n{n}_")]
        # Edge scores pooled over the groups: every group's graph counts.
        return [(name, [(results[k]["seconds"],
                         order_accuracy(datasets[k][0].adjacency, results[k]["order"]),
                         *np.mean([edge_scores(g.adjacency, np.asarray(B)) for g, B in
                                   zip(datasets[k], results[k]["adjacency"], strict=True)],
                                  axis=0))
                        for k in keys])
                for name, results in (("varkel", ours), ("MultiGroupDirectLiNGAM", peer))]

    print(f"\n{options.seeds} sparse DAGs per size, 3 groups of {options.samples} rows each "
          "(same edges, own weights and noise scales), uniform noise")
    print_rows("groups", sizes, rows_of)
    print(f"bootstrap, {options.bootstrap} resamples of {boot_key}'s groups: varkel "
          f"{our_boot:.2f} s, MultiGroupDirectLiNGAM {peer['bootstrap']['seconds']:.2f} s "
          f"({peer['bootstrap']['seconds'] / our_boot:.1f}x)")


def var_section(options: argparse.Namespace) -> None:
    sizes = options.var_sizes
    datasets = {f"n{n}_s{seed}": varkel.simulate_var(n, options.steps, seed=1000 * n + seed,
                                                      edge_probability=options.edge_probability)
                for n in sizes for seed in range(options.seeds)}
    ours = {}
    for key, sim in datasets.items():
        model, seconds = timed(lambda sim=sim: varkel.VARExhaustiveLiNGAM(lags=1).fit(sim.X))
        ours[key] = {"order": model.causal_order_, "adjacency": model.adjacency_matrices_,
                     "seconds": seconds}
    boot_key = f"n{sizes[0]}_s0"
    _, our_boot = timed(lambda: varkel.VARExhaustiveLiNGAM(lags=1, random_state=0).bootstrap(
        datasets[boot_key].X, options.bootstrap))
    peer = run_peer("var", {k: sim.X for k, sim in datasets.items()}, boot_key,
                    options.bootstrap)

    def rows_of(n: int) -> list[tuple[str, list[tuple[float, ...]]]]:
        keys = [k for k in datasets if k.startswith(f"n{n}_")]
        rows = []
        for name, results in (("varkel", ours), ("VARLiNGAM", peer)):
            for lag in (0, 1):
                rows.append((f"{name} B{lag}", [
                    (results[k]["seconds"],
                     order_accuracy(datasets[k].adjacency[0], results[k]["order"]),
                     *edge_scores(datasets[k].adjacency[lag],
                                  np.asarray(results[k]["adjacency"])[lag]))
                    for k in keys]))
        return rows

    print(f"\n{options.seeds} VAR-LiNGAM processes per size (lags 1, edge probability "
          f"{options.edge_probability}), {options.steps} time steps, uniform noise")
    print_rows("time series; order: of B0's ancestors", sizes, rows_of)
    print(f"bootstrap, {options.bootstrap} resamples of {boot_key}: varkel {our_boot:.2f} s, "
          f"VARLiNGAM {peer['bootstrap']['seconds']:.2f} s "
          f"({peer['bootstrap']['seconds'] / our_boot:.1f}x)")


def five_tiers(order: list[int]) -> list[list[int]]:
    n = len(order)
    return [sorted(order[n * k // 5:n * (k + 1) // 5]) for k in range(5)]


def tiers_section(options: argparse.Namespace) -> None:
    """The true order cut into 5 tiers, given to both methods."""
    tiered = {f"n{n}_s{seed}": varkel.simulate_dag(n, options.samples, seed=1000 * n + seed,
                                                    edge_probability=2.0 / n)
              for n in options.tier_sizes for seed in range(options.large_seeds)}
    runs: dict[str, dict[str, Any]] = {}
    for key, sim in tiered.items():
        model, seconds = timed(lambda sim=sim: varkel.ExhaustiveLiNGAM(
            tiers=five_tiers(sim.order)).fit(sim.X))
        runs.setdefault("varkel, 5 tiers", {})[key] = {
            "order": model.causal_order_, "adjacency": model.adjacency_matrix_,
            "seconds": seconds}
    priors = {}
    for key, sim in tiered.items():
        n = sim.X.shape[1]
        pk = -np.ones((n, n))
        tiers = five_tiers(sim.order)
        for a in range(5):
            for b in range(a + 1, 5):
                pk[np.ix_(tiers[a], tiers[b])] = 0
        priors[f"{key}__pk"] = pk
    runs["DirectLiNGAM, 5 tiers"] = run_peer(
        "direct", {**{k: s.X for k, s in tiered.items()}, **priors}, "", 0)

    def rows(n: int) -> list[tuple[str, list[tuple[float, ...]]]]:
        keys = [k for k in tiered if k.startswith(f"n{n}_")]
        return [(name, [(runs[name][k]["seconds"],
                         order_accuracy(tiered[k].adjacency, runs[name][k]["order"]),
                         *edge_scores(tiered[k].adjacency,
                                      np.asarray(runs[name][k]["adjacency"])))
                        for k in keys]) for name in ("varkel, 5 tiers", "DirectLiNGAM, 5 tiers")]

    print(f"\n{options.large_seeds} sparse DAGs per size (edge probability 2/n), "
          f"{options.samples} samples, uniform noise")
    print_rows("5 tiers given to both", options.tier_sizes, rows)


def cached_peer(arrays: dict[str, np.ndarray]) -> dict[str, Any]:
    """DirectLiNGAM's results on the arrays, kept on disk by the arrays'
    bits: a run of the benchmark again does not fit them again."""
    cache = Path(os.environ.get("XDG_CACHE_HOME", Path.home() / ".cache")) / \
        "varkel-toolchain" / "bench-lingam-results"
    cache.mkdir(parents=True, exist_ok=True)
    digest = hashlib.sha256()
    for key in sorted(arrays):
        digest.update(key.encode())
        digest.update(np.ascontiguousarray(arrays[key]).tobytes())
    path = cache / f"{digest.hexdigest()[:24]}.json"
    if path.exists():
        cached: dict[str, Any] = json.loads(path.read_text())
        return cached
    result = run_peer("direct", arrays, "", 0)
    path.write_text(json.dumps(result))
    return result


def windows_row(width: int, sim: Any, data: Any, rows: dict[str, list[tuple[float, ...]]]
                ) -> None:
    """Today's window search on one data set, as a row of the large table."""
    from varkel._blocks.run import order_total

    windows, seconds = timed(lambda: varkel.ExhaustiveLiNGAM(window=width).fit(sim.X))
    truth, found = (order_total(*data, o) for o in (sim.order, windows.causal_order_))
    rows.setdefault(f"window w={width}", []).append((
        seconds, order_accuracy(sim.adjacency, windows.causal_order_),
        *edge_scores(sim.adjacency, windows.adjacency_matrix_)[2:],
        float(truth > found), float("nan")))


def large_section(options: argparse.Namespace) -> None:
    """Past 30 variables without tiers, on data that is not easy
    (_hard_data.py): today's window search, the large search and
    DirectLiNGAM, cell by cell."""
    from _hard_data import hard_dag
    from varkel._blocks.candidates import CandidateScore, candidate_parents
    from varkel._blocks.large import large_settings
    from varkel._blocks.moves import LocalSearch, Precedence
    from varkel._search import prepare_search

    print(f"\n{options.large_seeds} DAGs per cell; noise family drawn per variable; density: "
          "expected parents per variable; DirectLiNGAM only at --peer-sizes")
    print(f"{'n':>4} {'m':>5} {'dens':>4} {'noise':<13} {'method':<15} {'seconds':>8} "
          f"{'order':>6} {'F1':>6} {'SHD':>7} {'truth>found':>11} {'truth-start>found':>17}")
    for n in options.large_sizes:
        for m in options.large_samples:
            for d_index, density in enumerate(options.densities):
                for v_index, variant in enumerate(options.variants):
                    sims = [hard_dag(n, m, (((n * 10007 + m) * 7 + d_index) * 2 + v_index) * 100
                                     + seed, density=density, variant=variant)
                            for seed in range(options.large_seeds)]
                    rows: dict[str, list[tuple[float, ...]]] = {}
                    for sim in sims if {"windows", "large"} & set(options.methods) else []:
                        prepared = prepare_search(sim.X, search="large")
                        data = ([prepared.searched], [prepared.reference_vector])
                        if "windows" in options.methods:
                            windows_row(options.windows[0], sim, data, rows)
                        if "large" not in options.methods:
                            continue
                        large, seconds = timed(lambda sim=sim: varkel.ExhaustiveLiNGAM().fit(
                            sim.X))
                        settings = large_settings(n, m, beam=None, window=None)
                        score = CandidateScore(*data, candidate_parents(
                            data[0], settings.threshold))
                        from_truth = LocalSearch(score, Precedence(None, n), settings.window,
                                                 lambda: None).run(sim.order)
                        found = large.total_score_
                        rows.setdefault("large", []).append((
                            seconds, order_accuracy(sim.adjacency, large.causal_order_),
                            *edge_scores(sim.adjacency, large.adjacency_matrix_)[2:],
                            float(score.total(sim.order) > found),
                            float(score.total(from_truth) > found + 1e-9 * abs(found))))
                    if n in options.peer_sizes and "peer" in options.methods:
                        peer = cached_peer({f"s{k}": sim.X for k, sim in enumerate(sims)})
                        rows["DirectLiNGAM"] = [
                            (peer[f"s{k}"]["seconds"],
                             order_accuracy(sim.adjacency, peer[f"s{k}"]["order"]),
                             *edge_scores(sim.adjacency,
                                          np.asarray(peer[f"s{k}"]["adjacency"]))[2:],
                             float("nan"), float("nan"))
                            for k, sim in enumerate(sims)]
                    for method, values in rows.items():
                        seconds, order, f1, shd, above, start_above = np.mean(values, axis=0)
                        print(f"{n:>4} {m:>5} {density:>4g} {variant:<13} {method:<15} "
                              f"{seconds:>8.1f} {order:>6.3f} {f1:>6.3f} {shd:>7.1f} "
                              f"{above:>11.2f} {start_above:>17.2f}", flush=True)


SECTIONS = {"single": single_section, "groups": groups_section, "var": var_section,
            "tiers": tiers_section, "large": large_section}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sections", nargs="+", choices=list(SECTIONS),
                        default=["single", "groups", "var"])
    parser.add_argument("--sizes", type=int, nargs="+", default=[6, 8, 10, 12])
    parser.add_argument("--group-sizes", type=int, nargs="+", default=[8, 12])
    parser.add_argument("--var-sizes", type=int, nargs="+", default=[6, 10])
    parser.add_argument("--seeds", type=int, default=10)
    parser.add_argument("--samples", type=int, default=1000)
    parser.add_argument("--steps", type=int, default=2000)
    parser.add_argument("--edge-probability", type=float, default=0.3)
    parser.add_argument("--bootstrap", type=int, default=100)
    parser.add_argument("--large-seeds", type=int, default=5)
    parser.add_argument("--tier-sizes", type=int, nargs="+", default=[40, 100])
    parser.add_argument("--large-sizes", type=int, nargs="+", default=[50, 100, 200])
    parser.add_argument("--large-samples", type=int, nargs="+", default=[300, 1000])
    parser.add_argument("--densities", type=float, nargs="+", default=[1.5, 3.0])
    parser.add_argument("--variants", nargs="+", default=["mixed", "near-gaussian"])
    parser.add_argument("--peer-sizes", type=int, nargs="+", default=[50, 100])
    parser.add_argument("--windows", type=int, nargs="+", default=[12])
    parser.add_argument("--methods", nargs="+", choices=["windows", "large", "peer"],
                        default=["windows", "large", "peer"],
                        help="the large section's methods (run the peer apart to use both "
                        "cores on a long run)")
    options = parser.parse_args()
    print(f"processor: {processor_name()}; kernel arithmetic "
          f"{varkel._engine.plan(0, 0)['arithmetic']}")
    # First use imports scikit-learn and starts the engine's threads: not timed.
    varkel.ExhaustiveLiNGAM().fit(varkel.simulate_dag(4, 200).X)
    for name in options.sections:
        SECTIONS[name](options)


if __name__ == "__main__":
    main()
