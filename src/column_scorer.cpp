// The engine's score from column-major data; see column_scorer.h.
#include "column_scorer.h"

#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

#include "kernels.h"
#include "score.h"

namespace varkel {

hwy::AlignedFreeUniquePtr<double[]> allocate_zeroed(size_t count) {
  auto buffer = hwy::AllocateAligned<double>(count > 0 ? count : 1);
  if (!buffer) throw std::bad_alloc();
  for (size_t i = 0; i < (count > 0 ? count : 1); ++i) buffer[i] = 0.0;
  return buffer;
}

size_t ColumnScorer::padded_stride(int n_samples) {
  const size_t n = static_cast<size_t>(n_samples > 0 ? n_samples : 0);
  return (n + kColumnAlignment - 1) / kColumnAlignment * kColumnAlignment;
}

ColumnScorer::ColumnScorer(const double* X, const double* C, const double* R, int n_samples,
                           int n_vars, ResidualSort sort, size_t column_stride)
    : C_(C),
      R_(R),
      n_samples_(n_samples),
      n_vars_(n_vars),
      stride_(padded_stride(n_samples)),
      sort_(sort),
      columns_(X) {
  if (column_stride != 0) {
    if (column_stride != stride_ || reinterpret_cast<uintptr_t>(X) % kColumnBytes != 0) {
      throw std::invalid_argument("borrowed columns must be 64-byte aligned, " +
                                  std::to_string(stride_) + " doubles apart");
    }
    return;
  }
  copy_ = allocate_zeroed(stride_ * static_cast<size_t>(n_vars));
  const size_t vars = static_cast<size_t>(n_vars);
  for (size_t s = 0; s < static_cast<size_t>(n_samples); ++s) {
    for (size_t j = 0; j < vars; ++j) copy_[j * stride_ + s] = X[s * vars + j];
  }
  columns_ = copy_.get();
}

hwy::AlignedFreeUniquePtr<double[]> ColumnScorer::make_scratch(size_t count) const {
  return allocate_zeroed(count * stride_);
}

uint64_t ColumnScorer::column_bytes(int n_samples, int n_vars) {
  return uint64_t{8} * padded_stride(n_samples) * static_cast<uint64_t>(n_vars);
}

uint64_t ColumnScorer::scratch_bytes(int n_samples) { return uint64_t{8} * padded_stride(n_samples); }

double ColumnScorer::score(int target, uint32_t parents, double* z) const noexcept {
  int idx[kMaxRows];
  double beta[kMaxRows];
  int k = 0;
  const double rss = regress(C_, n_vars_, target, static_cast<int>(parents), idx, beta, &k);
  return finish(target, idx, beta, k, rss, z);
}

void ColumnScorer::regress_subset(uint32_t mask, CandidateRegressions* out) const noexcept {
  int k = 0;
  for (uint32_t rest = mask; rest != 0; rest &= rest - 1) out->members[k++] = __builtin_ctz(rest);
  out->k = k;
  double M[kMaxRows * kMaxRows];
  for (int a = 0; a < k; ++a) {
    const double* row = C_ + static_cast<size_t>(out->members[a]) * n_vars_;
    for (int b = 0; b < k; ++b) M[a * k + b] = row[out->members[b]];
  }
  regress_candidates(M, k, out->rss, out->beta, kMaxRows);
}

int ColumnScorer::candidate_parents(const CandidateRegressions& regressions, int j,
                                    int* parents) {
  int k = 0;
  for (int m = 0; m < regressions.k; ++m) {
    if (m != j) parents[k++] = regressions.members[m];
  }
  return k;
}

double ColumnScorer::score_candidate(const CandidateRegressions& regressions, int j,
                                     double* z) const noexcept {
  int parents[kMaxRows];
  const int k = candidate_parents(regressions, j, parents);
  return finish(regressions.members[j], parents, regressions.beta + j * kMaxRows, k,
                regressions.rss[j], z);
}

double ColumnScorer::finish(int target, const int* parents, const double* beta, int k,
                            double rss, double* z) const noexcept {
  if (std::isnan(rss)) return rss;
  return residuals(target, parents, beta, k, rss, z) ? sorted_score(z)
                                                     : std::numeric_limits<double>::quiet_NaN();
}

bool ColumnScorer::residuals(int target, const int* parents, const double* beta, int k,
                             double rss, double* z) const noexcept {
  if (std::isnan(rss) || n_samples_ <= 0) return false;
  const double count = static_cast<double>(n_samples_);
  const double sd = std::sqrt(rss / count);
  // A NaN residual makes the reference's sum NaN wherever it sorts; the
  // engine's sorts need NaN-free input, so the score is NaN right here.
  return !standardized_residuals(columns_, stride_, n_samples_, target, parents, beta, k,
                                 sd, z);
}

void ColumnScorer::candidates_unscaled_residuals(const CandidateRegressions& regressions,
                                                 const int* targets, int count, double* z,
                                                 size_t z_stride, double* sds, size_t sd_stride,
                                                 bool* ok) const noexcept {
  int live[kMaxRows] = {};
  int live_slots[kMaxRows] = {};
  int n_live = 0;
  for (int t = 0; t < count; ++t) {
    const int j = targets[t];
    ok[j] = false;
    if (!std::isnan(regressions.rss[j]) && n_samples_ > 0) {
      live[n_live] = j;
      live_slots[n_live++] = t;
    }
  }
  bool nan[kMaxRows] = {};
  candidate_residuals(columns_, stride_, n_samples_, regressions.members, regressions.k,
                      regressions.beta, live, live_slots, n_live, z, z_stride, nan);
  for (int t = 0; t < n_live; ++t) {
    const int j = live[t];
    ok[j] = settle_deviation(z + live_slots[t] * z_stride, regressions.rss[j], nan[j],
                             sds + j * sd_stride);
  }
}

bool ColumnScorer::settle_deviation(double* e, double rss, bool nan, double* sd) const noexcept {
  if (nan) return false;  // a NaN residual stays NaN when divided
  *sd = std::sqrt(rss / static_cast<double>(n_samples_));
  // A finite positive sd divides NaN-free values into NaN-free values;
  // any other may not, so that division is done now.
  if (*sd > 0.0 && *sd <= std::numeric_limits<double>::max()) return true;
  const bool divided_nan = divide_residuals(e, n_samples_, *sd);
  *sd = 1.0;
  return !divided_nan;
}

void ColumnScorer::standardize(double* z, double sd) const noexcept {
  // Dividing by 1 changes nothing (and is how a done division is marked).
  if (sd != 1.0) divide_residuals(z, n_samples_, sd);
}

double ColumnScorer::sorted_score(double* z) const noexcept {
  const double count = static_cast<double>(n_samples_);
  sort_(z, static_cast<unsigned long>(n_samples_));
  return sum_squared_differences(z, R_, n_samples_) / count;
}

}  // namespace varkel
