// The Python module varkel._engine: the search varkel uses.
//
// Same results as _exhaustive_kernel._sink_dp, bit for bit, from faster
// policies (engine_search.h). The binding checks the inputs, refuses searches
// that cannot fit in memory before allocating anything, and between slices of
// work takes the thread state back to deliver Ctrl-C and progress.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine_search.h"
#include "gram.h"
#include "memory_budget.h"
#include "score.h"

namespace py = pybind11;

namespace varkel {

namespace {

using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

// Raises a Python exception of the given type with a one-line message.
[[noreturn]] void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw py::error_already_set();
}

[[noreturn]] void invalid(const std::string& message) { raise(PyExc_ValueError, message); }

// X must be a matrix the search can index with 32-bit offsets.
void check_data(const Doubles& X) {
  if (X.ndim() != 2) {
    invalid("X must be two-dimensional (samples x variables), got " +
            std::to_string(X.ndim()) + " dimensions");
  }
  const int64_t n_samples = X.shape(0);
  const int64_t n_vars = X.shape(1);
  if (n_vars > kMaxVars) {
    invalid("X has " + std::to_string(n_vars) + " variables; the search handles at most " +
            std::to_string(kMaxVars));
  }
  if (X.size() >= (int64_t{1} << 31) || n_samples >= (int64_t{1} << 31)) {
    invalid("X must hold fewer than 2^31 elements, got " + std::to_string(X.size()));
  }
}

// Checks the shapes of X, C and R and returns the problem they describe.
EngineProblem check_problem(const Doubles& X, const Doubles& C, const Doubles& R) {
  check_data(X);
  const int64_t n_samples = X.shape(0);
  const int64_t n_vars = X.shape(1);
  if (C.ndim() != 2 || C.shape(0) != n_vars || C.shape(1) != n_vars) {
    invalid("C must have shape (" + std::to_string(n_vars) + ", " + std::to_string(n_vars) +
            ")");
  }
  if (R.ndim() != 1 || R.shape(0) != n_samples) {
    invalid("R must have shape (" + std::to_string(n_samples) + ",)");
  }
  return EngineProblem{X.data(), C.data(), R.data(), static_cast<int>(n_samples),
                       static_cast<int>(n_vars), {}};
}

// The Gram matrix the search uses: the caller's, or X^T X computed here.
Doubles gram_or_given(const Doubles& X, const std::optional<Doubles>& C) {
  if (C) return *C;
  check_data(X);
  const py::ssize_t n = X.shape(1);
  Doubles computed({n, n});
  gram_matrix(X.data(), static_cast<int>(X.shape(0)), static_cast<int>(n),
              computed.mutable_data());
  return computed;
}

// successors[i]: bit j set when variable i must come before variable j.
std::vector<uint32_t> check_successors(const std::optional<std::vector<int64_t>>& given,
                                       int n_vars) {
  if (!given) return {};
  if (given->size() != static_cast<size_t>(n_vars)) {
    invalid("successors must hold " + std::to_string(n_vars) + " masks, got " +
            std::to_string(given->size()));
  }
  std::vector<uint32_t> masks;
  for (int i = 0; i < n_vars; ++i) {
    const int64_t mask = (*given)[static_cast<size_t>(i)];
    if (mask < 0 || mask >= (int64_t{1} << n_vars) || ((mask >> i) & 1) != 0) {
      invalid("successors[" + std::to_string(i) + "] = " + std::to_string(mask) +
              " is not a mask of other variables");
    }
    masks.push_back(static_cast<uint32_t>(mask));
  }
  return masks;
}

SortChoice parse_sort(const std::string& name) {
  if (name == "auto") return SortChoice::kAuto;
  if (name == "djbsort") return SortChoice::kDjbsort;
  if (name == "vqsort") return SortChoice::kVqsort;
  invalid("sort must be 'auto', 'djbsort' or 'vqsort', got '" + name + "'");
}

hwy::PoolWaitMode parse_wait(const std::string& name) {
  if (name == "block") return hwy::PoolWaitMode::kBlock;
  if (name == "spin") return hwy::PoolWaitMode::kSpin;
  invalid("wait must be 'block' or 'spin', got '" + name + "'");
}

// Refuses a search whose allocations exceed what the process may still take.
void check_memory(int n_vars, uint64_t needed) {
  const MemoryBudget budget = available_memory();
  if (needed > budget.bytes) {
    raise(PyExc_MemoryError, "a search over " + std::to_string(n_vars) + " variables needs " +
                                 format_bytes(needed) + " of memory, more than the " +
                                 format_bytes(budget.bytes) + " of " + budget.limit);
  }
}

// Between slices: take the thread state back, deliver pending signals (so
// Ctrl-C raises KeyboardInterrupt), and report progress when `interval`
// seconds have passed since the last report, and at the end.
class SliceReporter {
 public:
  SliceReporter(py::object progress, double interval)
      : progress_(std::move(progress)), interval_(interval), last_(Clock::now()) {}

  void operator()(uint64_t done, uint64_t total) {
    py::gil_scoped_acquire acquire;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    if (progress_.is_none()) return;
    const auto now = Clock::now();
    if (done == total || std::chrono::duration<double>(now - last_).count() >= interval_) {
      last_ = now;
      progress_(done, total);
    }
  }

 private:
  using Clock = std::chrono::steady_clock;
  py::object progress_;
  double interval_;
  Clock::time_point last_;
};

py::tuple search(const Doubles& X, const std::optional<Doubles>& C_given, const Doubles& R,
                 uint64_t threads,
                 const std::optional<std::vector<int64_t>>& successors, py::object progress,
                 double progress_interval, const std::string& wait, const std::string& sort,
                 double slice_seconds) {
  const Doubles C = gram_or_given(X, C_given);
  EngineProblem problem = check_problem(X, C, R);
  problem.successors = check_successors(successors, problem.n_vars);
  if (!progress.is_none() && !PyCallable_Check(progress.ptr())) {
    raise(PyExc_TypeError, "progress must be callable or None");
  }
  if (!(progress_interval >= 0.0)) invalid("progress_interval must be 0 or more");
  if (!(slice_seconds > 0.0 && slice_seconds <= 1.0)) {
    invalid("slice_seconds must be above 0 and at most 1");
  }
  EngineOptions options;
  options.threads = threads;
  options.wait_mode = parse_wait(wait);
  options.sort = parse_sort(sort);
  options.slice_seconds = slice_seconds;

  const int n = problem.n_vars;
  const uint64_t subsets = uint64_t{1} << n;
  check_memory(n, engine_bytes(n, problem.n_samples,
                               engine_threads(threads, n, problem.n_samples)));
  py::array_t<int8_t> best_sink(static_cast<py::ssize_t>(subsets));
  std::unique_ptr<float[]> best_total(new (std::nothrow) float[subsets]);
  if (!best_total) {
    raise(PyExc_MemoryError, "cannot allocate " + format_bytes(subsets * sizeof(float)) +
                                 " for the search's totals");
  }
  EngineSearch engine(std::move(problem), options);
  SliceReporter report(std::move(progress), progress_interval);
  float total;
  {
    py::gil_scoped_release release;
    total = engine.run(best_total.get(), best_sink.mutable_data(), report);
  }
  return py::make_tuple(best_sink, static_cast<double>(total));
}

double single_score(const Doubles& X, const std::optional<Doubles>& C_given, const Doubles& R,
                    int target, int64_t parents, const std::string& sort) {
  const Doubles C = gram_or_given(X, C_given);
  const EngineProblem problem = check_problem(X, C, R);
  if (target < 0 || target >= problem.n_vars) invalid("target out of range");
  if (parents < 0 || parents >= (int64_t{1} << problem.n_vars) || ((parents >> target) & 1)) {
    invalid("parents must be a mask of variables other than the target");
  }
  const ColumnScorer scorer(problem.X, problem.C, problem.R, problem.n_samples, problem.n_vars,
                            residual_sort(parse_sort(sort)));
  const auto z = scorer.make_scratch(1);
  return scorer.score(target, static_cast<uint32_t>(parents), z.get());
}

py::dict plan(int n_vars, int n_samples, uint64_t threads) {
  if (n_vars < 0 || n_vars > kMaxVars) invalid("n_vars must be between 0 and 30");
  if (n_samples < 0) invalid("n_samples must be 0 or more");
  const uint64_t used = engine_threads(threads, n_vars, n_samples);
  const MemoryBudget budget = available_memory();
  py::dict result;
  result["threads"] = used;
  result["scores"] = total_scores(n_vars);
  result["bytes"] = engine_bytes(n_vars, n_samples, used);
  result["available_bytes"] = py::int_(budget.bytes);
  result["memory_limit"] = budget.limit;
  result["sort"] = residual_sort_name(SortChoice::kAuto);
  return result;
}

}  // namespace

}  // namespace varkel

PYBIND11_MODULE(_engine, m, py::mod_gil_not_used(),
                py::multiple_interpreters::not_supported()) {
  m.doc() = "The exhaustive ordering search that varkel uses.";
  m.def("search", &varkel::search, py::arg("X"), py::arg("C"), py::arg("R"), py::pos_only(),
        py::kw_only(), py::arg("threads") = 0, py::arg("successors") = py::none(),
        py::arg("progress") = py::none(), py::arg("progress_interval") = 0.5,
        py::arg("wait") = "block", py::arg("sort") = "auto", py::arg("slice_seconds") = 0.05,
        R"doc(Best sink of every subset of X's columns, and the best total.

X: n_samples x n_vars data (n_vars <= 30); C: its Gram matrix X^T X, or
None to have it computed here (in a fixed order, without BLAS);
R: the n_samples sorted reference values. Returns (sinks, total): entry S of
the int8 table is the last variable of the best ordering of the subset with
bit mask S (-1 where none scores above -inf), and total is the best total of
all variables, a float32 value widened to float. Bit-identical to
_exhaustive_kernel._sink_dp.

threads: 0 uses every processor the calling thread may run on; larger counts
are capped at that number, and searches too small to repay workers run on
the calling thread. The result never depends on it.
successors: None, or n_vars masks; bit j of successors[i] requires variable i
to come before variable j. The result is then the best order among those
that satisfy every requirement.
progress: None or a callable progress(done, total), called on this thread
with the number of scores accounted for, every progress_interval seconds and
at the end. An exception it raises stops the search.
Ctrl-C stops the search with KeyboardInterrupt within a fraction of a second.
A search that needs more memory than the process may take raises
MemoryError before allocating anything.
wait ('block' or 'spin'), sort ('auto', 'djbsort', 'vqsort') and
slice_seconds (the work between two checks for Ctrl-C and progress) choose
policies that never change the result; they are for benchmarks and tests.)doc");
  m.def("score", &varkel::single_score, py::arg("X"), py::arg("C"), py::arg("R"),
        py::arg("target"), py::arg("parents"), py::pos_only(), py::kw_only(),
        py::arg("sort") = "auto",
        "The score of column `target` given the parent set `parents` (a bit mask).");
  m.def("gram", [](const varkel::Doubles& X) { return varkel::gram_or_given(X, std::nullopt); },
        py::arg("X"), py::pos_only(),
        "X^T X, summed over the samples in order: the Gram matrix the search uses when C is None.");
  m.def("plan", &varkel::plan, py::arg("n_vars"), py::arg("n_samples"), py::pos_only(),
        py::kw_only(), py::arg("threads") = 0,
        "What a search of this size would use: threads, scores, bytes, and the memory "
        "available (available_bytes, memory_limit), and the sort chosen here.");
}
