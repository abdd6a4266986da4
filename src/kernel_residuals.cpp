// standardized_residuals: the residuals of one regression and their division
// by the standard deviation, computed across samples with one sample per
// vector lane; and the same in two steps for all candidate sinks of a subset
// (candidate_residuals, then divide_residuals), for callers that may not
// need the division.
//
// Each lane does exactly what the row-major residual loop does for its
// sample: start from the target's value, subtract each parent's value times
// its coefficient (product rounded, then subtracted; parents ascending), then
// divide by sd. Lanes never mix, so the result is bit-identical to the scalar
// loop on every target; the build must not contract the multiply and the
// subtraction into a fused operation.

#ifndef HWY_DISABLED_TARGETS
#define HWY_DISABLED_TARGETS HWY_AVX10_2
#endif

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kernel_residuals.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep

#include <cstddef>
#include <type_traits>

#include "hwy/highway.h"
#include "score.h"  // kMaxRows

HWY_BEFORE_NAMESPACE();
namespace varkel {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Residuals of the samples [s, s + kBlock * lanes): kBlock vectors kept in
// registers while the parents are walked once, each parent's values read as
// one contiguous run. Returns the vectors through `out`.
template <size_t kBlock, class D, class V = hn::Vec<D>>
HWY_INLINE void residual_block(D d, const double* HWY_RESTRICT target_column,
                               const double* HWY_RESTRICT const* parent_columns,
                               const double* HWY_RESTRICT beta, int k, size_t s, V* out) {
  const size_t lanes = hn::Lanes(d);
  for (size_t b = 0; b < kBlock; ++b) out[b] = hn::Load(d, target_column + s + b * lanes);
  for (int c = 0; c < k; ++c) {
    const V coefficient = hn::Set(d, beta[c]);
    const double* HWY_RESTRICT column = parent_columns[c] + s;
    for (size_t b = 0; b < kBlock; ++b) {
      out[b] = hn::Sub(out[b], hn::Mul(hn::Load(d, column + b * lanes), coefficient));
    }
  }
}

// The residuals, divided by sd, into z; whether any of the first n_samples
// is NaN.
HWY_INLINE bool residuals_into(const double* HWY_RESTRICT columns, size_t stride, int n_samples,
                               int target, const int* HWY_RESTRICT parents,
                               const double* HWY_RESTRICT beta, int k, double sd,
                               double* HWY_RESTRICT z) {
  using D = hn::ScalableTag<double>;
  using V = hn::Vec<D>;
  const D d;
  const size_t lanes = hn::Lanes(d);
  constexpr size_t kBlock = 8;
  const double* HWY_RESTRICT parent_columns[32];
  for (int c = 0; c < k; ++c) {
    parent_columns[c] = columns + static_cast<size_t>(parents[c]) * stride;
  }
  const double* HWY_RESTRICT target_column = columns + static_cast<size_t>(target) * stride;
  const V divisor = hn::Set(d, sd);
  const auto finish = [&](V e) { return hn::Div(e, divisor); };
  const size_t count = static_cast<size_t>(n_samples);
  auto any_nan = hn::FirstN(d, 0);
  V e[kBlock];
  size_t s = 0;
  for (; s + kBlock * lanes <= count; s += kBlock * lanes) {
    residual_block<kBlock>(d, target_column, parent_columns, beta, k, s, e);
    for (size_t b = 0; b < kBlock; ++b) {
      const V value = finish(e[b]);
      hn::Store(value, d, z + s + b * lanes);
      any_nan = hn::Or(any_nan, hn::IsNaN(value));
    }
  }
  // The last vectors may reach into the padding rows; their NaN test looks
  // only at the lanes that hold samples.
  for (; s < count; s += lanes) {
    residual_block<1>(d, target_column, parent_columns, beta, k, s, e);
    const V value = finish(e[0]);
    hn::Store(value, d, z + s);
    any_nan = hn::Or(any_nan, hn::And(hn::IsNaN(value), hn::FirstN(d, count - s)));
  }
  return !hn::AllFalse(d, any_nan);
}

// Preconditions: see standardized_residuals in kernels.h; k <= 31.
bool standardized_residuals_impl(const double* HWY_RESTRICT columns, size_t stride,
                                 int n_samples, int target, const int* HWY_RESTRICT parents,
                                 const double* HWY_RESTRICT beta, int k, double sd,
                                 double* HWY_RESTRICT z) {
  return residuals_into(columns, stride, n_samples, target, parents, beta, k, sd, z);
}

// The residuals of kCands candidate sinks of one subset, one vector of
// samples at a time: each member's values are loaded once and subtracted,
// times each candidate's coefficient, from every candidate that has it as a
// parent. Per candidate and lane the operations are those of residual_block
// (from the target's value, parents ascending, product rounded, then
// subtracted), so the bits are the same; the candidates' chains are
// independent, which keeps the subtractions busy.
template <int kCands>
HWY_INLINE void candidate_group_residuals(const double* HWY_RESTRICT const* member_columns,
                                          int k, const int* HWY_RESTRICT targets,
                                          const int* HWY_RESTRICT slots,
                                          const double* HWY_RESTRICT beta, int n_samples,
                                          double* HWY_RESTRICT out, size_t out_stride,
                                          bool* HWY_RESTRICT nan) {
  using D = hn::ScalableTag<double>;
  using V = hn::Vec<D>;
  const D d;
  const size_t lanes = hn::Lanes(d);
  // coefficient[g * kMaxMembers + i]: candidate g's coefficient of member i
  // (its parents are the members but itself, ascending).
  constexpr int kMaxMembers = 32;
  double coefficient[kCands * kMaxMembers];
  for (int g = 0; g < kCands; ++g) {
    const double* row = beta + static_cast<size_t>(targets[g]) * kMaxRows;
    for (int i = 0, c = 0; i < k; ++i) {
      coefficient[g * kMaxMembers + i] = i == targets[g] ? 0.0 : row[c++];
    }
  }
  const size_t count = static_cast<size_t>(n_samples);
  auto any_nan = hn::FirstN(d, 0);
  decltype(any_nan) nan_of[kCands];
  for (int g = 0; g < kCands; ++g) nan_of[g] = any_nan;
  for (size_t s = 0; s < count; s += lanes) {
    V e[kCands];
    for (int g = 0; g < kCands; ++g) e[g] = hn::Load(d, member_columns[targets[g]] + s);
    for (int i = 0; i < k; ++i) {
      const V x = hn::Load(d, member_columns[i] + s);
      for (int g = 0; g < kCands; ++g) {
        if (i != targets[g]) {
          e[g] = hn::Sub(e[g], hn::Mul(x, hn::Set(d, coefficient[g * kMaxMembers + i])));
        }
      }
    }
    // The last vector may reach into the padding rows; its NaN test looks
    // only at the lanes that hold samples.
    const auto samples = hn::FirstN(d, count - s);
    for (int g = 0; g < kCands; ++g) {
      hn::Store(e[g], d, out + static_cast<size_t>(slots[g]) * out_stride + s);
      nan_of[g] = hn::Or(nan_of[g], hn::And(hn::IsNaN(e[g]), samples));
    }
  }
  for (int g = 0; g < kCands; ++g) nan[targets[g]] = !hn::AllFalse(d, nan_of[g]);
}

// Preconditions: see candidate_residuals in kernels.h.
void candidate_residuals_impl(const double* HWY_RESTRICT columns, size_t stride, int n_samples,
                              const int* HWY_RESTRICT members, int k,
                              const double* HWY_RESTRICT beta, const int* HWY_RESTRICT targets,
                              const int* HWY_RESTRICT slots, int count,
                              double* HWY_RESTRICT out, size_t out_stride,
                              bool* HWY_RESTRICT nan) {
  const double* HWY_RESTRICT member_columns[32];
  for (int i = 0; i < k; ++i) {
    member_columns[i] = columns + static_cast<size_t>(members[i]) * stride;
  }
  // Up to eight candidates at a time: eight independent chains keep the
  // subtractions busy, and their vectors stay in registers.
  for (int first = 0; first < count; first += 8) {
    const int* group = targets + first;
    const int* group_slots = slots + first;
    const auto run = [&](auto cands) {
      candidate_group_residuals<decltype(cands)::value>(member_columns, k, group, group_slots,
                                                        beta, n_samples, out, out_stride, nan);
    };
    switch (count - first < 8 ? count - first : 8) {
      case 1: run(std::integral_constant<int, 1>()); break;
      case 2: run(std::integral_constant<int, 2>()); break;
      case 3: run(std::integral_constant<int, 3>()); break;
      case 4: run(std::integral_constant<int, 4>()); break;
      case 5: run(std::integral_constant<int, 5>()); break;
      case 6: run(std::integral_constant<int, 6>()); break;
      case 7: run(std::integral_constant<int, 7>()); break;
      default: run(std::integral_constant<int, 8>()); break;
    }
  }
}

// Preconditions: see divide_residuals in kernels.h.
bool divide_residuals_impl(double* HWY_RESTRICT z, int n_samples, double sd) {
  using D = hn::ScalableTag<double>;
  const D d;
  const size_t lanes = hn::Lanes(d);
  const auto divisor = hn::Set(d, sd);
  const size_t count = static_cast<size_t>(n_samples);
  auto any_nan = hn::FirstN(d, 0);
  for (size_t s = 0; s < count; s += lanes) {
    const auto value = hn::Div(hn::Load(d, z + s), divisor);
    hn::Store(value, d, z + s);
    any_nan = hn::Or(any_nan, hn::And(hn::IsNaN(value), hn::FirstN(d, count - s)));
  }
  return !hn::AllFalse(d, any_nan);
}

}  // namespace HWY_NAMESPACE
}  // namespace varkel
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "kernels.h"

namespace varkel {

HWY_EXPORT(standardized_residuals_impl);

bool standardized_residuals(const double* columns, size_t stride, int n_samples, int target,
                            const int* parents, const double* beta, int k, double sd,
                            double* z) noexcept {
  return HWY_DYNAMIC_DISPATCH(standardized_residuals_impl)(columns, stride, n_samples, target,
                                                           parents, beta, k, sd, z);
}

HWY_EXPORT(divide_residuals_impl);

HWY_EXPORT(candidate_residuals_impl);
void candidate_residuals(const double* columns, size_t stride, int n_samples, const int* members,
                         int k, const double* beta, const int* targets, const int* slots,
                         int count, double* out, size_t out_stride, bool* nan) noexcept {
  HWY_DYNAMIC_DISPATCH(candidate_residuals_impl)(columns, stride, n_samples, members, k, beta,
                                                 targets, slots, count, out, out_stride, nan);
}
bool divide_residuals(double* z, int n_samples, double sd) noexcept {
  return HWY_DYNAMIC_DISPATCH(divide_residuals_impl)(z, n_samples, sd);
}

}  // namespace varkel
#endif  // HWY_ONCE
