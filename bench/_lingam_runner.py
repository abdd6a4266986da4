"""Runs the lingam package's estimators on saved data sets; executed in the
peer's own environment by bench/compare.py.

    _lingam_runner.py IN.npz OUT.json KIND [BOOTSTRAP_KEY N_SAMPLING]

KIND is direct (DirectLiNGAM; an array KEY__pk is data set KEY's prior
knowledge), groups (MultiGroupDirectLiNGAM; the arrays
KEY__g0, KEY__g1, ... are data set KEY's groups) or var (VARLiNGAM, lags 1).
For every data set: the causal order, the adjacency matrix (or matrices)
and the fit's wall time; for BOOTSTRAP_KEY also the wall time of a
bootstrap of N_SAMPLING resamples."""

import json
import sys
import time

import lingam
import numpy as np

data = np.load(sys.argv[1])
kind = sys.argv[3]
if kind == "groups":
    names = sorted({name.split("__")[0] for name in data.files})
    inputs = {key: [data[f"{key}__g{g}"] for g in range(sum(n.startswith(key + "__")
                                                                for n in data.files))]
              for key in names}
else:
    inputs = {key: data[key] for key in data.files if not key.endswith("__pk")}


def model(key=None):
    if kind == "groups":
        return lingam.MultiGroupDirectLiNGAM()
    if kind == "var":
        return lingam.VARLiNGAM(lags=1)
    prior = f"{key}__pk"
    return lingam.DirectLiNGAM(prior_knowledge=data[prior] if prior in data.files else None)


def adjacency(fitted):
    if kind == "direct":
        return fitted.adjacency_matrix_.tolist()
    return [np.asarray(B).tolist() for B in fitted.adjacency_matrices_]


results = {}
for key, X in inputs.items():
    start = time.perf_counter()
    fitted = model(key).fit(X)
    results[key] = {"order": [int(j) for j in fitted.causal_order_],
                    "adjacency": adjacency(fitted), "seconds": time.perf_counter() - start}
if len(sys.argv) > 5 and int(sys.argv[5]) > 0:
    key, n_sampling = sys.argv[4], int(sys.argv[5])
    start = time.perf_counter()
    model().bootstrap(inputs[key], n_sampling=n_sampling)
    results["bootstrap"] = {"key": key, "seconds": time.perf_counter() - start}
with open(sys.argv[2], "w") as handle:
    json.dump(results, handle)
