// The two passes of the score's upper bound (score_bound.h), across samples
// with one residual per vector lane.
//
// Every residual's block is (z - low) * scale, clamped to [0, top] and
// truncated: the same IEEE operations, unfused, in every lane and in the
// scalar tail, so the block is one monotone function of the value.
// The sums are taken in lanes and then across them: another order than a
// scalar loop's, which the bound's margin covers (it holds for any order).

#ifndef HWY_DISABLED_TARGETS
#define HWY_DISABLED_TARGETS HWY_AVX10_2
#endif

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kernel_score_bound.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace varkel {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Preconditions: see bound_blocks in kernels.h.
void bound_blocks_impl(const double* HWY_RESTRICT z, int n, double low, double scale,
                       double top, int32_t* HWY_RESTRICT blocks, double* HWY_RESTRICT sums) {
  using D = hn::ScalableTag<double>;
  const D d;
  const hn::RebindToSigned<D> di;
  const hn::Rebind<int32_t, D> d32;
  const size_t lanes = hn::Lanes(d);
  const size_t count = static_cast<size_t>(n);
  const auto vlow = hn::Set(d, low), vscale = hn::Set(d, scale), vtop = hn::Set(d, top);
  const auto zero = hn::Zero(d);
  auto squares = zero, magnitudes = zero, largest = zero;
  size_t s = 0;
  for (; s + lanes <= count; s += lanes) {
    const auto v = hn::LoadU(d, z + s);
    const auto position = hn::Min(hn::Max(hn::Mul(hn::Sub(v, vlow), vscale), zero), vtop);
    hn::StoreU(hn::DemoteTo(d32, hn::ConvertTo(di, position)), d32, blocks + s);
    squares = hn::Add(squares, hn::Mul(v, v));
    const auto magnitude = hn::Abs(v);
    magnitudes = hn::Add(magnitudes, magnitude);
    largest = hn::Max(largest, magnitude);
  }
  double sq = hn::ReduceSum(d, squares), mag = hn::ReduceSum(d, magnitudes);
  double big = hn::ReduceMax(d, largest);
  for (; s < count; ++s) {
    const double v = z[s];
    const double position = std::min(std::max((v - low) * scale, 0.0), top);
    blocks[s] = static_cast<int32_t>(position);
    sq += v * v;
    mag += std::fabs(v);
    big = std::max(big, std::fabs(v));
  }
  sums[0] = sq;
  sums[1] = mag;
  sums[2] = big;
}

// Preconditions: see bound_cross in kernels.h.
void bound_cross_impl(const double* HWY_RESTRICT z, const int32_t* HWY_RESTRICT blocks, int n,
                      const double* HWY_RESTRICT mean, double* HWY_RESTRICT sums) {
  using D = hn::ScalableTag<double>;
  const D d;
  const hn::RebindToSigned<D> di;
  const hn::Rebind<int32_t, D> d32;
  const size_t lanes = hn::Lanes(d);
  const size_t count = static_cast<size_t>(n);
  auto cross = hn::Zero(d), magnitudes = hn::Zero(d);
  size_t s = 0;
  for (; s + lanes <= count; s += lanes) {
    const auto index = hn::PromoteTo(di, hn::LoadU(d32, blocks + s));
    const auto term = hn::Mul(hn::LoadU(d, z + s), hn::GatherIndex(d, mean, index));
    cross = hn::Add(cross, term);
    magnitudes = hn::Add(magnitudes, hn::Abs(term));
  }
  double c = hn::ReduceSum(d, cross), mag = hn::ReduceSum(d, magnitudes);
  for (; s < count; ++s) {
    const double term = z[s] * mean[blocks[s]];
    c += term;
    mag += std::fabs(term);
  }
  sums[0] = c;
  sums[1] = mag;
}

}  // namespace HWY_NAMESPACE
}  // namespace varkel
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "kernels.h"

namespace varkel {

HWY_EXPORT(bound_blocks_impl);
HWY_EXPORT(bound_cross_impl);

void bound_blocks(const double* z, int n, double low, double scale, double top,
                  int32_t* blocks, double* sums) noexcept {
  HWY_DYNAMIC_DISPATCH(bound_blocks_impl)(z, n, low, scale, top, blocks, sums);
}

void bound_cross(const double* z, const int32_t* blocks, int n, const double* mean,
                 double* sums) noexcept {
  HWY_DYNAMIC_DISPATCH(bound_cross_impl)(z, blocks, n, mean, sums);
}

}  // namespace varkel
#endif  // HWY_ONCE
