// Scores summed over data groups; see group_scorer.h.
#include "group_scorer.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace varkel {

GroupScorer::GroupScorer(const std::vector<DataGroup>& groups, int n_vars, ResidualSort sort) {
  scorers_.reserve(groups.size());
  bounds_.reserve(groups.size());
  for (const DataGroup& group : groups) {
    scorers_.emplace_back(group.X, group.C, group.R, group.n_samples, n_vars, sort,
                          group.column_stride);
    bounds_.emplace_back(group.R, group.n_samples);
    offsets_.push_back(stride_);
    stride_ += scorers_.back().stride();
  }
}

hwy::AlignedFreeUniquePtr<double[]> GroupScorer::make_scratch(size_t count) const {
  return allocate_zeroed(count * stride_);
}

template <class GroupValue>
double GroupScorer::sum_over_groups(GroupValue&& value) const noexcept {
  // Group 0's value itself, not 0.0 + it, so that one group keeps every bit
  // (a -0.0 or a NaN's payload included); then the others in group order.
  double total = value(size_t{0});
  for (size_t g = 1; g < scorers_.size(); ++g) total += value(g);
  return total;
}

double GroupScorer::score(int target, uint32_t parents, double* z) const noexcept {
  return sum_over_groups([&](size_t g) { return scorers_[g].score(target, parents, z); });
}

void GroupScorer::regress_subset(uint32_t mask, CandidateRegressions* out) const noexcept {
  for (size_t g = 0; g < scorers_.size(); ++g) scorers_[g].regress_subset(mask, out + g);
}

double GroupScorer::score_candidate(const CandidateRegressions* regressions, int j,
                                    double* z) const noexcept {
  return sum_over_groups(
      [&](size_t g) { return scorers_[g].score_candidate(regressions[g], j, z); });
}

void GroupScorer::unscaled_residuals(const CandidateRegressions* regressions, const int* targets,
                                     int count, double* z, double* sds, bool* ok) const noexcept {
  for (int t = 0; t < count; ++t) ok[targets[t]] = true;
  bool group_ok[kMaxRows];
  for (size_t g = 0; g < scorers_.size(); ++g) {
    scorers_[g].candidates_unscaled_residuals(regressions[g], targets, count, z + offsets_[g],
                                              stride_, sds + g, scorers_.size(), group_ok);
    for (int t = 0; t < count; ++t) ok[targets[t]] = ok[targets[t]] && group_ok[targets[t]];
  }
}

void GroupScorer::standardize(double* z, const double* sds) const noexcept {
  for (size_t g = 0; g < scorers_.size(); ++g) scorers_[g].standardize(z + offsets_[g], sds[g]);
}

double GroupScorer::sorted_score(double* z) const noexcept {
  return sum_over_groups([&](size_t g) { return scorers_[g].sorted_score(z + offsets_[g]); });
}

double GroupScorer::upper(const double* z, const double* sds) const noexcept {
  return sum_over_groups(
      [&](size_t g) { return bounds_[g].upper(z + offsets_[g], sds[g]); });
}

uint64_t GroupScorer::column_bytes(const std::vector<int>& group_samples, int n_vars) {
  uint64_t bytes = 0;
  for (const int samples : group_samples) bytes += ColumnScorer::column_bytes(samples, n_vars);
  return bytes;
}

uint64_t GroupScorer::scratch_bytes(const std::vector<int>& group_samples) {
  uint64_t bytes = 0;
  for (const int samples : group_samples) bytes += ColumnScorer::scratch_bytes(samples);
  return bytes;
}

}  // namespace varkel
