// A cheap, rigorous upper bound on a candidate's score, so that a candidate
// that cannot win its subset is never sorted.
//
// The score is (1/m) sum_i (z_(i) - R_i)^2 over the sorted residuals z_(i):
// (sum z^2 + sum R^2 - 2 C) / m with the cross term C = sum_i z_(i) R_i.
// Pairing z with R in sorted order gives the largest C (the rearrangement
// inequality), so any other pairing, or average of pairings, gives a smaller
// C and so an upper bound on the score. The bound cuts the value range into
// a number of intervals of equal width (about one per 8 samples) (the block of a value is a monotone
// function of it, so the blocks hold consecutive runs of the sorted
// residuals) and averages over all pairings within each block: a block with
// c residuals at sorted positions [p, p + c) contributes (sum of its
// residuals) x (mean of R over [p, p + c)). Then
//   C >= C_low = sum_i z_i * mean_R(block of z_i).
// One pass counts the blocks, a second sums z_i * mean; no sort.
//
// Rounding: upper() adds a margin that covers the rounding of its own sums,
// of the prefix sums of R, and of the engine's score (the squared
// differences, their sum in any order, and the division by m): every one of
// them is within g = (m + blocks + 16) * 2^-52 of the exact value relative
// to the sum of the magnitudes involved (Higham's gamma bounds, with room to
// spare), so the double it returns is never below the double the engine
// computes for the same residuals.
#ifndef VARKEL_SCORE_BOUND_H_
#define VARKEL_SCORE_BOUND_H_

#include <cstdint>
#include <vector>

namespace varkel {

class ScoreBound {
 public:
  // At most this many blocks: about one per 8 samples, at least 16. More
  // blocks bound tighter and cost more per candidate; this balance was set
  // by measurement (bench/engine.py).
  static constexpr int kMaxBlocks = 256;

  // R: the m sorted reference values (borrowed; must outlive the bound).
  // prefix_step: keep every prefix_step-th running sum of R; 0 chooses (see
  // kAllPrefixes). Any step gives the same bits.
  ScoreBound(const double* R, int n_samples, int prefix_step = 0);

  // An upper bound on the engine's score of the standardised residuals
  // z = e / sd, each divided exactly, from the residuals e[0 .. m-1] before
  // their division (in any order), without dividing: the bound works on
  // e * (1 / sd) and allows for the difference. Preconditions: no e is NaN
  // (the engine's score is NaN then, and is not bounded here); sd is finite
  // and positive.
  double upper(const double* e, double sd) const noexcept;

  // Samples whose blocks one step of upper() holds at once (on the stack).
  static constexpr int kChunk = 4096;

 private:
  // R[0] + ... + R[p - 1], summed left to right: continued from the
  // nearest kept sum below p, so the bits are those of one running sum.
  double prefix(int p) const noexcept;

  // Above this many samples only every kPrefixStep-th running sum is kept
  // (a bound then adds at most kPrefixStep - 1 values per block, little
  // beside its passes over the data); below, every one.
  static constexpr int kAllPrefixes = 1 << 16;
  static constexpr int kPrefixStep = 64;

  const double* R_;
  int n_samples_;
  int prefix_step_ = 1;
  std::vector<double> prefixes_;  // prefixes_[q] = prefix(q * prefix_step_)
  double sum_r2_ = 0.0;         // sum of R^2
  double sum_abs_r_ = 0.0;      // sum of |R|
  double largest_r_ = 0.0;      // max |R|
  int blocks_ = 16;             // how many blocks this sample size uses
  double low_ = 0.0;            // the blocks cover [low_, -low_] in equal widths
  double scale_ = 0.0;          // blocks per unit
};

}  // namespace varkel

#endif  // VARKEL_SCORE_BOUND_H_
