// The vector kernels of the score, each compiled for several x86-64
// instruction-set targets and chosen at run time by Highway's dispatch.
#ifndef VARKEL_KERNELS_H_
#define VARKEL_KERNELS_H_

#include <cstddef>
#include <cstdint>

namespace varkel {

// Sum over i < n of (a[i] - b[i])^2 in the arithmetic of the best supported
// instruction-set target; +0.0 for n <= 0. The target decides the last bits:
// see kernel_sum_squares.cpp.
double sum_squared_differences(const double* a, const double* b, int n) noexcept;

// The kernel of one compiled target, named by its Highway target bit, for
// tests and benchmarks. Returns false (and leaves *result alone) when the
// target is not compiled. Precondition: the processor supports the target.
bool sum_squared_differences_for_target(int64_t target, const double* a, const double* b,
                                        int n, double* result) noexcept;

// Bits of the targets the squared-difference kernel is compiled for.
int64_t compiled_kernel_targets() noexcept;

// Samples are padded to a multiple of this many doubles in column-major
// copies of X, so that the residual kernel loads whole aligned vectors; the
// columns start on a multiple of kColumnBytes (64: one 512-bit vector).
constexpr size_t kColumnAlignment = 8;
constexpr size_t kColumnBytes = kColumnAlignment * sizeof(double);

// Standardised residuals from a column-major copy of X, one sample per lane:
//   z[s] = (X[s, target] - X[s, p_0] * beta[0] - ... - X[s, p_(k-1)] * beta[k-1]) / sd
// with each product rounded before its subtraction, parents in ascending
// order and a true division: per sample exactly the operations of the
// row-major residuals followed by the division by sd.
// Returns true when any of z[0 .. n_samples-1] is NaN.
// Preconditions: columns is 64-byte aligned, column j starts at j * stride,
// stride is a multiple of kColumnAlignment and at least n_samples, and the
// padding rows hold finite values; z is 64-byte aligned with room for
// stride doubles (entries past n_samples, up to the next whole vector, are
// overwritten with the padding rows' values).
bool standardized_residuals(const double* columns, size_t stride, int n_samples, int target,
                            const int* parents, const double* beta, int k, double sd,
                            double* z) noexcept;

// standardized_residuals in two steps, with the same bits, for several
// candidate sinks of one subset at once: their residuals before the division
// (candidate_residuals), then z = e / sd in place (divide_residuals, which
// returns true when any of its first n_samples results is NaN; z 64-byte
// aligned with room for whole vectors past n_samples, which are divided too).
//
// candidate_residuals reads each member's column once per vector of samples.
// members: the subset's k variables, ascending; candidate j (a position in
// members) has as parents the other members, ascending, with coefficients
// beta[j * kMaxRows + c] (kMaxRows from score.h). For each of the `count`
// positions j = targets[t], the residuals go to buffer slots[t], at
// out + slots[t] * out_stride, and nan[j] says whether any of the first
// n_samples is NaN. Preconditions: as standardized_residuals, with out and
// out_stride 64-byte aligned; k <= 32; distinct targets and distinct slots.
void candidate_residuals(const double* columns, size_t stride, int n_samples, const int* members,
                         int k, const double* beta, const int* targets, const int* slots,
                         int count, double* out, size_t out_stride, bool* nan) noexcept;
bool divide_residuals(double* z, int n_samples, double sd) noexcept;

// The regressions of all candidate sinks of one subset, one candidate per
// vector lane. The subset has members m_0 < ... < m_(k-1), and
// M[a * k + b] = C[m_a * n_vars + m_b]. Candidate j has target m_j and
// parents m_0 .. m_(k-1) without m_j, in that order. For each j, rss[j]
// receives what cholesky returns for that candidate's system (NaN on
// breakdown) and beta[j * beta_stride + c] what solve_coefficients gives
// (meaningless where rss[j] is NaN): bit-identical to regress().
// Preconditions: 1 <= k <= 30; rss has room for k doubles, beta for
// k * beta_stride, and beta_stride >= k - 1.
void regress_candidates(const double* M, int k, double* rss, double* beta,
                        size_t beta_stride) noexcept;

// The score bound's first pass (score_bound.h), on the values v[i] =
// e[i] * factor: blocks[i] = trunc(min(max((v[i] - low) * scale, 0), top))
// for i < n, with unfused operations; returns sum v^2, in any order.
// Preconditions: e NaN-free; blocks has room for n entries.
double bound_blocks(const double* e, double factor, int n, double low, double scale,
                    double top, int32_t* blocks) noexcept;

// Its second pass: sum of v[i] * mean[blocks[i]] (v as above), in any
// order. Precondition: every blocks[i] indexes mean.
double bound_cross(const double* e, double factor, const int32_t* blocks, int n,
                   const double* mean) noexcept;

}  // namespace varkel

#endif  // VARKEL_KERNELS_H_
