"""The command line's table reader against pandas.read_csv, on one file.

    .venv/bin/python bench/csv_read.py [--megabytes 200] [--columns 3]

Writes a CSV of random doubles in full precision (repr, 17 significant
digits) to a temporary directory, then reads it, each in a fresh process so
that peak memory is the reader's own:
  - with varkel's reader (what `varkel order FILE` runs),
  - with pandas.read_csv (its C parser, default options, then to_numpy()),
  - with pandas.read_csv and float_precision="round_trip", the pandas
    setting that reads every number as the nearest double, as varkel does.
Prints the best wall time of three runs, the peak resident memory (the
process's maximum RSS less its RSS before reading) and how many values
differ in any bit from the numbers written. Then the whole command,
`varkel order FILE`, as a user runs it: its peak RSS against the file's
size, and above the interpreter's baseline (the peak of `varkel order` on a
table of 100 rows) against the table's doubles.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import tempfile
import textwrap

import numpy as np

from _machine import processor_name

READERS = {
    "varkel": "from varkel._csv import read_table\nvalues = read_table(path, columns=True)[1]",
    "pandas": "import pandas as pd\nvalues = pd.read_csv(path).to_numpy()",
    "pandas round_trip": ("import pandas as pd\n"
                          "values = pd.read_csv(path, float_precision='round_trip').to_numpy()"),
}

PROBE = """
import resource, sys, time
import numpy as np, pandas, pyarrow.csv, varkel._csv
path = sys.argv[1]
def rss():
    with open("/proc/self/status") as status:
        return next(int(l.split()[1]) for l in status if l.startswith("VmRSS")) * 1024
before = rss()
start = time.perf_counter()
{reader}
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - before
expected = np.load(sys.argv[2])
print({{"seconds": seconds, "peak": peak,
        "wrong": int((values != expected).sum()), "shape": list(values.shape)}})
"""


def write_table(folder: str, megabytes: float, columns: int) -> tuple[str, str]:
    rng = np.random.default_rng(0)
    row_bytes = columns * 21
    rows = int(megabytes * 2**20 / row_bytes)
    values = rng.standard_normal((rows, columns))
    path = os.path.join(folder, "table.csv")
    with open(path, "w") as out:
        out.write(",".join(f"v{j}" for j in range(columns)) + "\n")
        for start in range(0, rows, 100_000):
            block = values[start:start + 100_000]
            out.write("\n".join(",".join(map(repr, row)) for row in block.tolist()) + "\n")
    expected = os.path.join(folder, "expected.npy")
    np.save(expected, values)
    return path, expected


def measure(reader: str, path: str, expected: str) -> dict[str, float]:
    code = textwrap.dedent(PROBE).format(reader=READERS[reader])
    best: dict[str, float] | None = None
    for _ in range(3):
        done = subprocess.run([sys.executable, "-c", code, path, expected], capture_output=True,
                              text=True, check=True)
        result = json.loads(done.stdout.strip().replace("'", '"'))
        if best is None or result["seconds"] < best["seconds"]:
            best = result
    assert best is not None
    return best


def command_peak(path: str) -> int:
    """Peak RSS in bytes of `varkel order path` in a fresh process."""
    varkel = os.path.join(os.path.dirname(sys.executable), "varkel")
    code = ("import resource, subprocess, sys; subprocess.run(sys.argv[1:], check=True, "
            "stdout=subprocess.DEVNULL); print(resource.getrusage("
            "resource.RUSAGE_CHILDREN).ru_maxrss)")
    done = subprocess.run([sys.executable, "-c", code, varkel, "order", path],
                          capture_output=True, text=True, check=True)
    return int(done.stdout) * 1024


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megabytes", type=float, default=200.0)
    parser.add_argument("--columns", type=int, default=3)
    options = parser.parse_args()
    print(f"processor: {processor_name()}, {os.cpu_count()} logical processors; "
          f"Python {platform.python_version()}")
    with tempfile.TemporaryDirectory() as folder:
        path, expected = write_table(folder, options.megabytes, options.columns)
        size = os.path.getsize(path)
        print(f"file: {size / 2**20:.0f} MiB, {options.columns} columns")
        results = {name: measure(name, path, expected) for name in READERS}
        small = os.path.join(folder, "small.csv")
        with open(path) as table, open(small, "w") as out:
            out.writelines(line for _, line in zip(range(101), table, strict=False))
        baseline, peak = command_peak(small), command_peak(path)
        doubles = np.load(expected, mmap_mode="r").nbytes
    base = results["pandas"]["seconds"]
    print(f"{'reader':<18} {'seconds':>8} {'vs pandas':>10} {'peak MiB':>9} {'peak/file':>10} "
          f"{'wrong values':>13}")
    for name, result in results.items():
        print(f"{name:<18} {result['seconds']:8.2f} {result['seconds'] / base:9.2f}x "
              f"{result['peak'] / 2**20:9.0f} {result['peak'] / size:10.2f} "
              f"{result['wrong']:13,}")
    print(f"varkel order FILE: peak {peak / 2**20:.0f} MiB = {peak / size:.2f}x the file; "
          f"{(peak - baseline) / 2**20:.0f} MiB above the baseline of "
          f"{baseline / 2**20:.0f} MiB = {(peak - baseline) / doubles:.2f}x the table's "
          f"{doubles / 2**20:.0f} MiB of doubles")


if __name__ == "__main__":
    main()
