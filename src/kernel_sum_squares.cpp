// sum_squared_differences: sum over i < n of (a[i] - b[i])^2, compiled for
// eight x86-64 targets and chosen at run time by Highway's dynamic dispatch.
//
// The target fixes the last bits of the result, so each form's arithmetic is
// pinned down exactly: one accumulator of W lanes (no unrolling), lane j
// summing the elements i = j (mod W) in ascending order; a fixed reduction
// tree; then the n mod W tail elements added one at a time. The four AVX3
// targets fuse the main-loop update and AVX2/AVX3 fuse the last tail element
// when the tail is odd; every other product is rounded before its addition.
// The build must not contract or reassociate any of this.

// Exactly the eight targets below are compiled: AVX10_2 (which this Highway
// also knows) is left out here, and EMU128/SCALAR are below the SSE2 baseline.
#ifndef HWY_DISABLED_TARGETS
#define HWY_DISABLED_TARGETS HWY_AVX10_2
#endif

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kernel_sum_squares.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep

#include <cmath>
#include <cstddef>

#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace varkel {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Whether this target is one of the AVX3 family (AVX3, AVX3_DL, AVX3_ZEN4,
// AVX3_SPR): they fuse the main-loop update.
constexpr bool kFusedMainLoop = HWY_TARGET <= HWY_AVX3 && HWY_TARGET >= HWY_AVX3_SPR;
// AVX2 and the AVX3 family fuse the last element of an odd tail.
constexpr bool kFusedOddTail = HWY_TARGET <= HWY_AVX2;

// Reduces the lanes of the accumulator by the fixed tree of its width.
template <size_t kLanes>
double reduce_lanes(const double* acc);
template <>
inline double reduce_lanes<2>(const double* acc) {
  return acc[0] + acc[1];
}
template <>
inline double reduce_lanes<4>(const double* acc) {
  return (acc[0] + acc[2]) + (acc[1] + acc[3]);
}
template <>
inline double reduce_lanes<8>(const double* acc) {
  return ((acc[0] + acc[2]) + (acc[4] + acc[6])) + ((acc[1] + acc[3]) + (acc[5] + acc[7]));
}

// Preconditions: a and b each hold at least n doubles (no alignment needed);
// nothing is read when n <= 0.
double sum_squared_differences_impl(const double* HWY_RESTRICT a,
                                    const double* HWY_RESTRICT b, int n) {
  if (n <= 0) return 0.0;
  const hn::ScalableTag<double> d;
  constexpr size_t kLanes = HWY_LANES(double);
  static_assert(kLanes == 2 || kLanes == 4 || kLanes == 8, "unexpected vector width");

  const size_t count = static_cast<size_t>(n);
  const size_t main_end = count - count % kLanes;
  auto acc = hn::Zero(d);
  for (size_t i = 0; i < main_end; i += kLanes) {
    const auto diff = hn::Sub(hn::LoadU(d, a + i), hn::LoadU(d, b + i));
    if constexpr (kFusedMainLoop) {
      acc = hn::MulAdd(diff, diff, acc);
    } else {
      acc = hn::Add(acc, hn::Mul(diff, diff));
    }
  }
  HWY_ALIGN double lanes[kLanes];
  hn::Store(acc, d, lanes);
  double s = reduce_lanes<kLanes>(lanes);

  const size_t tail = count - main_end;
  const size_t rounded_end = (kFusedOddTail && (tail & 1) != 0) ? count - 1 : count;
  for (size_t i = main_end; i < rounded_end; ++i) {
    const double diff = a[i] - b[i];
    s = s + diff * diff;
  }
  if (rounded_end != count) {
    const double diff = a[count - 1] - b[count - 1];
    s = std::fma(diff, diff, s);
  }
  return s;
}

}  // namespace HWY_NAMESPACE
}  // namespace varkel
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "kernels.h"

namespace varkel {

// The compiled set must be exactly these eight targets; a Highway or compiler
// that adds or drops one changes which arithmetic a processor gets.
constexpr int64_t kKernelTargets = HWY_AVX3_SPR | HWY_AVX3_ZEN4 | HWY_AVX3_DL | HWY_AVX3 |
                                   HWY_AVX2 | HWY_SSE4 | HWY_SSSE3 | HWY_SSE2;
static_assert(HWY_TARGETS == kKernelTargets, "kernel must be compiled for exactly 8 targets");

HWY_EXPORT(sum_squared_differences_impl);

double sum_squared_differences(const double* a, const double* b, int n) noexcept {
  return HWY_DYNAMIC_DISPATCH(sum_squared_differences_impl)(a, b, n);
}

int64_t compiled_kernel_targets() noexcept { return kKernelTargets; }

bool sum_squared_differences_for_target(int64_t target, const double* a, const double* b,
                                        int n, double* result) noexcept {
  switch (target) {
    case HWY_AVX3_SPR: *result = N_AVX3_SPR::sum_squared_differences_impl(a, b, n); break;
    case HWY_AVX3_ZEN4: *result = N_AVX3_ZEN4::sum_squared_differences_impl(a, b, n); break;
    case HWY_AVX3_DL: *result = N_AVX3_DL::sum_squared_differences_impl(a, b, n); break;
    case HWY_AVX3: *result = N_AVX3::sum_squared_differences_impl(a, b, n); break;
    case HWY_AVX2: *result = N_AVX2::sum_squared_differences_impl(a, b, n); break;
    case HWY_SSE4: *result = N_SSE4::sum_squared_differences_impl(a, b, n); break;
    case HWY_SSSE3: *result = N_SSSE3::sum_squared_differences_impl(a, b, n); break;
    case HWY_SSE2: *result = N_SSE2::sum_squared_differences_impl(a, b, n); break;
    default: return false;
  }
  return true;
}

}  // namespace varkel
#endif  // HWY_ONCE
