// Test-only module: reaches each compiled form of the squared-difference
// kernel, both djbsort float64 sorts and the score directly, so the tests can
// pin each of them to an independent reference.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "hwy/targets.h"
#include "column_scorer.h"
#include "hwy/contrib/sort/vqsort.h"
#include "kernels.h"
#include "memory_budget.h"
#include "score.h"
#include "score_bound.h"
#include "sorts.h"

namespace py = pybind11;
using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

namespace {

varkel::SortChoice sort_choice(const std::string& name) {
  if (name == "vqsort") return varkel::SortChoice::kVqsort;
  if (name == "djbsort") return varkel::SortChoice::kDjbsort;
  return varkel::SortChoice::kAuto;
}

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

void vqsort_entry(double* x, long long n) {
  hwy::VQSort(x, static_cast<size_t>(n), hwy::SortAscending());
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

// Column-major, zero-padded copy of X (n_samples x n_vars), as the engine
// lays it out, and its stride.
hwy::AlignedFreeUniquePtr<double[]> column_copy(const Doubles& X, int n_samples, int n_vars,
                                                size_t* stride) {
  *stride = (static_cast<size_t>(n_samples) + varkel::kColumnAlignment - 1) /
            varkel::kColumnAlignment * varkel::kColumnAlignment;
  const size_t size = *stride * static_cast<size_t>(n_vars) + 1;
  auto columns = hwy::AllocateAligned<double>(size);
  std::fill(columns.get(), columns.get() + size, 0.0);
  for (int s = 0; s < n_samples; ++s) {
    for (int j = 0; j < n_vars; ++j) columns[j * *stride + s] = X.data()[s * n_vars + j];
  }
  return columns;
}

// The engine's standardised residuals of `target` given `mask`, straight
// from the column kernel (unsorted), and whether it reported a NaN.
py::tuple engine_residuals(const Doubles& X, const Doubles& C, int n_vars, int target,
                           int mask) {
  const int n_samples = static_cast<int>(X.size() / n_vars);
  int idx[varkel::kMaxRows];
  double beta[varkel::kMaxRows];
  int k = 0;
  const double rss = varkel::regress(C.data(), n_vars, target, mask, idx, beta, &k);
  size_t stride = 0;
  const auto columns = column_copy(X, n_samples, n_vars, &stride);
  auto z = hwy::AllocateAligned<double>(stride + 1);
  const bool nan = varkel::standardized_residuals(columns.get(), stride, n_samples, target, idx,
                                                  beta, k, std::sqrt(rss / n_samples), z.get());
  Doubles out(n_samples);
  std::copy(z.get(), z.get() + n_samples, out.mutable_data());
  return py::make_tuple(out, nan);
}

// Seconds per call of each step of the engine's score, for the benchmarks:
// regression, residual kernel, sort (of a fresh copy, the copy's own time
// subtracted) and the squared-difference sum.
py::dict time_score_steps(const Doubles& X, const Doubles& C, const Doubles& R, int target,
                          int mask, int repeats, const std::string& sort) {
  const int n_vars = static_cast<int>(C.shape(0));
  const int n_samples = static_cast<int>(R.size());
  const auto sort_fn = varkel::residual_sort(sort_choice(sort));
  int idx[varkel::kMaxRows];
  double beta[varkel::kMaxRows];
  int k = 0;
  double sink = 0.0;
  auto start = Clock::now();
  for (int r = 0; r < repeats; ++r) {
    sink += varkel::regress(C.data(), n_vars, target, mask, idx, beta, &k);
  }
  const double regress_seconds = seconds_since(start) / repeats;
  size_t stride = 0;
  const auto columns = column_copy(X, n_samples, n_vars, &stride);
  auto z = hwy::AllocateAligned<double>(stride + 1);
  auto work = hwy::AllocateAligned<double>(stride + 1);
  const double sd = std::sqrt(sink / repeats / n_samples);
  start = Clock::now();
  for (int r = 0; r < repeats; ++r) {
    sink += varkel::standardized_residuals(columns.get(), stride, n_samples, target, idx, beta,
                                           k, sd, z.get());
  }
  const double residual_seconds = seconds_since(start) / repeats;
  const auto time_copies = [&](bool sorted) {
    const auto begin = Clock::now();
    for (int r = 0; r < repeats; ++r) {
      std::copy(z.get(), z.get() + n_samples, work.get());
      if (sorted) sort_fn(work.get(), static_cast<unsigned long>(n_samples));
      sink += work[0];
    }
    return seconds_since(begin) / repeats;
  };
  const double sort_seconds = time_copies(true) - time_copies(false);
  start = Clock::now();
  for (int r = 0; r < repeats; ++r) {
    sink += varkel::sum_squared_differences(work.get(), R.data(), n_samples);
  }
  const double sum_seconds = seconds_since(start) / repeats;
  if (sink == 42.0) py::print("");
  py::dict out;
  out["regress"] = regress_seconds;
  out["residuals"] = residual_seconds;
  out["sort"] = sort_seconds;
  out["sum"] = sum_seconds;
  return out;
}

// The engine's scores of every member of `mask` as the sink, from the batched
// regressions of the subset, in ascending member order.
std::vector<double> candidate_scores(const Doubles& X, const Doubles& C, const Doubles& R,
                                     int mask, const std::string& sort) {
  const int n_vars = static_cast<int>(C.shape(0));
  const int n_samples = static_cast<int>(R.size());
  if (X.size() != int64_t{n_samples} * n_vars || mask <= 0 || mask >= (1 << n_vars)) {
    throw std::invalid_argument("inconsistent sizes");
  }
  const varkel::ColumnScorer scorer(X.data(), C.data(), R.data(), n_samples, n_vars,
                                    varkel::residual_sort(sort_choice(sort)));
  const auto z = scorer.make_scratch(1);
  varkel::CandidateRegressions regressions;
  scorer.regress_subset(static_cast<uint32_t>(mask), &regressions);
  std::vector<double> scores;
  for (int j = 0; j < regressions.k; ++j) scores.push_back(scorer.score_candidate(regressions, j, z.get()));
  return scores;
}

// The bound on the score of `target` given `parents`, and the engine's
// score itself: (bound, score), the bound NaN where the score is NaN
// before sorting. prefix_step: the bound's (0: its own choice).
py::tuple score_upper_bound(const Doubles& X, const Doubles& C, const Doubles& R, int target,
                            int parents, int prefix_step) {
  const int n_vars = static_cast<int>(C.shape(0));
  const int n_samples = static_cast<int>(R.size());
  const varkel::ColumnScorer scorer(X.data(), C.data(), R.data(), n_samples, n_vars,
                                    varkel::residual_sort(varkel::SortChoice::kAuto));
  const varkel::ScoreBound bound(R.data(), n_samples, prefix_step);
  const uint32_t mask = static_cast<uint32_t>(parents) | (uint32_t{1} << target);
  varkel::CandidateRegressions regressions;
  scorer.regress_subset(mask, &regressions);
  const int j = __builtin_popcount(mask & ((uint32_t{1} << target) - 1));
  auto buffers = scorer.make_scratch(1);
  double* z = buffers.get();
  double upper = std::numeric_limits<double>::quiet_NaN();
  double score = std::numeric_limits<double>::quiet_NaN();
  double sds[varkel::kMaxRows] = {};
  bool ok[varkel::kMaxRows] = {};
  scorer.candidates_unscaled_residuals(regressions, &j, 1, buffers.get(), scorer.stride(), sds,
                                       1, ok);
  if (ok[j]) {
    upper = bound.upper(z, sds[j]);
    scorer.standardize(z, sds[j]);
    score = scorer.sorted_score(z);
  }
  return py::make_tuple(upper, score);
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
  m.def("time_sort_vqsort", &time_sort<vqsort_entry>);
  m.def("sort_vqsort", &sorted_copy<vqsort_entry>);
  m.def("engine_residuals", &engine_residuals);
  m.def("time_score_steps", &time_score_steps);
  m.def("candidate_scores", &candidate_scores);
  m.def("cgroup_remaining", &varkel::cgroup_remaining);
  m.def("score_upper_bound", &score_upper_bound, py::arg("X"), py::arg("C"), py::arg("R"),
        py::arg("target"), py::arg("parents"), py::arg("prefix_step") = 0);
}
