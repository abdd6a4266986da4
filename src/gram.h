// The Gram matrix X^T X of the data, computed in a fixed order so that it is
// the same on every machine and for every thread count.
#ifndef VARKEL_GRAM_H_
#define VARKEL_GRAM_H_

#include <cstddef>

namespace varkel {

// C[a * n_vars + b] = sum over samples s = 0, 1, ... in ascending order of
// X[s, a] * X[s, b], each product rounded before its addition; C is exactly
// symmetric. X[s, a] is at X + s * sample_step + a * variable_step (in
// doubles): row-major data has steps (n_vars, 1), column-major (1, the
// column stride).
// The bits do not depend on the layout.
void gram_matrix(const double* X, int n_samples, int n_vars, ptrdiff_t sample_step,
                 ptrdiff_t variable_step, double* C) noexcept;

}  // namespace varkel

#endif  // VARKEL_GRAM_H_
