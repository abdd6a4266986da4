"""Time and peak memory of large searches, in one process and over MPI ranks.

    .venv/bin/python bench/scale.py [--sizes 18 20 22] [--samples 1000]
                                    [--memory-sizes 22 24] [--memory-samples 50]

For each size it runs the same search three ways, each in fresh processes:
one process with one thread, `mpiexec -n 2` with one thread per rank, and
one process with every processor. Then it measures peak memory at the larger
--memory-sizes (with fewer samples, which changes the time, not the tables)
against the engine's formula

    2^n                          the table of sinks, one byte per subset
    + 9 * binomial(n, n / 2)     two levels of float32 totals and one level
                                 of int8 sinks, at the widest level
    + 8 * n * ceil8(samples)     the column-major copy of X
    + 8 * ceil8(samples)         a residual buffer per thread

and against _exhaustive_kernel._sink_dp's tables, 12 * 2^n + 12 n + 16 bytes.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import textwrap
from math import comb
from pathlib import Path

MPIEXEC = Path(sys.executable).parent / "mpiexec"

CHILD = textwrap.dedent("""
    import json, resource, sys, time
    import numpy as np
    import varkel
    from varkel import _engine as engine
    n, samples, threads, mpi = (int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]),
                                sys.argv[4] == "mpi")
    rng = np.random.default_rng(n)
    X = rng.uniform(-1.0, 1.0, (samples, n))
    X = np.ascontiguousarray((X - X.mean(axis=0)) / X.std(axis=0))
    R = varkel.reference_vector("normal", samples)
    engine.search(X[:, :2].copy(), None, R)  # first use: imports, dispatch
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    start = time.perf_counter()
    if mpi:
        from varkel._levels import run_levels
        sinks, total = run_levels(X, R, None, threads=threads, progress=None,
                                  checkpoint=None, mpi=True)
    else:
        sinks, total = engine.search(X, None, R, threads=threads)
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    report = {"seconds": seconds, "before": before, "peak": peak, "total": total.hex(),
              "planned": engine.plan(n, samples, threads=threads)["bytes"]}
    if mpi:
        from mpi4py import MPI
        comm = MPI.COMM_WORLD
        report["peak"] = comm.allreduce(peak, op=MPI.MAX)
        report["before"] = comm.allreduce(before, op=MPI.MAX)
        if comm.Get_rank() != 0:
            sys.exit(0)
    print(json.dumps(report))
""")


def run(n: int, samples: int, threads: int, ranks: int) -> dict[str, float]:
    command = [sys.executable, "-c", CHILD, str(n), str(samples), str(threads),
               "mpi" if ranks > 1 else "single"]
    if ranks > 1:
        command = [str(MPIEXEC), "-n", str(ranks), *command]
    done = subprocess.run(command, capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def formula(n: int, samples: int, threads: int) -> int:
    padded = (samples + 7) // 8 * 8
    return 2**n + 9 * comb(n, n // 2) + 8 * n * padded + 8 * padded * threads


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[18, 20, 22])
    parser.add_argument("--samples", type=int, default=1000)
    parser.add_argument("--memory-sizes", type=int, nargs="+", default=[22, 24])
    parser.add_argument("--memory-samples", type=int, default=50)
    options = parser.parse_args()
    mib = 2**20
    print(f"{'n':>3} {'how':<22} {'seconds':>9} {'speed-up':>9}  total (bits)")
    for n in options.sizes:
        one = run(n, options.samples, 1, 1)
        ways = [("1 process, 1 thread", one)]
        if MPIEXEC.exists():
            ways.append(("mpiexec -n 2, 1 thread", run(n, options.samples, 1, 2)))
        ways.append(("1 process, all threads", run(n, options.samples, 0, 1)))
        for label, result in ways:
            same = "same" if result["total"] == one["total"] else "DIFFERENT"
            print(f"{n:>3} {label:<22} {result['seconds']:>9.1f} "
                  f"{one['seconds'] / result['seconds']:>8.2f}x  {result['total']} {same}",
                  flush=True)
    print(f"\n{'n':>3} {'samples':>8} {'formula':>11} {'predicted peak':>15} "
          f"{'measured peak':>14} {'_sink_dp tables':>16}")
    for n in options.memory_sizes:
        result = run(n, options.memory_samples, 1, 1)
        assert result["planned"] == formula(n, options.memory_samples, 1)
        predicted = result["before"] + result["planned"]
        print(f"{n:>3} {options.memory_samples:>8} {result['planned'] / mib:>7.1f} MiB "
              f"{predicted / mib:>11.1f} MiB {result['peak'] / mib:>10.1f} MiB "
              f"{(12 * 2**n + 12 * n + 16) / mib:>12.1f} MiB", flush=True)


if __name__ == "__main__":
    main()
