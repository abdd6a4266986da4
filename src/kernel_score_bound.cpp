// The two passes of the score's upper bound (score_bound.h), across samples
// with one residual per vector lane.
//
// Both passes see the values v = e * factor (the residuals e times the
// reciprocal of their standard deviation), computed alike in both. Every
// value's block is (v - low) * scale, clamped to [0, top] and truncated: the
// same IEEE operations, unfused, in every lane and in the scalar tail, so
// the block is one monotone function of the value.
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
double bound_blocks_impl(const double* HWY_RESTRICT e, double factor, int n, double low,
                         double scale, double top, int32_t* HWY_RESTRICT blocks) {
  using D = hn::ScalableTag<double>;
  const D d;
  const hn::RebindToSigned<D> di;
  const hn::Rebind<int32_t, D> d32;
  const size_t lanes = hn::Lanes(d);
  const size_t count = static_cast<size_t>(n);
  const auto vfactor = hn::Set(d, factor);
  const auto vlow = hn::Set(d, low), vscale = hn::Set(d, scale), vtop = hn::Set(d, top);
  const auto zero = hn::Zero(d);
  auto squares = zero;
  size_t s = 0;
  for (; s + lanes <= count; s += lanes) {
    const auto v = hn::Mul(hn::LoadU(d, e + s), vfactor);
    const auto position = hn::Min(hn::Max(hn::Mul(hn::Sub(v, vlow), vscale), zero), vtop);
    hn::StoreU(hn::DemoteTo(d32, hn::ConvertTo(di, position)), d32, blocks + s);
    squares = hn::Add(squares, hn::Mul(v, v));
  }
  double sq = hn::ReduceSum(d, squares);
  for (; s < count; ++s) {
    const double v = e[s] * factor;
    const double position = std::min(std::max((v - low) * scale, 0.0), top);
    blocks[s] = static_cast<int32_t>(position);
    sq += v * v;
  }
  return sq;
}

// Preconditions: see bound_cross in kernels.h.
double bound_cross_impl(const double* HWY_RESTRICT e, double factor,
                        const int32_t* HWY_RESTRICT blocks, int n,
                        const double* HWY_RESTRICT mean) {
  using D = hn::ScalableTag<double>;
  const D d;
  const hn::RebindToSigned<D> di;
  const hn::Rebind<int32_t, D> d32;
  const size_t lanes = hn::Lanes(d);
  const size_t count = static_cast<size_t>(n);
  const auto vfactor = hn::Set(d, factor);
  auto cross = hn::Zero(d);
  size_t s = 0;
  for (; s + lanes <= count; s += lanes) {
    const auto index = hn::PromoteTo(di, hn::LoadU(d32, blocks + s));
    const auto v = hn::Mul(hn::LoadU(d, e + s), vfactor);
    cross = hn::Add(cross, hn::Mul(v, hn::GatherIndex(d, mean, index)));
  }
  double c = hn::ReduceSum(d, cross);
  for (; s < count; ++s) c += (e[s] * factor) * mean[blocks[s]];
  return c;
}

}  // namespace HWY_NAMESPACE
}  // namespace varkel
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "kernels.h"

namespace varkel {

HWY_EXPORT(bound_blocks_impl);
HWY_EXPORT(bound_cross_impl);

double bound_blocks(const double* e, double factor, int n, double low, double scale,
                    double top, int32_t* blocks) noexcept {
  return HWY_DYNAMIC_DISPATCH(bound_blocks_impl)(e, factor, n, low, scale, top, blocks);
}

double bound_cross(const double* e, double factor, const int32_t* blocks, int n,
                   const double* mean) noexcept {
  return HWY_DYNAMIC_DISPATCH(bound_cross_impl)(e, factor, blocks, n, mean);
}

}  // namespace varkel
#endif  // HWY_ONCE
