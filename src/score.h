// The score of one target variable given a parent set.
//
// Least squares through a packed Cholesky factorisation of the normal
// equations taken from the Gram matrix C, then the mean squared difference
// between the sorted standardised residuals and the reference vector R. The
// regression steps are shared by both search modules; the residual, sort and
// sum steps come in a row-major form here and in a column-major form in
// column_scorer.h. All arithmetic is plain IEEE double, one rounding per
// operation, in the order written. Nothing here sees a Python type.
#ifndef VARKEL_SCORE_H_
#define VARKEL_SCORE_H_

namespace varkel {

// Largest number of variables a search accepts: 2^30 subsets still fit the
// signed 32-bit subset masks, and the score's fixed scratch holds 32 rows.
constexpr int kMaxVars = 30;

// Fixed scratch of one score: up to 31 parents plus the target.
constexpr int kMaxRows = 32;
constexpr int kPackedCapacity = kMaxRows * (kMaxRows + 1) / 2;

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

// The regression of one score: builds and factorises the system, and when
// the factorisation succeeds solves for beta. Returns the residual sum of
// squares, NaN on breakdown (beta is then untouched). *k receives the number
// of parents and idx[0..k-1] the parents in ascending order.
double regress(const double* C, int n_vars, int target, int mask, int* idx, double* beta,
               int* k) noexcept;

// residuals[s] = X[s, target] - sum over parents of X[s, parent] * beta.
void compute_residuals(const double* X, int n_samples, int n_vars, int target, int mask,
                       const double* beta, double* residuals) noexcept;

// Score of `target` with the parent set `mask`, X row-major, using
// `residuals` (room for n_samples doubles) as scratch. NaN when the
// regression breaks down.
double score_with_buffer(const double* X, const double* C, const double* R, int n_samples,
                         int n_vars, int target, int mask, double* residuals) noexcept;

// As score_with_buffer, with a scratch buffer of its own. NaN also when that
// buffer cannot be allocated.
double score(const double* X, const double* C, const double* R, int n_samples, int n_vars,
             int target, int mask) noexcept;

}  // namespace varkel

#endif  // VARKEL_SCORE_H_
