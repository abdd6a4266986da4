// regress_candidates: the regressions of every candidate sink of one subset
// at once, one candidate per vector lane.
//
// For subset S with members m_0 < ... < m_(k-1), candidate j has target m_j
// and parents S without m_j. Each lane builds exactly the packed system that
// build_system builds for its candidate, and runs exactly the operations of
// cholesky and solve_coefficients on it, in the same order: products rounded
// before their subtractions, true divisions, correctly rounded square roots.
// Lanes never mix, so every lane's result is bit-identical to the scalar
// regression of its candidate, while the lanes share the latency of the long
// dependency chains of the factorisation.

#ifndef HWY_DISABLED_TARGETS
#define HWY_DISABLED_TARGETS HWY_AVX10_2
#endif

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kernel_regression.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep

#include <cstddef>
#include <limits>

#include "hwy/highway.h"
#include "kernels.h"
#include "score.h"

HWY_BEFORE_NAMESPACE();
namespace varkel {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Position of entry (row, col), col <= row, in a packed lower triangle.
inline size_t packed_position(size_t row, size_t col) { return row * (row + 1) / 2 + col; }

// Member index of candidate j's parent number r: the members in order,
// member j left out.
inline size_t parent_member(size_t j, size_t r) { return r < j ? r : r + 1; }

// Fills the lanes' packed systems for candidates first .. first + lanes - 1
// (lanes past the last candidate repeat the last one), `lanes` doubles per
// position. M[a * k + b] = C[m_a, m_b].
void gather_systems(const double* HWY_RESTRICT M, size_t k, size_t first, size_t lanes,
                    double* HWY_RESTRICT packed) {
  const size_t parents = k - 1;
  for (size_t lane = 0; lane < lanes; ++lane) {
    const size_t j = first + lane < k ? first + lane : k - 1;
    double* out = packed + lane;
    // Parent rows: the row of the higher-indexed parent, the column of the
    // lower one, then the parent's diagonal.
    for (size_t r = 0; r < parents; ++r) {
      const double* row = M + parent_member(j, r) * k;
      for (size_t c = 0; c <= r; ++c, out += lanes) *out = row[parent_member(j, c)];
    }
    // The target's row always comes from the target's own row of C.
    const double* row = M + j * k;
    for (size_t c = 0; c < parents; ++c, out += lanes) *out = row[parent_member(j, c)];
    *out = row[j];
  }
}

// Preconditions: see regress_candidates in kernels.h.
void regress_candidates_impl(const double* HWY_RESTRICT M, int k_members,
                             double* HWY_RESTRICT rss, double* HWY_RESTRICT beta,
                             size_t beta_stride) {
  using D = hn::ScalableTag<double>;
  using V = hn::Vec<D>;
  const D d;
  const size_t lanes = hn::Lanes(d);
  const size_t k = static_cast<size_t>(k_members);
  const size_t rows = k;  // k - 1 parents and the target
  HWY_ALIGN double packed[kPackedCapacity * HWY_LANES(double)];
  HWY_ALIGN double lane_out[HWY_LANES(double)];
  const auto at = [&](size_t row, size_t col) { return packed + packed_position(row, col) * lanes; };
  const V zero = hn::Zero(d);
  const V nan = hn::Set(d, std::numeric_limits<double>::quiet_NaN());

  for (size_t first = 0; first < k; first += lanes) {
    gather_systems(M, k, first, lanes, packed);
    // cholesky: row by row; a pivot not above zero fails the lane.
    auto failed = hn::FirstN(d, 0);
    for (size_t i = 0; i < rows; ++i) {
      for (size_t j = 0; j < i; ++j) {
        V v = hn::Load(d, at(i, j));
        for (size_t c = 0; c < j; ++c) {
          v = hn::Sub(v, hn::Mul(hn::Load(d, at(j, c)), hn::Load(d, at(i, c))));
        }
        hn::Store(hn::Div(v, hn::Load(d, at(j, j))), d, at(i, j));
      }
      V diagonal = hn::Load(d, at(i, i));
      for (size_t c = 0; c < i; ++c) {
        const V l = hn::Load(d, at(i, c));
        diagonal = hn::Sub(diagonal, hn::Mul(l, l));
      }
      failed = hn::Or(failed, hn::Le(diagonal, zero));
      hn::Store(hn::Sqrt(diagonal), d, at(i, i));
    }
    const V last = hn::Load(d, at(rows - 1, rows - 1));
    hn::Store(hn::IfThenElse(failed, nan, hn::Mul(last, last)), d, lane_out);
    for (size_t lane = 0; lane < lanes && first + lane < k; ++lane) rss[first + lane] = lane_out[lane];

    // solve_coefficients: back-substitution with the parents' block.
    const size_t parents = k - 1;
    HWY_ALIGN double solved[kMaxRows * HWY_LANES(double)];
    for (size_t c = 0; c < parents; ++c) hn::Store(hn::Load(d, at(parents, c)), d, solved + c * lanes);
    for (size_t r = parents; r-- > 0;) {
      V v = hn::Load(d, solved + r * lanes);
      for (size_t i = r + 1; i < parents; ++i) {
        v = hn::Sub(v, hn::Mul(hn::Load(d, at(i, r)), hn::Load(d, solved + i * lanes)));
      }
      hn::Store(hn::Div(v, hn::Load(d, at(r, r))), d, solved + r * lanes);
    }
    for (size_t lane = 0; lane < lanes && first + lane < k; ++lane) {
      double* out = beta + (first + lane) * beta_stride;
      for (size_t c = 0; c < parents; ++c) out[c] = solved[c * lanes + lane];
    }
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace varkel
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace varkel {

HWY_EXPORT(regress_candidates_impl);

void regress_candidates(const double* M, int k, double* rss, double* beta,
                        size_t beta_stride) noexcept {
  HWY_DYNAMIC_DISPATCH(regress_candidates_impl)(M, k, rss, beta, beta_stride);
}

}  // namespace varkel
#endif  // HWY_ONCE
