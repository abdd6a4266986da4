"""Nanoseconds per element of each compiled squared-difference kernel that
this processor supports, and of djbsort's AVX2 and portable float64 sorts.

    .venv/bin/python bench/kernels.py
"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np

import _exhaustive_testing as testing

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import reference

SIZES = (100, 1000, 10000)
ELEMENTS_PER_RUN = 20_000_000


def best_of(measure, runs=5):
    return min(measure() for _ in range(runs))


def main() -> None:
    supported = testing.supported_targets()
    selected = reference.selected_target(supported & testing.compiled_targets())
    print(f"selected kernel target: {selected}")
    print(f"{'operation':<22}" + "".join(f"{'n=' + str(n):>12}" for n in SIZES))
    rng = np.random.default_rng(0)
    data = {n: (rng.standard_normal(n), rng.standard_normal(n)) for n in SIZES}

    for name, bit in reference.TARGET_BITS.items():
        if not supported & bit:
            continue
        row = []
        for n in SIZES:
            a, b = data[n]
            repeats = max(1, ELEMENTS_PER_RUN // n)
            seconds = best_of(lambda: testing.time_kernel(bit, a, b, repeats))
            row.append(seconds / (repeats * n) * 1e9)
        print(f"{'kernel ' + name:<22}" + "".join(f"{v:>12.3f}" for v in row))

    sorts = [("sort portable", testing.time_sort_portable)]
    if supported & reference.TARGET_BITS["AVX2"]:
        sorts.insert(0, ("sort avx2", testing.time_sort_avx2))
    for label, timer in sorts:
        row = []
        for n in SIZES:
            values = data[n][0]
            repeats = max(1, ELEMENTS_PER_RUN // 10 // n)
            sort = best_of(lambda: timer(values, repeats, True))
            copy = best_of(lambda: timer(values, repeats, False))
            row.append((sort - copy) / (repeats * n) * 1e9)
        print(f"{label:<22}" + "".join(f"{v:>12.3f}" for v in row))
    print("(ns per element; sorts exclude the copy of the input)")


if __name__ == "__main__":
    main()
