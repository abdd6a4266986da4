"""Wall time, microseconds per score and peak memory of large searches.

    .venv/bin/python bench/scale.py [--sizes 16 18 20 22] [--samples 200]

Each size runs in a fresh interpreter (num_threads = 0) so that its peak
resident memory is its own. The tables of a search over n variables take

    masks_by_level 4 (2^n - 1) + best_total 4 * 2^n + best_sink 4 * 2^n
    + three level tables 4 (3n + 5)            =  12 * 2^n + 12 n + 16 bytes

plus one residual buffer of n_samples doubles per worker thread. The
predicted peak is the interpreter's resident size before the call plus that;
the table compares it with the measured peak.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import textwrap

CHILD = textwrap.dedent("""
    import json, os, resource, sys, time
    import numpy as np
    import _exhaustive_kernel as kernel
    n, samples = int(sys.argv[1]), int(sys.argv[2])
    rng = np.random.default_rng(n)
    X = rng.uniform(-1.0, 1.0, (samples, n))
    X = (X - X.mean(axis=0)) / X.std(axis=0)
    C, R = X.T @ X, np.sort(rng.standard_normal(samples))
    kernel._sink_dp(X[:, :2].copy(), C[:2, :2].copy(), R, 2, 0)  # first-use set-up
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    start = time.perf_counter()
    kernel._sink_dp(X, C, R, n, 0)
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(json.dumps({"seconds": seconds, "before": before, "peak": peak,
                      "workers": len(os.sched_getaffinity(0))}))
""")


def table_bytes(n: int) -> int:
    return 12 * 2**n + 12 * n + 16


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[16, 18, 20, 22])
    parser.add_argument("--samples", type=int, default=200)
    options = parser.parse_args()
    mib = 2**20
    print(f"memory of the tables at n: 12 * 2^n + 12 n + 16 bytes; "
          f"plus {options.samples} * 8 bytes per worker")
    print(f"{'n':>3} {'scores':>12} {'seconds':>9} {'us/score':>9} {'tables MiB':>11} "
          f"{'predicted peak':>15} {'measured peak':>14}")
    for n in options.sizes:
        done = subprocess.run([sys.executable, "-c", CHILD, str(n), str(options.samples)],
                              capture_output=True, text=True, check=True)
        run = json.loads(done.stdout)
        scores = n * 2 ** (n - 1)
        predicted = run["before"] + table_bytes(n) + run["workers"] * options.samples * 8
        print(f"{n:>3} {scores:>12,} {run['seconds']:>9.1f} {run['seconds'] / scores * 1e6:>9.2f} "
              f"{table_bytes(n) / mib:>11.1f} {predicted / mib:>11.1f} MiB "
              f"{run['peak'] / mib:>10.1f} MiB", flush=True)


if __name__ == "__main__":
    main()
