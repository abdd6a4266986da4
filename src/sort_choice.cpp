// The engine's residual sort, decided once per process from the processor.
//
// Measured on AVX-512 machines, Highway's VQSort sorts 1000 doubles in about
// half the time of djbsort's AVX2 form; forced onto AVX2 it is slower than
// djbsort. Both are correct ascending sorts, so on NaN-free input they give
// the score the same bits (sorts.h says why).
#include <cstddef>

#include "hwy/contrib/sort/vqsort.h"
#include "hwy/targets.h"
#include "sorts.h"

namespace varkel {

namespace {

void vqsort_doubles(double* values, unsigned long n) {
  hwy::VQSort(values, static_cast<size_t>(n), hwy::SortAscending());
}

void djbsort_avx2(double* values, unsigned long n) {
  djbsort_float64_avx2(values, static_cast<long long>(n));
}

void djbsort_portable(double* values, unsigned long n) {
  djbsort_float64_portable(values, static_cast<long long>(n));
}

struct Decided {
  ResidualSort sort;
  const char* name;
};

// One processor query for the life of the process (a thread-safe static).
const Decided& decided_djbsort() {
  static const Decided decided = (hwy::SupportedTargets() & HWY_AVX2) != 0
                                     ? Decided{djbsort_avx2, "djbsort-avx2"}
                                     : Decided{djbsort_portable, "djbsort-portable"};
  return decided;
}

const Decided& decided_auto() {
  static const Decided decided = (hwy::SupportedTargets() & HWY_AVX3) != 0
                                     ? Decided{vqsort_doubles, "vqsort"}
                                     : decided_djbsort();
  return decided;
}

const Decided& decided(SortChoice choice) {
  switch (choice) {
    case SortChoice::kDjbsort: return decided_djbsort();
    case SortChoice::kVqsort: {
      static const Decided vqsort{vqsort_doubles, "vqsort"};
      return vqsort;
    }
    case SortChoice::kAuto: break;
  }
  return decided_auto();
}

}  // namespace

ResidualSort residual_sort(SortChoice choice) noexcept { return decided(choice).sort; }

const char* residual_sort_name(SortChoice choice) noexcept { return decided(choice).name; }

}  // namespace varkel
