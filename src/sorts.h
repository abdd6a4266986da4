// Ascending in-place sorts of the standardised residuals.
//
// djbsort orders doubles by a key that is one-to-one on bit patterns, so its
// result is fully determined (-0.0 before +0.0, NaNs by sign and payload at
// the two ends). The score only needs an order that pairs every residual
// with the right reference value: any correct ascending sort of NaN-free
// values gives the same squared differences, because the only distinct bit
// patterns that compare equal are -0.0 and +0.0, and (-0.0 - r)^2 and
// (+0.0 - r)^2 are the same double for every r.
#ifndef VARKEL_SORTS_H_
#define VARKEL_SORTS_H_

namespace varkel {

// djbsort's order, choosing its AVX2 or portable form on every call from a
// fresh processor query (the behaviour of _exhaustive_kernel).
// Preconditions: values holds n doubles; with n = 0 it may be null.
void sort_values(double* values, unsigned long n) noexcept;

// Sorts a NaN-free array ascending. The engine's sorts, all giving the same
// squared differences against any reference (see above).
using ResidualSort = void (*)(double* values, unsigned long n);

enum class SortChoice { kAuto, kDjbsort, kVqsort };

// The sort for a choice; kAuto is decided from the processor once per
// process: Highway's VQSort where AVX-512 is available, where it is the
// fastest, and djbsort (its AVX2 form when available) elsewhere.
ResidualSort residual_sort(SortChoice choice) noexcept;

// The name of the sort kAuto resolves to here ("vqsort", "djbsort-avx2" or
// "djbsort-portable"), for benchmarks and reports.
const char* residual_sort_name(SortChoice choice) noexcept;

}  // namespace varkel

extern "C" {
// The selector in front of djbsort's two float64 sorts: AVX2 when the
// processor has it, the portable form otherwise, decided on every call.
void djbsort_float64(double* x, long long n);
// djbsort's implementations, under the names the private copy of its library
// gives them.
void djbsort_float64_avx2(double* x, long long n);
void djbsort_float64_portable(double* x, long long n);
}

#endif  // VARKEL_SORTS_H_
