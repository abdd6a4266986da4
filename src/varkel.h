// Internal interface of the exhaustive ordering search.
//
// Everything here is a plain free function on raw pointers and 32-bit sizes;
// nothing in the numeric core sees a Python type. The binding and the subset
// search live in _exhaustive_kernel.cpp, the squared-difference kernel in
// _exhaustive_score.cpp, the sort in _exhaustive_sort.cpp and the choice
// between djbsort's sorts in _djbsort_dispatch.cpp.
#ifndef VARKEL_VARKEL_H_
#define VARKEL_VARKEL_H_

#include <cstdint>

namespace varkel {

// Largest number of variables a search accepts: 2^30 subsets still fit the
// signed 32-bit subset masks, and the score's fixed scratch holds 32 rows.
constexpr int kMaxVars = 30;

// Number of set bits of a non-negative subset mask.
int popcount(int mask) noexcept;

// Fills `packed` (row-major packed lower triangle of k + 1 rows) with the
// parents' block of C and the target's row, and idx[0..k-1] with the parents
// in ascending order. Returns k, the number of parents.
int build_system(const double* C, int n_vars, int target, int mask, double* packed,
                 int* idx) noexcept;

// Cholesky-Banachiewicz factorisation of the packed system, in place.
// Returns L(k,k)^2, the residual sum of squares, or NaN on a pivot <= 0.
double cholesky(double* packed, int k) noexcept;

// Back-substitution with the parents' block of the factor; beta[c] belongs to
// the c-th parent in ascending order.
void solve_coefficients(const double* packed, int k, double* beta) noexcept;

// residuals[s] = X[s, target] - sum over parents of X[s, parent] * beta.
void compute_residuals(const double* X, int n_samples, int n_vars, int target, int mask,
                       const double* beta, double* residuals) noexcept;

// Score of `target` with the parent set `mask`, using `residuals` (room for
// n_samples doubles) as scratch. NaN when the regression breaks down.
double score_with_buffer(const double* X, const double* C, const double* R, int n_samples,
                         int n_vars, int target, int mask, double* residuals) noexcept;

// As score_with_buffer, with a scratch buffer of its own. NaN also when that
// buffer cannot be allocated.
double score(const double* X, const double* C, const double* R, int n_samples, int n_vars,
             int target, int mask) noexcept;

// Ascending in-place sort by djbsort's float64 key (a total order on bits).
void sort_values(double* values, unsigned long n) noexcept;

// Sum over i < n of (a[i] - b[i])^2 in the arithmetic of the best supported
// instruction-set target; +0.0 for n <= 0.
double sum_squared_differences(const double* a, const double* b, int n) noexcept;

// The kernel of one compiled target, named by its Highway target bit, for
// tests and benchmarks. Returns false (and leaves *result alone) when the
// target is not compiled. Precondition: the processor supports the target.
bool sum_squared_differences_for_target(int64_t target, const double* a, const double* b,
                                        int n, double* result) noexcept;

// Bits of the targets the kernel is compiled for.
int64_t compiled_kernel_targets() noexcept;

}  // namespace varkel

extern "C" {
// The module's own selector in front of djbsort's two float64 sorts: AVX2 when
// the processor has it, the portable form otherwise, decided on every call.
void djbsort_float64(double* x, long long n);
// djbsort's implementations, under the names the private copy of its library
// gives them.
void djbsort_float64_avx2(double* x, long long n);
void djbsort_float64_portable(double* x, long long n);
}

#endif  // VARKEL_VARKEL_H_
