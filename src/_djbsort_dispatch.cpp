// djbsort_float64: the module's own choice between djbsort's AVX2 and
// portable float64 sorts. The library ships a selector of the same name; the
// build links a private copy of the library in which that one is renamed, so
// this definition is the one every caller inside the module reaches.
//
// The processor is asked on every call (through Highway's detection, which
// caches its answer) and nothing is kept here.
#include "hwy/targets.h"
#include "varkel.h"

extern "C" void djbsort_float64(double* x, long long n) {
  if ((hwy::SupportedTargets() & HWY_AVX2) != 0) {
    djbsort_float64_avx2(x, n);
  } else {
    djbsort_float64_portable(x, n);
  }
}
