"""Runs DirectLiNGAM on saved data sets; executed in the peer's own
environment by bench/compare.py. Usage: _lingam_runner.py IN.npz OUT.json"""

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
                    "seconds": time.perf_counter() - start}
with open(sys.argv[2], "w") as handle:
    json.dump(results, handle)
