// The score's upper bound; see score_bound.h.
#include "score_bound.h"

#include "kernels.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace varkel {

namespace {

// The blocks span +-kSpan: standardised residuals beyond it are rare, and
// land in the end blocks, which stay valid (only less tight).
constexpr double kSpan = 4.0;

}  // namespace

ScoreBound::ScoreBound(const double* R, int n_samples)
    : n_samples_(n_samples),
      prefix_(static_cast<size_t>(std::max(n_samples, 0)) + 1, 0.0),
      reciprocal_(static_cast<size_t>(std::max(n_samples, 0)) + 1, 0.0) {
  for (int c = 1; c <= n_samples; ++c) reciprocal_[c] = 1.0 / c;
  for (int i = 0; i < n_samples; ++i) {
    prefix_[i + 1] = prefix_[i] + R[i];
    sum_r2_ += R[i] * R[i];
    sum_abs_r_ += std::fabs(R[i]);
  }
  blocks_ = std::clamp(n_samples / 8, 16, kMaxBlocks);
  low_ = -kSpan;
  scale_ = blocks_ / (2.0 * kSpan);
}

double ScoreBound::upper(const double* z, int32_t* blocks) const noexcept {
  const int m = n_samples_;
  if (m <= 0) return std::numeric_limits<double>::infinity();
  // Pass one: each residual's block, and sum z^2, sum |z|, max |z|.
  double sums[3];
  bound_blocks(z, m, low_, scale_, blocks_ - 0.5, blocks, sums);
  const double squares = sums[0], largest = sums[2];
  if (!std::isfinite(squares)) return std::numeric_limits<double>::infinity();
  // The blocks' counts (four interleaved tables, so that neighbours in one
  // block do not wait on each other), then the mean of R over the sorted
  // positions [position, position + c) that each block's residuals hold.
  int count[4][kMaxBlocks];
  for (auto& table : count) std::fill(table, table + blocks_, 0);
  int i = 0;
  for (; i + 3 < m; i += 4) {
    ++count[0][blocks[i]];
    ++count[1][blocks[i + 1]];
    ++count[2][blocks[i + 2]];
    ++count[3][blocks[i + 3]];
  }
  for (; i < m; ++i) ++count[0][blocks[i]];
  double mean[kMaxBlocks];
  for (int b = 0, position = 0; b < blocks_; ++b) {
    const int c = count[0][b] + count[1][b] + count[2][b] + count[3][b];
    mean[b] = c > 0 ? (prefix_[position + c] - prefix_[position]) * reciprocal_[c] : 0.0;
    position += c;
  }
  // Pass two: the cross term's lower bound, sum z_i * mean(block of z_i).
  double cross[2];
  bound_cross(z, blocks, m, mean, cross);
  const double count_m = static_cast<double>(m);
  const double bound = (squares + sum_r2_ - 2.0 * cross[0]) / count_m;
  // The margin: g relative to every magnitude summed (the squares, R^2, the
  // cross terms), and the prefix sums' error, at most g * sum|R| in each
  // block's mean, times at most `largest` per residual.
  const double g = (count_m + blocks_ + 16.0) * 0x1p-52;
  const double magnitudes = squares + sum_r2_ + 2.0 * cross[1] +
                            4.0 * blocks_ * largest * sum_abs_r_;
  return (bound + 2.0 * g * magnitudes / count_m) * (1.0 + 2.0 * g);
}

}  // namespace varkel
