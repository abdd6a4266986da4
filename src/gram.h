// The Gram matrix X^T X of the data, computed in a fixed order so that it is
// the same on every machine and for every thread count.
#ifndef VARKEL_GRAM_H_
#define VARKEL_GRAM_H_

namespace varkel {

// C[a * n_vars + b] = sum over samples s = 0, 1, ... in ascending order of
// X[s, a] * X[s, b], each product rounded before its addition; C is exactly
// symmetric. X is n_samples x n_vars, row-major.
void gram_matrix(const double* X, int n_samples, int n_vars, double* C) noexcept;

}  // namespace varkel

#endif  // VARKEL_GRAM_H_
