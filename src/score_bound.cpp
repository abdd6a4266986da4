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

ScoreBound::ScoreBound(const double* R, int n_samples, int prefix_step)
    : R_(R),
      n_samples_(n_samples),
      prefix_step_(prefix_step > 0 ? prefix_step : n_samples > kAllPrefixes ? kPrefixStep : 1) {
  prefixes_.reserve(static_cast<size_t>(std::max(n_samples, 0) / prefix_step_) + 1);
  double running = 0.0;
  for (int i = 0; i < n_samples; ++i) {
    if (i % prefix_step_ == 0) prefixes_.push_back(running);
    running += R[i];
    sum_r2_ += R[i] * R[i];
    sum_abs_r_ += std::fabs(R[i]);
    largest_r_ = std::max(largest_r_, std::fabs(R[i]));
  }
  if (std::max(n_samples, 0) % prefix_step_ == 0) prefixes_.push_back(running);
  blocks_ = std::clamp(n_samples / 8, 16, kMaxBlocks);
  low_ = -kSpan;
  scale_ = blocks_ / (2.0 * kSpan);
}

double ScoreBound::prefix(int p) const noexcept {
  const int kept = p / prefix_step_;
  double sum = prefixes_[static_cast<size_t>(kept)];
  for (int i = kept * prefix_step_; i < p; ++i) sum += R_[i];
  return sum;
}

double ScoreBound::upper(const double* e, double sd) const noexcept {
  const int m = n_samples_;
  if (m <= 0) return std::numeric_limits<double>::infinity();
  // Pass one: each value's block and sum v^2, for v = e * (1 / sd). A
  // reciprocal that overflows (a subnormal sd) is not bounded. The values
  // go in chunks through a block table on the stack, so that a bound needs
  // no buffer the size of the data.
  const double factor = 1.0 / sd;
  if (!(factor <= std::numeric_limits<double>::max())) {
    return std::numeric_limits<double>::infinity();
  }
  const double top = blocks_ - 0.5;
  int32_t blocks[kChunk];
  // The blocks' counts (four interleaved tables, so that neighbours in one
  // block do not wait on each other).
  int count[4][kMaxBlocks];
  for (auto& table : count) std::fill(table, table + blocks_, 0);
  double squares = 0.0;
  for (int first = 0; first < m; first += kChunk) {
    const int size = std::min(kChunk, m - first);
    squares += bound_blocks(e + first, factor, size, low_, scale_, top, blocks);
    int i = 0;
    for (; i + 3 < size; i += 4) {
      ++count[0][blocks[i]];
      ++count[1][blocks[i + 1]];
      ++count[2][blocks[i + 2]];
      ++count[3][blocks[i + 3]];
    }
    for (; i < size; ++i) ++count[0][blocks[i]];
  }
  if (!std::isfinite(squares)) return std::numeric_limits<double>::infinity();
  // The mean of R over the sorted positions [position, position + c) that
  // each block's values hold.
  // Each block's end is the next one's start: its running sum is found once.
  double mean[kMaxBlocks];
  double before = prefix(0);
  for (int b = 0, position = 0; b < blocks_; ++b) {
    const int c = count[0][b] + count[1][b] + count[2][b] + count[3][b];
    if (c == 0) {
      mean[b] = 0.0;
      continue;
    }
    position += c;
    const double after = prefix(position);
    // A product with 1 / c, not a division by c: the margin below is
    // worked out for the product. At most kMaxBlocks of these per bound.
    mean[b] = (after - before) * (1.0 / c);
    before = after;
  }
  // Pass two: the cross term's lower bound, sum v_i * mean(block of v_i);
  // each chunk's blocks found again by the same operations (one chunk's are
  // still in the table).
  double cross = 0.0;
  for (int first = 0; first < m; first += kChunk) {
    const int size = std::min(kChunk, m - first);
    if (m > kChunk) bound_blocks(e + first, factor, size, low_, scale_, top, blocks);
    cross += bound_cross(e + first, factor, blocks, size, mean);
  }
  const double count_m = static_cast<double>(m);
  const double bound = (squares + sum_r2_ - 2.0 * cross) / count_m;
  // Magnitudes, from sum v^2 alone (Cauchy-Schwarz): max |v| <= sqrt(sum
  // v^2), sum |v| <= sqrt(m sum v^2), and |v_i mean| <= |v_i| max|R|;
  // rounded up by a factor that covers the square roots' rounding.
  const double largest = std::sqrt(squares) * (1.0 + 0x1p-50);
  const double sum_abs = std::sqrt(count_m * squares) * (1.0 + 0x1p-50);
  // The rounding margin: g relative to every magnitude summed (the squares,
  // R^2, the cross terms), and the prefix sums' error, at most g * sum|R| in
  // each block's mean, times at most `largest` per value.
  const double g = (count_m + blocks_ + 16.0) * 0x1p-52;
  const double magnitudes = squares + sum_r2_ + 2.0 * largest_r_ * sum_abs +
                            4.0 * blocks_ * largest * sum_abs_r_;
  const double rounded = (bound + 2.0 * g * magnitudes / count_m) * (1.0 + 2.0 * g);
  // That bounds the score of v; the engine scores z = e / sd, divided
  // exactly. v_i = e_i (1/sd)(1 + t1)(1 + t2) and z_i = (e_i / sd)(1 + t3)
  // with |t| <= 2^-53 (or an absolute 2^-1075 when subnormal), so
  // |v_i - z_i| <= eps = 3.02 * 2^-53 max|v| + 2^-1073, and so are the
  // sorted vectors' entries apart (sorting is 1-Lipschitz in the max norm).
  // Then score(z) <= score(v) + (2 eps / m)(sum |v| + sum |R|) + eps^2,
  // doubled for the rounding of this sum and of z's own magnitudes.
  const double eps = 3.02 * 0x1p-53 * largest + 0x1p-1073;
  const double shift = 2.0 * (2.0 * eps * (sum_abs + sum_abs_r_) / count_m + eps * eps);
  return (rounded + shift) * (1.0 + 0x1p-50);
}

}  // namespace varkel
