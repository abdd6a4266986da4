"""Slow, independent reference of the search, in plain Python floats.

Python floats are IEEE doubles with one rounding per operation, and
``math.fma`` rounds once, so every step below reproduces the kernel's
arithmetic exactly. float32 values are formed by rounding a double; a float32
sum is the double sum rounded to float32, which is exact because a double
carries more than twice float32's precision.
"""

from __future__ import annotations

import math
import struct
from dataclasses import dataclass

NAN = float("nan")


def to_f32(x: float) -> float:
    """Round a double to the nearest float32, returned as a double."""
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def sort_key(x: float) -> int:
    """djbsort's float64 key: the bits as a signed integer, with the low 63
    bits inverted when the sign bit is set."""
    (bits,) = struct.unpack("<q", struct.pack("<d", x))
    return bits ^ 0x7FFFFFFFFFFFFFFF if bits < 0 else bits


def sort_values(values: list[float]) -> list[float]:
    return sorted(values, key=sort_key)


@dataclass(frozen=True)
class KernelGroup:
    """Arithmetic of one group of instruction-set targets."""

    lanes: int
    fused_main: bool
    fused_odd_tail: bool


SSE = KernelGroup(lanes=2, fused_main=False, fused_odd_tail=False)
AVX2 = KernelGroup(lanes=4, fused_main=False, fused_odd_tail=True)
AVX3 = KernelGroup(lanes=8, fused_main=True, fused_odd_tail=True)

# Highway target bits of the compiled kernel forms, best first.
TARGET_BITS = {
    "AVX3_SPR": 1 << 4,
    "AVX3_ZEN4": 1 << 6,
    "AVX3_DL": 1 << 7,
    "AVX3": 1 << 8,
    "AVX2": 1 << 9,
    "SSE4": 1 << 11,
    "SSSE3": 1 << 12,
    "SSE2": 1 << 14,
}
GROUP_OF_TARGET = {
    "AVX3_SPR": AVX3,
    "AVX3_ZEN4": AVX3,
    "AVX3_DL": AVX3,
    "AVX3": AVX3,
    "AVX2": AVX2,
    "SSE4": SSE,
    "SSSE3": SSE,
    "SSE2": SSE,
}


def selected_target(supported: int) -> str:
    """The form the dispatcher picks: the best supported one, else SSE2."""
    for name, bit in TARGET_BITS.items():
        if supported & bit:
            return name
    return "SSE2"


def _reduce(acc: list[float]) -> float:
    if len(acc) == 2:
        return acc[0] + acc[1]
    if len(acc) == 4:
        return (acc[0] + acc[2]) + (acc[1] + acc[3])
    return ((acc[0] + acc[2]) + (acc[4] + acc[6])) + ((acc[1] + acc[3]) + (acc[5] + acc[7]))


def sum_squared_differences(a, b, group: KernelGroup = SSE) -> float:
    n = len(a)
    w = group.lanes
    main_end = n - n % w
    acc = [0.0] * w
    for i in range(main_end):
        d = a[i] - b[i]
        lane = i % w
        acc[lane] = math.fma(d, d, acc[lane]) if group.fused_main else acc[lane] + d * d
    s = _reduce(acc)
    tail = n - main_end
    for i in range(main_end, n):
        d = a[i] - b[i]
        if group.fused_odd_tail and tail % 2 == 1 and i == n - 1:
            s = math.fma(d, d, s)
        else:
            s = s + d * d
    return s


def regress(C, n_vars: int, target: int, mask: int) -> tuple[float, list[float]]:
    """The residual sum of squares and the coefficients (parents ascending)
    of the target's regression, from C as a flat row-major list; the rss is
    NaN when a pivot is not above zero."""
    parents = [j for j in range(n_vars) if mask >> j & 1]
    k = len(parents)
    rows = [*parents, target]
    # Lower triangle of the normal equations: each row reads C's row of its
    # own variable (the higher-indexed one for two parents).
    A = [[C[rows[r] * n_vars + rows[c]] for c in range(r + 1)] for r in range(k + 1)]
    L = [[0.0] * (r + 1) for r in range(k + 1)]
    for i in range(k + 1):
        for j in range(i):
            v = A[i][j]
            for c in range(j):
                v = v - L[j][c] * L[i][c]
            L[i][j] = v / L[j][j]
        d = A[i][i]
        for c in range(i):
            d = d - L[i][c] * L[i][c]
        if not d > 0.0 and not math.isnan(d):
            return NAN, []
        L[i][i] = math.sqrt(d) if not math.isnan(d) else NAN
    rss = L[k][k] * L[k][k]
    if math.isnan(rss):
        return NAN, []
    beta = [L[k][c] for c in range(k)]
    for r in range(k - 1, -1, -1):
        v = beta[r]
        for i in range(r + 1, k):
            v = v - L[i][r] * beta[i]
        beta[r] = v / L[r][r]
    return rss, beta


def standardized_residuals(X, n_samples: int, n_vars: int, target: int, mask: int,
                           beta: list[float], rss: float) -> list[float]:
    """Residuals divided (truly) by sqrt(rss / n_samples), in sample order."""
    parents = [j for j in range(n_vars) if mask >> j & 1]
    sd = math.sqrt(rss / n_samples)
    z = []
    for s in range(n_samples):
        e = X[s * n_vars + target]
        for c, j in enumerate(parents):
            e = e - X[s * n_vars + j] * beta[c]
        z.append(ieee_divide(e, sd))
    return z


def ieee_divide(a: float, b: float) -> float:
    """a / b as IEEE-754 gives it, also for b = 0 (where Python raises)."""
    if b != 0.0:
        return a / b
    if a == 0.0 or math.isnan(a):
        return NAN
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


def score(X, C, R, n_samples: int, n_vars: int, target: int, mask: int,
          group: KernelGroup = SSE) -> float:
    """X and C as flat row-major lists of floats, R a list."""
    rss, beta = regress(C, n_vars, target, mask)
    if math.isnan(rss) or n_samples == 0:
        return NAN
    z = sort_values(standardized_residuals(X, n_samples, n_vars, target, mask, beta, rss))
    return sum_squared_differences(z, R, group) / n_samples


def sink_dp(X, C, R, n_vars: int, group: KernelGroup = SSE):
    """Returns (best_sink, best_total) as lists; totals are float32 values."""
    n_samples = len(R)
    size = 1 << n_vars
    best_total = [0.0] * size
    best_sink = [-1] * size
    # Every subset of S is numerically smaller than S, so increasing masks
    # see only final entries.
    for S in range(1, size):
        best, sink = -math.inf, -1
        for i in range(n_vars):
            if not S >> i & 1:
                continue
            P = S ^ (1 << i)
            s = score(X, C, R, n_samples, n_vars, i, P, group)
            candidate = to_f32(to_f32(s) + best_total[P])
            if candidate > best:
                best, sink = candidate, i
        best_total[S], best_sink[S] = best, sink
    return best_sink, best_total[size - 1]
