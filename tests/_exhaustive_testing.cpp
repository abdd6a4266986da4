// Test-only module: reaches each compiled form of the squared-difference
// kernel, both djbsort float64 sorts and the score directly, so the tests can
// pin each of them to an independent reference.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "hwy/targets.h"
#include "varkel.h"

namespace py = pybind11;
using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

namespace {

double kernel_for_target(int64_t target, const Doubles& a, const Doubles& b) {
  if (a.size() != b.size()) throw std::invalid_argument("a and b differ in length");
  double result = 0.0;
  if ((hwy::SupportedTargets() & target) == 0 ||
      !varkel::sum_squared_differences_for_target(target, a.data(), b.data(),
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

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Seconds for `repeats` kernel calls of one target, for the benchmarks.
double time_kernel(int64_t target, const Doubles& a, const Doubles& b, int repeats) {
  double sink = 0.0, result = 0.0;
  kernel_for_target(target, a, b);  // refuses unsupported targets
  const auto start = Clock::now();
  for (int r = 0; r < repeats; ++r) {
    varkel::sum_squared_differences_for_target(target, a.data(), b.data(),
                                               static_cast<int>(a.size()), &result);
    sink += result;
  }
  const double elapsed = seconds_since(start);
  if (sink == 42.0) py::print("");  // keeps the calls from being optimised away
  return elapsed;
}

// Seconds for `repeats` rounds of copying `values` into a buffer and, when
// `sort` is set, sorting it: the benchmark subtracts the copy-only time.
template <void (*sort)(double*, long long)>
double time_sort(const Doubles& values, int repeats, bool do_sort) {
  std::vector<double> buffer(values.size());
  const auto start = Clock::now();
  for (int r = 0; r < repeats; ++r) {
    std::copy(values.data(), values.data() + values.size(), buffer.begin());
    if (do_sort) sort(buffer.data(), static_cast<long long>(buffer.size()));
  }
  const double elapsed = seconds_since(start);
  if (buffer.size() > 1 && buffer[0] == 42.0) py::print("");
  return elapsed;
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
  m.def("time_kernel", &time_kernel);
  m.def("time_sort_avx2", &time_sort<djbsort_float64_avx2>);
  m.def("time_sort_portable", &time_sort<djbsort_float64_portable>);
}
