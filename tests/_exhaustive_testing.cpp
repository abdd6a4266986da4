// Test-only module: reaches each compiled form of the squared-difference
// kernel, both djbsort float64 sorts and the score directly, so the tests can
// pin each of them to an independent reference.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <stdexcept>

#include "hwy/targets.h"
#include "varkel.h"

namespace py = pybind11;
using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

namespace {

double kernel_for_target(int64_t target, const Doubles& a, const Doubles& b) {
  if (a.size() != b.size()) throw std::invalid_argument("a and b differ in length");
  double result = 0.0;
  if (!varkel::sum_squared_differences_for_target(target, a.data(), b.data(),
                                                  static_cast<int>(a.size()), &result)) {
    throw std::invalid_argument("target not compiled or not supported here");
  }
  return result;
}

double kernel_dispatched(const Doubles& a, const Doubles& b) {
  if (a.size() != b.size()) throw std::invalid_argument("a and b differ in length");
  return varkel::sum_squared_differences(a.data(), b.data(), static_cast<int>(a.size()));
}

// Sorts a copy of `values` with `sort`; an empty input is passed as a null
// pointer, which the sorts must accept.
template <void (*sort)(double*, long long)>
Doubles sorted_copy(const Doubles& values) {
  Doubles out(values.size());
  double* data = out.mutable_data();
  std::copy(values.data(), values.data() + values.size(), data);
  sort(values.size() == 0 ? nullptr : data, static_cast<long long>(values.size()));
  return out;
}

void sort_values_entry(double* x, long long n) {
  varkel::sort_values(x, static_cast<unsigned long>(n));
}

double score_entry(const Doubles& X, const Doubles& C, const Doubles& R, int n_vars,
                   int target, int mask) {
  const int64_t n_samples = R.size();
  if (X.size() != n_samples * n_vars || C.size() != int64_t{n_vars} * n_vars ||
      target < 0 || target >= n_vars || n_vars > 32) {
    throw std::invalid_argument("inconsistent sizes");
  }
  return varkel::score(X.data(), C.data(), R.data(), static_cast<int>(n_samples), n_vars,
                       target, mask);
}

}  // namespace

PYBIND11_MODULE(_exhaustive_testing, m, py::mod_gil_not_used()) {
  m.def("supported_targets", [] { return hwy::SupportedTargets(); });
  m.def("compiled_targets", &varkel::compiled_kernel_targets);
  m.def("kernel_for_target", &kernel_for_target);
  m.def("kernel_dispatched", &kernel_dispatched);
  m.def("sort_avx2", &sorted_copy<djbsort_float64_avx2>);
  m.def("sort_portable", &sorted_copy<djbsort_float64_portable>);
  m.def("sort_selected", &sorted_copy<djbsort_float64>);
  m.def("sort_values", &sorted_copy<sort_values_entry>);
  m.def("score", &score_entry);
}
