"""Runs DirectLiNGAM on saved data sets; executed in the peer's own
environment by bench/compare.py.

    _lingam_runner.py IN.npz OUT.json [BOOTSTRAP_KEY N_SAMPLING]

For every data set: the causal order, the adjacency matrix and the fit's
wall time; for BOOTSTRAP_KEY also the wall time of a bootstrap."""

import json
import sys
import time

import lingam
import numpy as np

data = np.load(sys.argv[1])
results = {}
for key in data.files:
    X = data[key]
    start = time.perf_counter()
    model = lingam.DirectLiNGAM().fit(X)
    results[key] = {"order": [int(j) for j in model.causal_order_],
                    "adjacency": model.adjacency_matrix_.tolist(),
                    "seconds": time.perf_counter() - start}
if len(sys.argv) > 4:
    key, n_sampling = sys.argv[3], int(sys.argv[4])
    start = time.perf_counter()
    lingam.DirectLiNGAM().bootstrap(data[key], n_sampling=n_sampling)
    results["bootstrap"] = {"key": key, "seconds": time.perf_counter() - start}
with open(sys.argv[2], "w") as handle:
    json.dump(results, handle)
