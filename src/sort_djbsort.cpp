// djbsort_float64: the choice between djbsort's AVX2 and portable float64
// sorts that _exhaustive_kernel makes on every sort. The library ships a
// selector of the same name; the build links a private copy of the library in
// which that one is renamed, so this definition is the one every caller inside
// the modules reaches.
//
// The processor is asked on every call and nothing is kept here. On virtual
// machines that query traps to the hypervisor and costs tens of
// microseconds, which is why the engine decides once instead (sort_choice.cpp).
#include "hwy/targets.h"
#include "sorts.h"

extern "C" void djbsort_float64(double* x, long long n) {
  if ((hwy::SupportedTargets() & HWY_AVX2) != 0) {
    djbsort_float64_avx2(x, n);
  } else {
    djbsort_float64_portable(x, n);
  }
}

namespace varkel {

void sort_values(double* values, unsigned long n) noexcept {
  djbsort_float64(values, static_cast<long long>(n));
}

}  // namespace varkel
