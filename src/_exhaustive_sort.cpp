// sort_values: ascending in-place sort of the standardised residuals.
//
// djbsort orders doubles by a key that is one-to-one on bit patterns, so the
// result is fully determined (-0.0 before +0.0, NaNs by sign and payload at
// the two ends) and identical for its AVX2 and portable forms.
#include "varkel.h"

namespace varkel {

// Preconditions: values holds n doubles; with n = 0 it may be null.
void sort_values(double* values, unsigned long n) noexcept {
  djbsort_float64(values, static_cast<long long>(n));
}

}  // namespace varkel
