// The target score in its row-major form, and the regression steps that both
// search modules share. See score.h.
#include "score.h"

#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <new>

#include "kernels.h"
#include "sorts.h"

namespace varkel {

namespace {
// Position of entry (row, col), col <= row, in the packed lower triangle.
inline int packed_index(int row, int col) { return row * (row + 1) / 2 + col; }
}  // namespace

int popcount(int mask) noexcept {
  int count = 0;
  while (mask != 0) {
    count += mask & 1;
    mask >>= 1;
  }
  return count;
}

int build_system(const double* C, int n_vars, int target, int mask, double* packed,
                 int* idx) noexcept {
  int k = 0;
  double* row = packed;
  // Rows of the parents in ascending order: the row of the higher-indexed
  // parent, the column of the lower one, then the parent's diagonal.
  for (int j = 0; j < n_vars; ++j) {
    if (((mask >> j) & 1) == 0) continue;
    const double* c_row = C + j * n_vars;
    for (int c = 0; c < k; ++c) *row++ = c_row[idx[c]];
    *row++ = c_row[j];
    idx[k++] = j;
  }
  // The target's row always comes from row `target` of C.
  const double* t_row = C + target * n_vars;
  for (int c = 0; c < k; ++c) *row++ = t_row[idx[c]];
  *row = t_row[target];
  return k;
}

double cholesky(double* packed, int k) noexcept {
  for (int i = 0; i <= k; ++i) {
    double* row_i = packed + packed_index(i, 0);
    for (int j = 0; j < i; ++j) {
      const double* row_j = packed + packed_index(j, 0);
      double v = row_i[j];
      for (int c = 0; c < j; ++c) v = v - row_j[c] * row_i[c];
      row_i[j] = v / row_j[j];
    }
    double d = row_i[i];
    for (int c = 0; c < i; ++c) d = d - row_i[c] * row_i[c];
    // No tolerance: any positive pivot is accepted. A NaN pivot fails this
    // test, and its NaN flows on into the result.
    if (d <= 0.0) return std::numeric_limits<double>::quiet_NaN();
    row_i[i] = std::sqrt(d);
  }
  const double last = packed[packed_index(k, k)];
  return last * last;
}

void solve_coefficients(const double* packed, int k, double* beta) noexcept {
  const double* target_row = packed + packed_index(k, 0);
  for (int c = 0; c < k; ++c) beta[c] = target_row[c];
  for (int r = k - 1; r >= 0; --r) {
    double v = beta[r];
    for (int i = r + 1; i < k; ++i) v = v - packed[packed_index(i, r)] * beta[i];
    beta[r] = v / packed[packed_index(r, r)];
  }
}

double regress(const double* C, int n_vars, int target, int mask, int* idx, double* beta,
               int* k) noexcept {
  double packed[kPackedCapacity];
  *k = build_system(C, n_vars, target, mask, packed, idx);
  const double rss = cholesky(packed, *k);
  if (!std::isnan(rss)) solve_coefficients(packed, *k, beta);
  return rss;
}

void compute_residuals(const double* X, int n_samples, int n_vars, int target, int mask,
                       const double* beta, double* residuals) noexcept {
  for (int s = 0; s < n_samples; ++s) {
    const double* x_row = X + s * n_vars;
    double e = x_row[target];
    int c = 0;
    for (int j = 0; j < n_vars; ++j) {
      if (((mask >> j) & 1) == 0) continue;
      e = e - x_row[j] * beta[c];
      ++c;
    }
    residuals[s] = e;
  }
}

// Preconditions: n_vars <= 32 and bit `target` of mask clear (at most 31
// parents); X holds fewer than 2^31 elements; residuals has room for
// n_samples doubles.
double score_with_buffer(const double* X, const double* C, const double* R, int n_samples,
                         int n_vars, int target, int mask, double* residuals) noexcept {
  int idx[kMaxRows];
  double beta[kMaxRows];
  int k = 0;
  const double rss = regress(C, n_vars, target, mask, idx, beta, &k);
  if (std::isnan(rss)) return rss;
  // With no samples the mean of zero squared differences is 0 / 0.
  if (n_samples <= 0) return std::numeric_limits<double>::quiet_NaN();
  compute_residuals(X, n_samples, n_vars, target, mask, beta, residuals);
  const double count = static_cast<double>(n_samples);
  const double sd = std::sqrt(rss / count);
  // A true division per element, not a multiplication by 1 / sd.
  for (int s = 0; s < n_samples; ++s) residuals[s] = residuals[s] / sd;
  sort_values(residuals, static_cast<unsigned long>(n_samples));
  return sum_squared_differences(residuals, R, n_samples) / count;
}

double score(const double* X, const double* C, const double* R, int n_samples, int n_vars,
             int target, int mask) noexcept {
  std::unique_ptr<double[]> residuals;
  if (n_samples > 0) {
    residuals.reset(new (std::nothrow) double[static_cast<size_t>(n_samples)]);
    if (!residuals) return std::numeric_limits<double>::quiet_NaN();
  }
  return score_with_buffer(X, C, R, n_samples, n_vars, target, mask, residuals.get());
}

}  // namespace varkel
