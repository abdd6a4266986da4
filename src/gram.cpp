// The Gram matrix in a fixed summation order; see gram.h.
#include "gram.h"

#include <cstddef>

namespace varkel {

void gram_matrix(const double* X, int n_samples, int n_vars, double* C) noexcept {
  const size_t n = static_cast<size_t>(n_vars);
  for (size_t i = 0; i < n * n; ++i) C[i] = 0.0;
  // Row a of C accumulates the products of column a with columns 0..a, one
  // sample at a time; each entry is its own running sum, so the loop over b
  // may be vectorised without changing any entry's order of additions.
  for (size_t s = 0; s < static_cast<size_t>(n_samples); ++s) {
    const double* row = X + s * n;
    for (size_t a = 0; a < n; ++a) {
      const double x = row[a];
      double* c_row = C + a * n;
      for (size_t b = 0; b <= a; ++b) c_row[b] = c_row[b] + x * row[b];
    }
  }
  for (size_t a = 0; a < n; ++a) {
    for (size_t b = 0; b < a; ++b) C[b * n + a] = C[a * n + b];
  }
}

}  // namespace varkel
