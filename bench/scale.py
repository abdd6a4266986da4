"""Wall time, microseconds per score and peak memory of large searches.

    .venv/bin/python bench/scale.py [--sizes 16 18 20] [--samples 1000] [--reference]

Each size runs in a fresh interpreter on every processor, so that its peak
resident memory is its own. The engine's allocations for n variables are

    2^n float32 totals + 2^n int8 sinks       =  5 * 2^n bytes
    + the column-major copy of X              =  8 * n * ceil8(samples) bytes
    + one residual buffer per thread          =  8 * ceil8(samples) bytes each

(varkel._engine.plan gives the same figure). The predicted peak is the
interpreter's resident size before the call plus that; the table compares it
with the measured peak. With --reference, _exhaustive_kernel._sink_dp runs
too: its tables take 12 * 2^n + 12 n + 16 bytes.
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
    from varkel import _engine as engine
    which, n, samples = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    rng = np.random.default_rng(n)
    X = rng.uniform(-1.0, 1.0, (samples, n))
    X = np.ascontiguousarray((X - X.mean(axis=0)) / X.std(axis=0))
    C, R = engine.gram(X), np.sort(rng.standard_normal(samples))
    search = (lambda: engine.search(X, C, R)) if which == "engine" else \\
        (lambda: kernel._sink_dp(X, C, R, n, 0))
    small = X[:, :2].copy()
    engine.search(small, None, R); kernel._sink_dp(small, engine.gram(small), R, 2, 0)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    start = time.perf_counter()
    search()
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(json.dumps({"seconds": seconds, "before": before, "peak": peak,
                      "planned": engine.plan(n, samples)["bytes"],
                      "threads": len(os.sched_getaffinity(0))}))
""")


def reference_bytes(n: int, samples: int, threads: int) -> int:
    return 12 * 2**n + 12 * n + 16 + threads * samples * 8


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[16, 18, 20])
    parser.add_argument("--samples", type=int, default=1000)
    parser.add_argument("--reference", action="store_true",
                        help="also run _exhaustive_kernel._sink_dp")
    options = parser.parse_args()
    mib = 2**20
    print(f"{'n':>3} {'search':<9} {'scores':>12} {'seconds':>9} {'us/score':>9} "
          f"{'allocated':>10} {'predicted peak':>15} {'measured peak':>14}")
    for n in options.sizes:
        for which in ("engine", "_sink_dp") if options.reference else ("engine",):
            done = subprocess.run([sys.executable, "-c", CHILD, which, str(n),
                                   str(options.samples)],
                                  capture_output=True, text=True, check=True)
            run = json.loads(done.stdout)
            scores = n * 2 ** (n - 1)
            allocated = run["planned"] if which == "engine" else \
                reference_bytes(n, options.samples, run["threads"])
            predicted = run["before"] + allocated
            print(f"{n:>3} {which:<9} {scores:>12,} {run['seconds']:>9.1f} "
                  f"{run['seconds'] / scores * 1e6 * run['threads']:>9.2f} "
                  f"{allocated / mib:>6.1f} MiB {predicted / mib:>11.1f} MiB "
                  f"{run['peak'] / mib:>10.1f} MiB", flush=True)
    print("(us/score: per thread, wall time x threads / scores)")


if __name__ == "__main__":
    main()
