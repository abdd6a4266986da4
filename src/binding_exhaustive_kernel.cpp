// The Python module _exhaustive_kernel: its one function _sink_dp, the
// reference form of the exhaustive search.
//
// Its policies are fixed: X is read row-major in place, each score asks the
// processor which djbsort form to use, the tables are NumPy arrays, and a
// per-call pool of spinning workers relaxes each level. The engine
// (binding_engine.cpp) gives the same bits faster.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "level_search.h"
#include "score.h"
#include "thread_pool.h"

namespace py = pybind11;

namespace varkel {

namespace {

// Refuses sizes that would make the search read outside X, C or R, or
// overflow the subset masks. Messages name the argument and both sizes.
void check_sizes(int n_vars, int64_t n_rows, int64_t x_size, int64_t c_size,
                 int64_t r_size) {
  if (n_vars < 0 || n_vars > kMaxVars) {
    throw std::invalid_argument("n_vars must be between 0 and " + std::to_string(kMaxVars) +
                                ", got " + std::to_string(n_vars));
  }
  constexpr int64_t kMaxElements = int64_t{1} << 31;
  if (x_size >= kMaxElements || n_rows >= kMaxElements) {
    throw std::invalid_argument("X must hold fewer than 2^31 elements, got " +
                                std::to_string(x_size) + " in " + std::to_string(n_rows) +
                                " rows");
  }
  const int64_t n = n_vars;
  if (x_size != n_rows * n) {
    throw std::invalid_argument("X must hold n_samples * n_vars = " + std::to_string(n_rows) +
                                " * " + std::to_string(n) + " = " +
                                std::to_string(n_rows * n) + " elements, got " +
                                std::to_string(x_size));
  }
  if (c_size != n * n) {
    throw std::invalid_argument("C must hold n_vars * n_vars = " + std::to_string(n * n) +
                                " elements, got " + std::to_string(c_size));
  }
  if (r_size != n_rows) {
    throw std::invalid_argument("R must hold n_samples = " + std::to_string(n_rows) +
                                " elements, got " + std::to_string(r_size));
  }
}

using IntTable = py::array_t<int, py::array::forcecast>;

}  // namespace

// Preconditions: called with the interpreter lock held (the Python entry
// always holds it); it is released only around the level loop.
py::tuple sink_dp(const py::array_t<double, 17>& X, const py::array_t<double, 17>& C,
                  const py::array_t<double, 17>& R, int n_vars, unsigned long num_threads) {
  // Raises IndexError for a zero-dimensional X before anything is created.
  const int64_t n_rows = X.shape(0);
  check_sizes(n_vars, n_rows, X.size(), C.size(), R.size());
  const int n = n_vars;
  const int n_samples = static_cast<int>(n_rows);
  const int subsets = 1 << n;

  // Tables, in creation order; they are dropped in reverse order on return.
  IntTable masks_by_level(subsets - 1);
  IntTable level_offsets(n + 2);
  IntTable level_counts(n + 1);
  IntTable level_cursor(n + 2);
  py::array_t<float> best_total(subsets);
  IntTable best_sink(subsets);
  int* masks = masks_by_level.mutable_data();
  int* offsets = level_offsets.mutable_data();
  int* counts = level_counts.mutable_data();
  int* cursor = level_cursor.mutable_data();
  float* totals = best_total.mutable_data();
  int* sinks = best_sink.mutable_data();

  std::fill(totals, totals + subsets, 0.0f);
  std::fill(sinks, sinks + subsets, -1);
  order_masks_by_level(n, masks, offsets, counts, cursor);

  const py::buffer_info x_view = X.request();
  const py::buffer_info c_view = C.request();
  const py::buffer_info r_view = R.request();

  PoolPtr pool = make_pool(resolve_thread_count(num_threads), hwy::PoolWaitMode::kSpin);
  const size_t workers = pool ? pool->NumWorkers() : 1;
  // One residual buffer per worker, allocated here so that running out of
  // memory is a MemoryError before the search starts rather than a silent
  // NaN score inside it.
  std::vector<double> scratch(workers * static_cast<size_t>(n_samples));

  const LevelSearch search{static_cast<const double*>(x_view.ptr),
                           static_cast<const double*>(c_view.ptr),
                           static_cast<const double*>(r_view.ptr),
                           totals,
                           sinks,
                           masks,
                           n_samples,
                           n,
                           scratch.data(),
                           static_cast<size_t>(n_samples)};
  {
    py::gil_scoped_release release;
    for (int k = 1; k <= n; ++k) {
      const uint64_t start = static_cast<uint64_t>(offsets[k]);
      const uint64_t size = static_cast<uint64_t>(offsets[k + 1] - offsets[k]);
      relax_level(search, pool.get(), start, size);
    }
  }
  return py::make_tuple(best_sink, static_cast<double>(totals[subsets - 1]));
}

}  // namespace varkel

PYBIND11_MODULE(_exhaustive_kernel, m, py::mod_gil_not_used(),
                py::multiple_interpreters::not_supported()) {
  m.def("_sink_dp", &varkel::sink_dp);
}
