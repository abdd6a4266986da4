// The engine's score: the same numbers as score_with_buffer, computed from a
// column-major, vector-aligned copy of X with the residual kernel, and sorted
// with the sort the engine decided on.
#ifndef VARKEL_COLUMN_SCORER_H_
#define VARKEL_COLUMN_SCORER_H_

#include <cstddef>
#include <cstdint>

#include "hwy/aligned_allocator.h"
#include "score.h"
#include "sorts.h"

namespace varkel {

// `count` zeroed doubles, vector-aligned; at least one, so that an empty
// problem still gets a valid pointer. Throws std::bad_alloc.
hwy::AlignedFreeUniquePtr<double[]> allocate_zeroed(size_t count);

// The regressions of every candidate sink of one subset (see
// regress_candidates): candidate j is the j-th member in ascending order.
struct CandidateRegressions {
  int k;
  int members[kMaxRows];
  double rss[kMaxRows];
  double beta[kMaxRows * kMaxRows];  // candidate j's at j * kMaxRows
};

class ColumnScorer {
 public:
  // With column_stride 0, copies X (n_samples x n_vars, row-major) into
  // zero-padded columns; throws std::bad_alloc when the copy cannot be
  // allocated. Otherwise X is already that layout and is borrowed: column j
  // at X + j * column_stride, column_stride == padded_stride(n_samples), X
  // 64-byte aligned and the padding rows finite (std::invalid_argument
  // when the stride or the alignment is not). C and R are borrowed; all
  // borrowed arrays must outlive the scorer.
  ColumnScorer(const double* X, const double* C, const double* R, int n_samples, int n_vars,
               ResidualSort sort, size_t column_stride = 0);

  // Doubles per column in the scorer's layout: n_samples rounded up to a
  // multiple of kColumnAlignment.
  static size_t padded_stride(int n_samples);

  // Doubles in one column, and in one scratch buffer of score().
  size_t stride() const { return stride_; }

  // A zeroed, aligned scratch area of `count` buffers of stride() doubles.
  hwy::AlignedFreeUniquePtr<double[]> make_scratch(size_t count) const;

  // The score of `target` given the parent set `parents`, bit-identical to
  // score_with_buffer on the row-major X, or NaN. `z` is one scratch buffer.
  // Preconditions: target < n_vars, parents < 2^n_vars without the target.
  double score(int target, uint32_t parents, double* z) const noexcept;

  // The regressions of all members of `mask` as candidate sinks, computed
  // together; then the score of candidate j from them, bit-identical to
  // score(members[j], mask without members[j], z).
  void regress_subset(uint32_t mask, CandidateRegressions* out) const noexcept;
  double score_candidate(const CandidateRegressions& regressions, int j,
                         double* z) const noexcept;

  // score_candidate in steps, for callers that bound a score before
  // deciding to sort, and so may never need the division: for the `count`
  // candidates in `targets` (positions) at once, each member's column read
  // once for all of them, candidate j = targets[t]'s residuals into buffer
  // t, at z + t * z_stride (64-byte aligned), and their standard deviation
  // into sds[j * sd_stride]; ok[j] is false when the score is NaN without
  // sorting (a NaN regression or residual, or no samples). Where the
  // division could give NaN from NaN-free residuals (sd not finite and
  // positive) it is done here, and the sd is 1. Then standardize(z, sd)
  // gives score_candidate's standardised residuals, and sorted_score
  // (sorting z in place) its score.
  void candidates_unscaled_residuals(const CandidateRegressions& regressions, const int* targets,
                                     int count, double* z, size_t z_stride, double* sds,
                                     size_t sd_stride, bool* ok) const noexcept;
  void standardize(double* z, double sd) const noexcept;
  double sorted_score(double* z) const noexcept;

  // Bytes a scorer of this shape allocates for its copy of X, and per
  // scratch buffer.
  static uint64_t column_bytes(int n_samples, int n_vars);
  static uint64_t scratch_bytes(int n_samples);

 private:
  // Candidate j's parents (the other members, ascending) into `parents`;
  // returns how many.
  static int candidate_parents(const CandidateRegressions& regressions, int j, int* parents);
  // Residuals, sort and sum of a score whose regression gave rss and beta.
  double finish(int target, const int* parents, const double* beta, int k, double rss,
                double* z) const noexcept;
  // After a candidate's residuals e (NaN-free unless `nan`) and rss: its sd
  // into *sd, or e divided now and *sd = 1 where the division could give NaN
  // (sd not finite and positive); false when the score is NaN.
  bool settle_deviation(double* e, double rss, bool nan, double* sd) const noexcept;
  // The residuals step of finish(); false when the score is NaN.
  bool residuals(int target, const int* parents, const double* beta, int k, double rss,
                 double* z) const noexcept;

  const double* C_;
  const double* R_;
  int n_samples_;
  int n_vars_;
  size_t stride_;
  ResidualSort sort_;
  hwy::AlignedFreeUniquePtr<double[]> copy_;  // empty when X is borrowed
  const double* columns_;                      // the copy, or the borrowed X
};

}  // namespace varkel

#endif  // VARKEL_COLUMN_SCORER_H_
