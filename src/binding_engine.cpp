// The Python module varkel._engine: the search varkel uses.
//
// Same results as _exhaustive_kernel._sink_dp, bit for bit, from faster
// policies (engine_search.h). The binding checks the inputs, refuses searches
// that cannot fit in memory before allocating anything, and between slices of
// work takes the thread state back to deliver Ctrl-C and progress.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "engine_search.h"
#include "gram.h"
#include "hwy/targets.h"
#include "kernels.h"
#include "memory_budget.h"
#include "order_margins.h"
#include "score.h"
#include "subsets.h"

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
void check_data(const py::array& X) {
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

// A float64 matrix as it is, in any layout, when its doubles can be read
// in place (aligned, native byte order); otherwise a C-ordered copy.
py::array readable_matrix(const py::object& value) {
  if (py::isinstance<py::array_t<double>>(value)) {
    const py::array array = value.cast<py::array>();
    if ((array.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_) != 0) return array;
  }
  return value.cast<Doubles>();
}

// The Gram matrix the search uses: the caller's, or X^T X computed here
// (X in any layout readable_matrix keeps; the bits do not depend on it).
Doubles gram_or_given(const py::array& X, const std::optional<Doubles>& C) {
  if (C) return *C;
  check_data(X);
  const py::ssize_t n = X.shape(1);
  Doubles computed({n, n});
  const auto step = [&](int axis) {
    return static_cast<ptrdiff_t>(X.strides(axis) / static_cast<py::ssize_t>(sizeof(double)));
  };
  gram_matrix(static_cast<const double*>(X.data()), static_cast<int>(X.shape(0)),
              static_cast<int>(n), step(0), step(1), computed.mutable_data());
  return computed;
}

// The stride of X's columns when X is already in the engine's column layout,
// so that a search can read it in place: X (n_samples x n_vars, float64) is
// the transpose of the first n_samples columns of a C-ordered block of
// n_vars rows of ColumnScorer::padded_stride(n_samples) doubles, 64-byte
// aligned, which lies inside X's base array (or is X) and whose padding is
// finite. 0 otherwise (the engine then copies X).
size_t borrowable_stride(const py::object& value) {
  if (!py::isinstance<py::array_t<double>>(value)) return 0;
  const py::array X = value.cast<py::array>();
  if (X.ndim() != 2 || X.shape(0) < 1 || X.shape(1) < 1 || X.shape(0) >= (int64_t{1} << 31)) {
    return 0;
  }
  const int n_samples = static_cast<int>(X.shape(0));
  const size_t stride = ColumnScorer::padded_stride(n_samples);
  const auto start = reinterpret_cast<uintptr_t>(X.data());
  if (X.strides(0) != sizeof(double) ||
      X.strides(1) != static_cast<py::ssize_t>(stride * sizeof(double)) ||
      start % kColumnBytes != 0) {
    return 0;
  }
  // The padding is read, so the whole block must lie in one contiguous run
  // of memory that X's base owns, or X itself (whose base is then null).
  const py::object base = X.base();
  const bool owns = !base || base.is_none();
  if (!owns && !py::isinstance<py::array>(base)) return 0;
  const py::array owner = owns ? X : base.cast<py::array>();
  const int contiguous = py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_ |
                         py::detail::npy_api::NPY_ARRAY_F_CONTIGUOUS_;
  if ((owner.flags() & contiguous) == 0) return 0;
  const auto first = reinterpret_cast<uintptr_t>(owner.data());
  const uint64_t block = uint64_t{8} * stride * static_cast<uint64_t>(X.shape(1));
  if (start < first || start - first + block > static_cast<uint64_t>(owner.nbytes())) return 0;
  const auto* columns = static_cast<const double*>(X.data());
  for (py::ssize_t j = 0; j < X.shape(1); ++j) {
    for (size_t s = static_cast<size_t>(n_samples); s < stride; ++s) {
      if (!std::isfinite(columns[static_cast<size_t>(j) * stride + s])) return 0;
    }
  }
  return stride;
}

// A copy the search owns, so that a caller changing its array later cannot
// change the search's inputs.
Doubles owned_copy(const Doubles& array) {
  return Doubles(py::array(array).attr("copy")());
}

// The arrays of one or more data groups. X is one matrix, or a list or
// tuple of matrices (one per group, all with the same columns); C and R are
// then lists of the same length (C: None, or a list whose entries may be
// None).
struct Groups {
  std::vector<py::array> X;
  std::vector<Doubles> C, R;
  // Per group: the stride of X's columns when the search reads X in place
  // (borrowable_stride), 0 when X is a row-major matrix the engine copies.
  std::vector<size_t> column_strides;
  bool grouped = false;

  bool copies_data() const {
    return std::find(column_strides.begin(), column_strides.end(), size_t{0}) !=
           column_strides.end();
  }
};

bool is_group_list(const py::object& X) {
  if (!py::isinstance<py::list>(X) && !py::isinstance<py::tuple>(X)) return false;
  const py::sequence items = X.cast<py::sequence>();
  if (items.size() == 0) invalid("X is an empty list: give at least one group");
  const py::array first = py::array::ensure(items[0]);
  return first && first.ndim() == 2;
}

std::vector<py::object> group_items(const py::object& given, size_t groups, const char* name) {
  if (!py::isinstance<py::list>(given) && !py::isinstance<py::tuple>(given)) {
    invalid(std::string(name) + " must be a list with one entry per group, like X");
  }
  const py::sequence items = given.cast<py::sequence>();
  if (items.size() != groups) {
    invalid(std::string(name) + " holds " + std::to_string(items.size()) +
            " entries for " + std::to_string(groups) + " groups");
  }
  std::vector<py::object> out;
  for (const auto item : items) out.push_back(py::reinterpret_borrow<py::object>(item));
  return out;
}

Doubles as_doubles(const py::object& value) { return value.cast<Doubles>(); }

// Reads the groups; with `own`, C and R are copies the caller keeps. X is
// read in place where it is in the engine's layout (borrowable_stride),
// else copied by the engine; the groups keep a reference to it.
Groups read_groups(const py::object& X, const py::object& C, const py::object& R, bool own) {
  Groups groups;
  std::vector<py::object> xs, cs, rs;
  if (is_group_list(X)) {
    groups.grouped = true;
    xs = group_items(X, py::len(X), "X");
    cs = C.is_none() ? std::vector<py::object>(xs.size(), py::none())
                     : group_items(C, xs.size(), "C");
    rs = group_items(R, xs.size(), "R");
  } else {
    xs = {X};
    cs = {C};
    rs = {R};
  }
  for (size_t g = 0; g < xs.size(); ++g) {
    const size_t stride = borrowable_stride(xs[g]);
    groups.column_strides.push_back(stride);
    groups.X.push_back(stride != 0 ? xs[g].cast<py::array>() : as_doubles(xs[g]));
    std::optional<Doubles> c;
    if (!cs[g].is_none()) c = as_doubles(cs[g]);
    const Doubles gram = gram_or_given(groups.X.back(), c);
    groups.C.push_back(own && c ? owned_copy(gram) : gram);
    const Doubles r = as_doubles(rs[g]);
    groups.R.push_back(own ? owned_copy(r) : r);
  }
  return groups;
}

// Checks the shapes of every group's X, C and R and returns the problem
// they describe; an error names the group when there are several.
EngineProblem check_problem(const Groups& groups) {
  EngineProblem problem{{}, 0, {}};
  for (size_t g = 0; g < groups.X.size(); ++g) {
    const std::string where = groups.grouped ? "group " + std::to_string(g) + ": " : "";
    const py::array& X = groups.X[g];
    const Doubles& C = groups.C[g];
    const Doubles& R = groups.R[g];
    check_data(X);
    const int64_t n_samples = X.shape(0);
    const int64_t n_vars = X.shape(1);
    if (g > 0 && n_vars != problem.n_vars) {
      invalid(where + "X has " + std::to_string(n_vars) + " columns, group 0 has " +
              std::to_string(problem.n_vars));
    }
    if (C.ndim() != 2 || C.shape(0) != n_vars || C.shape(1) != n_vars) {
      invalid(where + "C must have shape (" + std::to_string(n_vars) + ", " +
              std::to_string(n_vars) + ")");
    }
    if (R.ndim() != 1 || R.shape(0) != n_samples) {
      invalid(where + "R must have shape (" + std::to_string(n_samples) + ",)");
    }
    problem.n_vars = static_cast<int>(n_vars);
    problem.groups.push_back(DataGroup{static_cast<const double*>(X.data()), C.data(), R.data(),
                                       static_cast<int>(n_samples), groups.column_strides[g]});
  }
  return problem;
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
                                 format_bytes(budget.bytes) + " left (limited by " +
                                 budget.limit + ")");
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

EngineOptions::Prune parse_prune(std::optional<bool> prune) {
  if (!prune) return EngineOptions::Prune::kAuto;
  return *prune ? EngineOptions::Prune::kAlways : EngineOptions::Prune::kNever;
}

EngineOptions make_options(uint64_t threads, const std::string& wait, const std::string& sort,
                           double slice_seconds,
                           EngineOptions::Prune prune = EngineOptions::Prune::kAuto,
                           int candidate_buffers = 0) {
  if (!(slice_seconds > 0.0 && slice_seconds <= 1.0)) {
    invalid("slice_seconds must be above 0 and at most 1");
  }
  EngineOptions options;
  options.threads = threads;
  options.wait_mode = parse_wait(wait);
  options.sort = parse_sort(sort);
  options.slice_seconds = slice_seconds;
  options.prune = prune;
  if (candidate_buffers < 0) invalid("candidate_buffers must be 0 or more");
  options.candidate_buffers = candidate_buffers;
  return options;
}

void check_progress(const py::object& progress, double interval) {
  if (!progress.is_none() && !PyCallable_Check(progress.ptr())) {
    raise(PyExc_TypeError, "progress must be callable or None");
  }
  if (!(interval >= 0.0)) invalid("progress_interval must be 0 or more");
}

// The Python class Search: one search, relaxed level by level. It owns
// copies of every group's C and R, the table of sinks and the engine (which
// copies X unless X is in its column layout: that X it reads in place, and
// the caller must leave it unchanged while the Search lives. search() runs
// one with `own` false, for the length of a call: C and R are then read in
// place too.
class Search {
 public:
  Search(const py::object& X, const py::object& C, const py::object& R, uint64_t threads,
         const std::optional<std::vector<int64_t>>& successors, const std::string& wait,
         const std::string& sort, double slice_seconds, std::optional<bool> prune,
         int candidate_buffers = 0, bool own = true)
      : groups_(read_groups(X, C, R, own)) {
    EngineProblem problem = check_problem(groups_);
    problem.successors = check_successors(successors, problem.n_vars);
    const EngineOptions options =
        make_options(threads, wait, sort, slice_seconds, parse_prune(prune), candidate_buffers);
    const int n = problem.n_vars;
    check_memory(n, engine_bytes(n, group_samples(problem),
                                 engine_threads(threads, n, total_samples(problem)),
                                 prunes(options.prune, fewest_samples(problem)),
                                 options.candidate_buffers, groups_.copies_data()));
    sinks_ = py::array_t<int8_t>(static_cast<py::ssize_t>(uint64_t{1} << n));
    std::fill(sinks_.mutable_data(), sinks_.mutable_data() + sinks_.size(), int8_t{-1});
    try {
      engine_ = std::make_unique<EngineSearch>(std::move(problem), options,
                                               sinks_.mutable_data());
    } catch (const std::bad_alloc&) {
      raise(PyExc_MemoryError, "cannot allocate the search's tables");
    }
    // The engine has its own copy of each row-major X; borrowed ones stay.
    for (size_t g = 0; g < groups_.X.size(); ++g) {
      if (groups_.column_strides[g] == 0) groups_.X[g] = py::array();
    }
  }

  int n_vars() const { return engine_->n_vars(); }
  uint64_t threads() const { return engine_->threads(); }
  int completed_level() const { return engine_->completed_level(); }
  uint64_t scores() const { return total_scores(n_vars()); }
  uint64_t skipped() const { return engine_->skipped(); }

  uint64_t level_size(int k) const {
    check_level_number(k);
    return binomial(n_vars(), k);
  }

  uint64_t scores_before(int k) const {
    check_level_number(k);
    uint64_t done = 0;
    for (int level = 1; level < k; ++level) done += level_scores(n_vars(), level);
    return done;
  }

  void relax_level(int k, uint64_t first, std::optional<uint64_t> last, py::object progress,
                   double progress_interval) {
    check_progress(progress, progress_interval);
    check_next(k);
    const uint64_t end = last.value_or(binomial(n_vars(), k));
    Claim claim(*engine_);
    SliceReporter report(std::move(progress), progress_interval);
    translate([&] {
      py::gil_scoped_release release;
      engine_->relax_level(k, first, end, scores_before(k) + first * k, report);
    });
  }

  void complete_level(int k) {
    check_next(k);
    Claim claim(*engine_);
    translate([&] { engine_->complete_level(k); });
  }

  // The level being filled, in rank order, as views that keep this alive.
  py::array level_totals(const py::object& self) {
    return py::array_t<float>(static_cast<py::ssize_t>(next_level_size()),
                              engine_->level_totals(), self);
  }
  py::array level_sinks(const py::object& self) {
    return py::array_t<int8_t>(static_cast<py::ssize_t>(next_level_size()),
                               engine_->level_sinks(), self);
  }

  py::array_t<int8_t> sinks() const { return sinks_; }

  double total() const {
    if (completed_level() != n_vars()) {
      invalid("the total is known once level " + std::to_string(n_vars()) + " is complete; "
              "level " + std::to_string(completed_level()) + " is the last complete one");
    }
    return static_cast<double>(engine_->best_total());
  }

  py::tuple run(py::object progress, double progress_interval) {
    check_progress(progress, progress_interval);
    Claim claim(*engine_);
    SliceReporter report(std::move(progress), progress_interval);
    float best = 0.0f;
    {
      py::gil_scoped_release release;
      best = engine_->run(report);
    }
    return py::make_tuple(sinks_, static_cast<double>(best));
  }

 private:
  // Holds the engine for one call; two threads may not drive one search.
  class Claim {
   public:
    explicit Claim(EngineSearch& engine) : engine_(engine) {
      if (!engine_.try_claim()) {
        raise(PyExc_RuntimeError, "this search is in use by another thread");
      }
    }
    ~Claim() { engine_.release(); }
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;

   private:
    EngineSearch& engine_;
  };

  void check_level_number(int k) const {
    if (k < 1 || k > n_vars()) {
      invalid("level must be between 1 and " + std::to_string(n_vars()) + ", got " +
              std::to_string(k));
    }
  }

  void check_next(int k) const {
    check_level_number(k);
    if (k != completed_level() + 1) {
      invalid("level " + std::to_string(k) + " is not the next level: level " +
              std::to_string(completed_level()) + " is the last complete one");
    }
  }

  uint64_t next_level_size() const {
    const int next = completed_level() + 1;
    return next <= n_vars() ? binomial(n_vars(), next) : 0;
  }

  // Turns the engine's argument errors into ValueError with their message.
  template <class Work>
  static void translate(Work&& work) {
    try {
      work();
    } catch (const std::invalid_argument& error) {
      invalid(error.what());
    }
  }

  Groups groups_;  // C, R, and the X the engine borrows
  py::array_t<int8_t> sinks_;
  std::unique_ptr<EngineSearch> engine_;
};

py::tuple search(const py::object& X, const py::object& C, const py::object& R,
                 uint64_t threads, const std::optional<std::vector<int64_t>>& successors,
                 py::object progress, double progress_interval, const std::string& wait,
                 const std::string& sort, double slice_seconds, std::optional<bool> prune,
                 int candidate_buffers) {
  check_progress(progress, progress_interval);
  Search search(X, C, R, threads, successors, wait, sort, slice_seconds, prune,
                candidate_buffers, /*own=*/false);
  return search.run(std::move(progress), progress_interval);
}

// Checks that `order` is a permutation of 0 .. n_vars - 1.
std::vector<int> check_order(const std::vector<int64_t>& order, int n_vars) {
  std::vector<int> checked;
  std::vector<bool> seen(static_cast<size_t>(n_vars), false);
  for (const int64_t v : order) {
    if (v < 0 || v >= n_vars || seen[static_cast<size_t>(v)]) {
      invalid("order must hold each of the " + std::to_string(n_vars) +
              " variables exactly once");
    }
    seen[static_cast<size_t>(v)] = true;
    checked.push_back(static_cast<int>(v));
  }
  if (checked.size() != static_cast<size_t>(n_vars)) {
    invalid("order must hold each of the " + std::to_string(n_vars) +
            " variables exactly once");
  }
  return checked;
}

py::dict order_margins(const py::object& X, const py::object& C, const py::object& R,
                       const std::optional<std::vector<int64_t>>& order, uint64_t threads,
                       const std::optional<std::vector<int64_t>>& successors,
                       py::object progress, double progress_interval, const std::string& sort,
                       double slice_seconds) {
  check_progress(progress, progress_interval);
  const Groups groups = read_groups(X, C, R, /*own=*/false);
  EngineProblem problem = check_problem(groups);
  problem.successors = check_successors(successors, problem.n_vars);
  const std::vector<int> checked =
      order ? check_order(*order, problem.n_vars) : std::vector<int>();
  const EngineOptions options = make_options(threads, "block", sort, slice_seconds);
  const int n = problem.n_vars;
  check_memory(n, margin_bytes(n, group_samples(problem),
                               engine_threads(threads, n, total_samples(problem))));
  SliceReporter report(std::move(progress), progress_interval);
  MarginResult result;
  try {
    py::gil_scoped_release release;
    result = compute_margins(problem, checked, options, report);
  } catch (const std::bad_alloc&) {
    raise(PyExc_MemoryError, "cannot allocate the margins' tables");
  }
  py::array_t<double> margins({static_cast<py::ssize_t>(n), static_cast<py::ssize_t>(n)});
  std::fill(margins.mutable_data(), margins.mutable_data() + margins.size(),
            std::numeric_limits<double>::quiet_NaN());
  std::copy(result.margins.begin(), result.margins.end(), margins.mutable_data());
  py::dict out;
  out["margins"] = margins;
  if (!order) {
    py::array_t<int8_t> sinks(static_cast<py::ssize_t>(result.sinks.size()));
    std::copy(result.sinks.begin(), result.sinks.end(), sinks.mutable_data());
    out["sinks"] = sinks;
    out["search_total"] = static_cast<double>(result.search_total);
  }
  out["total"] = result.total;
  out["runner_up_order"] = result.runner_up_order;
  out["runner_up_total"] = result.runner_up_total;
  return out;
}

double single_score(const py::object& X, const py::object& C, const py::object& R, int target,
                    int64_t parents, const std::string& sort) {
  const Groups groups = read_groups(X, C, R, /*own=*/false);
  const EngineProblem problem = check_problem(groups);
  if (target < 0 || target >= problem.n_vars) invalid("target out of range");
  if (parents < 0 || parents >= (int64_t{1} << problem.n_vars) || ((parents >> target) & 1)) {
    invalid("parents must be a mask of variables other than the target");
  }
  const GroupScorer scorer(problem.groups, problem.n_vars, residual_sort(parse_sort(sort)));
  const auto z = scorer.make_scratch(1);
  return scorer.score(target, static_cast<uint32_t>(parents), z.get());
}

// The group of kernel targets this processor runs, which decides the last
// bits of every score: "avx512", "avx2" or "sse".
const char* kernel_arithmetic() {
  const int64_t supported = hwy::SupportedTargets() & compiled_kernel_targets();
  if (supported & (HWY_AVX3_SPR | HWY_AVX3_ZEN4 | HWY_AVX3_DL | HWY_AVX3)) return "avx512";
  if (supported & HWY_AVX2) return "avx2";
  return "sse";
}

py::dict plan(int n_vars, const std::variant<int, std::vector<int>>& n_samples,
              uint64_t threads) {
  if (n_vars < 0 || n_vars > kMaxVars) invalid("n_vars must be between 0 and 30");
  const std::vector<int> samples = std::holds_alternative<int>(n_samples)
                                       ? std::vector<int>{std::get<int>(n_samples)}
                                       : std::get<std::vector<int>>(n_samples);
  if (samples.empty()) invalid("n_samples must hold one count per group");
  int64_t total = 0;
  for (const int count : samples) {
    if (count < 0) invalid("n_samples must be 0 or more");
    total += count;
  }
  const int fewest = *std::min_element(samples.begin(), samples.end());
  const uint64_t used = engine_threads(
      threads, n_vars, static_cast<int>(std::min<int64_t>(total, std::numeric_limits<int>::max())));
  const MemoryBudget budget = available_memory();
  py::dict result;
  result["threads"] = used;
  result["scores"] = total_scores(n_vars);
  result["bytes"] = engine_bytes(n_vars, samples, used,
                                 prunes(EngineOptions::Prune::kAuto, fewest));
  result["margin_bytes"] = margin_bytes(n_vars, samples, used);
  result["available_bytes"] = py::int_(budget.bytes);
  result["memory_limit"] = budget.limit;
  result["sort"] = residual_sort_name(SortChoice::kAuto);
  result["arithmetic"] = kernel_arithmetic();
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
        py::arg("prune") = py::none(), py::arg("candidate_buffers") = 0,
        R"doc(Best sink of every subset of X's columns, and the best total.

X: n_samples x n_vars data (n_vars <= 30); C: its Gram matrix X^T X, or
None to have it computed here (in a fixed order, without BLAS);
R: the n_samples sorted reference values. X in the search's column layout
(reads_in_place), C and R are read where they are for the length of the
call: do not change them from another thread meanwhile. Returns (sinks,
total): entry S of the int8 table is the last variable of the best ordering
of the subset with bit mask S (-1 where none scores above -inf), and total
is the best total of all variables, a float32 value widened to float.
Bit-identical to _exhaustive_kernel._sink_dp.

Groups sharing one order: X a list of matrices with the same columns (any
number of rows each), C None or a list (entries None or Gram matrices), R a
list of reference vectors, one per group. A candidate's score is then the
sum of its scores in each group, in double precision and in group order;
with one group every bit is as for that group alone.

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
wait ('block' or 'spin'), sort ('auto', 'djbsort', 'vqsort'),
slice_seconds (the work between two checks for Ctrl-C and progress) and
prune (bound each candidate sink's score first and sort only those that can
still win: None, the default, where it pays, from 400 samples on; True
always; False never) and candidate_buffers (with pruning, how many
candidates' residuals a worker computes at once; 0 chooses from memory,
keeping the buffers within half the size of the data on large tables)
choose policies that never change the result; they are for benchmarks and
tests.)doc");
  py::class_<varkel::Search>(m, "Search", R"doc(One search, relaxed level by level.

Search(X, C, R, *, threads, successors, wait, sort, slice_seconds, prune) takes the
arguments of search(). Level k holds the subsets of k variables, addressed by
their rank in ascending order of their bit masks. Level k can be relaxed
once level k - 1 is complete, in any number of parts (relax_level with rank
ranges), or filled by the caller through the writable views level_totals()
and level_sinks() (from a checkpoint, or from other processes); then
complete_level(k) makes it the level the next one reads. run() does the
remaining levels here. sinks is the table of all sinks (as search returns
it), total the best total once the last level is complete. The results never
depend on how the levels were split. C and R are copied; X is copied too
unless it is in the column layout (reads_in_place), which is read where it
is: leave it unchanged while the Search lives.)doc")
      .def(py::init<const py::object&, const py::object&, const py::object&, uint64_t,
                    const std::optional<std::vector<int64_t>>&, const std::string&,
                    const std::string&, double, std::optional<bool>>(),
           py::arg("X"), py::arg("C"), py::arg("R"), py::pos_only(), py::kw_only(),
           py::arg("threads") = 0, py::arg("successors") = py::none(),
           py::arg("wait") = "block", py::arg("sort") = "auto",
           py::arg("slice_seconds") = 0.05, py::arg("prune") = py::none())
      .def_property_readonly("n_vars", &varkel::Search::n_vars)
      .def_property_readonly("threads", &varkel::Search::threads)
      .def_property_readonly("completed_level", &varkel::Search::completed_level)
      .def_property_readonly("scores", &varkel::Search::scores)
      .def_property_readonly("skipped", &varkel::Search::skipped,
                             "Candidate sinks whose sort pruning has skipped so far.")
      .def_property_readonly("sinks", &varkel::Search::sinks)
      .def_property_readonly("total", &varkel::Search::total)
      .def("level_size", &varkel::Search::level_size, py::arg("k"),
           "The number of subsets in level k.")
      .def("scores_before", &varkel::Search::scores_before, py::arg("k"),
           "The scores of the levels below level k.")
      .def("relax_level", &varkel::Search::relax_level, py::arg("k"), py::arg("first") = 0,
           py::arg("last") = py::none(), py::kw_only(), py::arg("progress") = py::none(),
           py::arg("progress_interval") = 0.5,
           "Relaxes the subsets of level k with ranks [first, last) (all by default).")
      .def(
          "level_totals",
          [](const py::object& self) { return self.cast<varkel::Search&>().level_totals(self); },
          "The float32 totals of the level being filled (the next one), by rank; writable.")
      .def(
          "level_sinks",
          [](const py::object& self) { return self.cast<varkel::Search&>().level_sinks(self); },
          "The int8 sinks of the level being filled (the next one), by rank; writable.")
      .def("complete_level", &varkel::Search::complete_level, py::arg("k"),
           "Makes level k, relaxed or filled, the level the next one reads.")
      .def("run", &varkel::Search::run, py::kw_only(), py::arg("progress") = py::none(),
           py::arg("progress_interval") = 0.5,
           "Relaxes and completes the remaining levels; returns (sinks, total).");
  m.def("order_margins", &varkel::order_margins, py::arg("X"), py::arg("C"), py::arg("R"),
        py::arg("order"), py::pos_only(), py::kw_only(), py::arg("threads") = 0,
        py::arg("successors") = py::none(), py::arg("progress") = py::none(),
        py::arg("progress_interval") = 0.5, py::arg("sort") = "auto",
        py::arg("slice_seconds") = 0.05,
        R"doc(How far `order` (a best order, first variable first) is from the rest.

With order=None the best order is searched here, from the same stored
scores by the search's own rule: the dict then also holds `sinks` and
`search_total`, bit-identical to search()'s, and the margins are those of
the order the sinks give (NaN when no order has a finite score). That costs
one evaluation of each score, where search() then order_margins() cost two.

Stores every allowed score (n_vars * 2^(n_vars - 1) doubles) and sums totals
in double precision. Returns a dict:
  margins: (n, n); [i, j] is order's total less the best total of an order
    with x_j before x_i: 0 where order has x_j before x_i, +inf where the
    constraints allow no such order, never negative;
  total: order's total, its scores summed first to last in double;
  runner_up_order, runner_up_total: the best other order and its total
    ([] and -inf when no other order is allowed).
X, C, R, threads, successors, progress, sort and slice_seconds are as in
search(); Ctrl-C and the memory check too. The result never depends on
threads.)doc");
  m.def("score", &varkel::single_score, py::arg("X"), py::arg("C"), py::arg("R"),
        py::arg("target"), py::arg("parents"), py::pos_only(), py::kw_only(),
        py::arg("sort") = "auto",
        "The score of column `target` given the parent set `parents` (a bit mask); with "
        "groups (as in search()), the sum of the groups' scores in group order.");
  m.def("gram",
        [](const py::object& X) {
          return varkel::gram_or_given(varkel::readable_matrix(X), std::nullopt);
        },
        py::arg("X"), py::pos_only(),
        "X^T X, summed over the samples in order: the Gram matrix the search uses when C is None.");
  // The column layout's padding, for varkel.column_table.
  m.attr("COLUMN_ALIGNMENT") = varkel::kColumnAlignment;
  m.def("reads_in_place",
        [](const py::object& X) { return varkel::borrowable_stride(X) != 0; }, py::arg("X"),
        py::pos_only(),
        "Whether search() reads X where it is, without copying it: X is a float64 "
        "samples x variables matrix in the search's column layout (varkel.column_table).");
  m.def("plan", &varkel::plan, py::arg("n_vars"), py::arg("n_samples"), py::pos_only(),
        py::kw_only(), py::arg("threads") = 0,
        "What a search of this size would use: threads, scores, bytes, and the memory "
        "available (available_bytes, memory_limit), and the sort chosen here.");
}
