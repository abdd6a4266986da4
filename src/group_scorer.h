// The score of a candidate over one or more data groups that share a causal
// order: the sum, in double precision and in group order, of the engine's
// score in each group (ColumnScorer), each group with its own data, Gram
// matrix, reference vector and number of samples. With one group every
// number is that group's score, bit for bit.
#ifndef VARKEL_GROUP_SCORER_H_
#define VARKEL_GROUP_SCORER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "column_scorer.h"
#include "hwy/aligned_allocator.h"
#include "score_bound.h"
#include "sorts.h"

namespace varkel {

// X is read only while a scorer copies it, unless it is already in the
// scorer's layout; C and R are borrowed for the scorer's life.
struct DataGroup {
  const double* X;  // n_samples x n_vars, row-major; or see column_stride
  const double* C;  // n_vars x n_vars
  const double* R;  // n_samples
  int n_samples;
  // 0: X is row-major and the scorer copies it. Otherwise X is already in
  // the scorer's column-major layout (ColumnScorer::padded_stride(n_samples)
  // doubles per column) and is borrowed for the scorer's life.
  size_t column_stride = 0;
};

class GroupScorer {
 public:
  // Copies every group's X unless it is in the column layout (see
  // ColumnScorer); C and R stay borrowed.
  // Precondition: at least one group.
  GroupScorer(const std::vector<DataGroup>& groups, int n_vars, ResidualSort sort);

  size_t groups() const { return scorers_.size(); }

  // Doubles of one candidate's residuals in every group, the groups' padded
  // columns end to end (each a multiple of the vector alignment).
  size_t stride() const { return stride_; }

  // A zeroed, aligned scratch area of `count` buffers of stride() doubles.
  hwy::AlignedFreeUniquePtr<double[]> make_scratch(size_t count) const;

  // The summed score of `target` given `parents`, or NaN; z: one buffer.
  double score(int target, uint32_t parents, double* z) const noexcept;

  // The regressions of every member of `mask` as a candidate sink, in each
  // group: `out` holds groups() entries. Then candidate j's summed score.
  void regress_subset(uint32_t mask, CandidateRegressions* out) const noexcept;
  double score_candidate(const CandidateRegressions* regressions, int j,
                         double* z) const noexcept;

  // score_candidate in steps, for the pruned search (see ColumnScorer): for
  // the `count` candidates in `targets` (positions) at once, every group's
  // residuals of candidate j = targets[t] into buffer t, at
  // z + t * stride(), and their standard deviations into sds + j * groups(),
  // the division put off;
  // ok[j] false when the sum is NaN without sorting. Then, for a candidate
  // worth sorting, standardize and sorted_score on its buffer and sds give
  // score_candidate's number.
  void unscaled_residuals(const CandidateRegressions* regressions, const int* targets, int count,
                          double* z, double* sds, bool* ok) const noexcept;
  void standardize(double* z, const double* sds) const noexcept;
  double sorted_score(double* z) const noexcept;

  // An upper bound on what standardize then sorted_score would give, from
  // unscaled_residuals' z and sds: the groups' bounds summed in the same
  // order (addition being monotone, the sum of bounds bounds the sum).
  double upper(const double* z, const double* sds) const noexcept;

  // Bytes of the copies of X, and of one scratch buffer.
  static uint64_t column_bytes(const std::vector<int>& group_samples, int n_vars);
  static uint64_t scratch_bytes(const std::vector<int>& group_samples);

 private:
  // value(0) + value(1) + ... in double, left to right: the one rule by
  // which every per-group number is combined.
  template <class GroupValue>
  double sum_over_groups(GroupValue&& value) const noexcept;

  std::vector<ColumnScorer> scorers_;
  std::vector<ScoreBound> bounds_;
  std::vector<size_t> offsets_;  // group g's residuals start at z + offsets_[g]
  size_t stride_ = 0;
};

}  // namespace varkel

#endif  // VARKEL_GROUP_SCORER_H_
