// The Gram matrix in a fixed summation order; see gram.h.
#include "gram.h"

#include <cstddef>

namespace varkel {

namespace {

// Row a of C accumulates the products of column a with columns 0..a, one
// sample at a time; each entry is its own running sum, so the loop over b
// may be vectorised without changing any entry's order of additions. A
// compile-time unit step keeps row-major data's loads contiguous.
template <bool kUnitStep>
void accumulate(const double* X, int n_samples, size_t n, ptrdiff_t sample_step,
                ptrdiff_t variable_step, double* C) noexcept {
  const ptrdiff_t step = kUnitStep ? 1 : variable_step;
  for (ptrdiff_t s = 0; s < static_cast<ptrdiff_t>(n_samples); ++s) {
    const double* row = X + s * sample_step;
    for (size_t a = 0; a < n; ++a) {
      const double x = row[static_cast<ptrdiff_t>(a) * step];
      double* c_row = C + a * n;
      for (size_t b = 0; b <= a; ++b) {
        c_row[b] = c_row[b] + x * row[static_cast<ptrdiff_t>(b) * step];
      }
    }
  }
}

}  // namespace

void gram_matrix(const double* X, int n_samples, int n_vars, ptrdiff_t sample_step,
                 ptrdiff_t variable_step, double* C) noexcept {
  const size_t n = static_cast<size_t>(n_vars);
  for (size_t i = 0; i < n * n; ++i) C[i] = 0.0;
  if (variable_step == 1) {
    accumulate<true>(X, n_samples, n, sample_step, 1, C);
  } else {
    accumulate<false>(X, n_samples, n, sample_step, variable_step, C);
  }
  for (size_t a = 0; a < n; ++a) {
    for (size_t b = 0; b < a; ++b) C[b * n + a] = C[a * n + b];
  }
}

}  // namespace varkel
