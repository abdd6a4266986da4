// The Python module _exhaustive_kernel: its one function _sink_dp, the
// exhaustive subset search behind it, and the score of one target given a
// parent set.
//
// For every subset S of the n variables the search finds the best total of an
// ordering of S and the member placed last (the sink): the maximum over
// members i of best_total[S \ {i}] + score(i | S \ {i}). Subsets are relaxed
// level by level (all subsets of one size), so each level reads only final
// entries of the level below. Each level is split into contiguous chunks and
// relaxed on a per-call thread pool with the interpreter lock released.
// Every subset's entries are written by exactly one task, so the tables are
// bit-identical for every thread count.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "hwy/aligned_allocator.h"
#include "hwy/contrib/thread_pool/thread_pool.h"
#include "hwy/contrib/thread_pool/topology.h"
#include "varkel.h"

namespace py = pybind11;

namespace varkel {

// ---------------------------------------------------------------------------
// Target score: least squares through a packed Cholesky factorisation of the
// normal equations taken from C, then the mean squared difference between
// the sorted standardised residuals and R. All arithmetic is plain IEEE
// double with one rounding per operation, in the order written.

namespace {
// Fixed scratch of one score: up to 31 parents plus the target.
constexpr int kMaxRows = 32;
constexpr int kPackedCapacity = kMaxRows * (kMaxRows + 1) / 2;

// Position of entry (row, col), col <= row, in the packed lower triangle.
inline int packed_index(int row, int col) { return row * (row + 1) / 2 + col; }
}  // namespace

int popcount(int mask) noexcept {
  int count = 0;
  while (mask != 0) {
    count += mask & 1;
    mask >>= 1;
  }
  return count;
}

int build_system(const double* C, int n_vars, int target, int mask, double* packed,
                 int* idx) noexcept {
  int k = 0;
  double* row = packed;
  // Rows of the parents in ascending order: the row of the higher-indexed
  // parent, the column of the lower one, then the parent's diagonal.
  for (int j = 0; j < n_vars; ++j) {
    if (((mask >> j) & 1) == 0) continue;
    const double* c_row = C + j * n_vars;
    for (int c = 0; c < k; ++c) *row++ = c_row[idx[c]];
    *row++ = c_row[j];
    idx[k++] = j;
  }
  // The target's row always comes from row `target` of C.
  const double* t_row = C + target * n_vars;
  for (int c = 0; c < k; ++c) *row++ = t_row[idx[c]];
  *row = t_row[target];
  return k;
}

double cholesky(double* packed, int k) noexcept {
  for (int i = 0; i <= k; ++i) {
    double* row_i = packed + packed_index(i, 0);
    for (int j = 0; j < i; ++j) {
      const double* row_j = packed + packed_index(j, 0);
      double v = row_i[j];
      for (int c = 0; c < j; ++c) v = v - row_j[c] * row_i[c];
      row_i[j] = v / row_j[j];
    }
    double d = row_i[i];
    for (int c = 0; c < i; ++c) d = d - row_i[c] * row_i[c];
    // No tolerance: any positive pivot is accepted. A NaN pivot fails this
    // test, and its NaN flows on into the result.
    if (d <= 0.0) return std::numeric_limits<double>::quiet_NaN();
    row_i[i] = std::sqrt(d);
  }
  const double last = packed[packed_index(k, k)];
  return last * last;
}

void solve_coefficients(const double* packed, int k, double* beta) noexcept {
  const double* target_row = packed + packed_index(k, 0);
  for (int c = 0; c < k; ++c) beta[c] = target_row[c];
  for (int r = k - 1; r >= 0; --r) {
    double v = beta[r];
    for (int i = r + 1; i < k; ++i) v = v - packed[packed_index(i, r)] * beta[i];
    beta[r] = v / packed[packed_index(r, r)];
  }
}

void compute_residuals(const double* X, int n_samples, int n_vars, int target, int mask,
                       const double* beta, double* residuals) noexcept {
  for (int s = 0; s < n_samples; ++s) {
    const double* x_row = X + s * n_vars;
    double e = x_row[target];
    int c = 0;
    for (int j = 0; j < n_vars; ++j) {
      if (((mask >> j) & 1) == 0) continue;
      e = e - x_row[j] * beta[c];
      ++c;
    }
    residuals[s] = e;
  }
}

// Preconditions: n_vars <= 32 and bit `target` of mask clear (at most 31
// parents); X holds fewer than 2^31 elements; residuals has room for
// n_samples doubles.
double score_with_buffer(const double* X, const double* C, const double* R, int n_samples,
                         int n_vars, int target, int mask, double* residuals) noexcept {
  int idx[kMaxRows];
  double packed[kPackedCapacity];
  double beta[kMaxRows];
  const int k = build_system(C, n_vars, target, mask, packed, idx);
  const double rss = cholesky(packed, k);
  if (std::isnan(rss)) return rss;
  solve_coefficients(packed, k, beta);
  // With no samples the mean of zero squared differences is 0 / 0.
  if (n_samples <= 0) return std::numeric_limits<double>::quiet_NaN();
  compute_residuals(X, n_samples, n_vars, target, mask, beta, residuals);
  const double count = static_cast<double>(n_samples);
  const double sd = std::sqrt(rss / count);
  // A true division per element, not a multiplication by 1 / sd.
  for (int s = 0; s < n_samples; ++s) residuals[s] = residuals[s] / sd;
  sort_values(residuals, static_cast<unsigned long>(n_samples));
  return sum_squared_differences(residuals, R, n_samples) / count;
}

double score(const double* X, const double* C, const double* R, int n_samples, int n_vars,
             int target, int mask) noexcept {
  std::unique_ptr<double[]> residuals;
  if (n_samples > 0) {
    residuals.reset(new (std::nothrow) double[static_cast<size_t>(n_samples)]);
    if (!residuals) return std::numeric_limits<double>::quiet_NaN();
  }
  return score_with_buffer(X, C, R, n_samples, n_vars, target, mask, residuals.get());
}

// ---------------------------------------------------------------------------
// Subset search.

namespace {

// The read-only inputs of every relaxation, and the two tables it writes.
struct SearchContext {
  const double* X;
  const double* C;
  const double* R;
  float* best_total;
  int* best_sink;
  const int* masks_by_level;
  int n_samples;
  int n_vars;
  double* scratch;       // one residual buffer of n_samples per worker
  size_t scratch_stride;  // = n_samples
};

// Relaxes subset `mask`: each member in turn is the sink; ties keep the lowest
// index, and NaN or -inf candidates never win.
void process_mask(const double* X, const double* C, const double* R, float* best_total,
                  int* best_sink, int mask, int n_samples, int n_vars,
                  double* residuals) noexcept {
  float best = -std::numeric_limits<float>::infinity();
  int sink = -1;
  for (int i = 0; (mask >> i) != 0; ++i) {
    if (((mask >> i) & 1) == 0) continue;
    const int parents = mask ^ (1 << i);
    const double s = score_with_buffer(X, C, R, n_samples, n_vars, i, parents, residuals);
    const float candidate = static_cast<float>(s) + best_total[parents];
    if (candidate > best) {
      best = candidate;
      sink = i;
    }
  }
  best_total[mask] = best;
  best_sink[mask] = sink;
}

// Relaxes entries [first, last) of masks_by_level with the scratch of `worker`.
void relax_range(const SearchContext& ctx, size_t first, size_t last, size_t worker) {
  double* residuals = ctx.scratch + worker * ctx.scratch_stride;
  for (size_t j = first; j < last; ++j) {
    process_mask(ctx.X, ctx.C, ctx.R, ctx.best_total, ctx.best_sink, ctx.masks_by_level[j],
                 ctx.n_samples, ctx.n_vars, residuals);
  }
}

// Number of threads (the calling one included) that should work on a level.
uint64_t resolve_thread_count(uint64_t num_threads) {
  if (num_threads != 0) return num_threads;
  hwy::LogicalProcessorSet processors;
  if (hwy::GetThreadAffinity(processors)) return processors.Count();
  const unsigned hardware = std::thread::hardware_concurrency();
  // Neither source knows the processor count: run on the calling thread
  // alone. Any count gives the same result; one is always safe.
  return hardware != 0 ? hardware : 1;
}

using PoolPtr = std::unique_ptr<hwy::ThreadPool, hwy::AlignedDeleter>;

// A pool of T - 1 spinning workers, or none when T <= 1.
PoolPtr make_pool(uint64_t thread_count) {
  if (thread_count <= 1) return PoolPtr();
  void* memory = hwy::AllocateAlignedBytes(sizeof(hwy::ThreadPool));
  if (memory == nullptr) throw std::bad_alloc();
  hwy::ThreadPool* pool;
  try {
    // Counts above the pool's limit are clamped by the pool itself, with
    // Highway's own warning.
    pool = new (memory) hwy::ThreadPool(static_cast<size_t>(thread_count - 1));
  } catch (const std::system_error& error) {
    // The system refused a worker thread. On this and any other failure of
    // the constructor the memory is kept, not freed: workers already started
    // are detached and still reference it.
    throw std::runtime_error("cannot start " + std::to_string(thread_count - 1) +
                             " worker threads: " + error.what());
  }
  PoolPtr owned(pool);
  owned->SetWaitMode(hwy::PoolWaitMode::kSpin);
  return owned;
}

// Relaxes one level, entries [start, start + size) of masks_by_level. Small
// levels and pool-less calls run on the calling thread; otherwise the level
// is cut into at most 4 tasks per worker of contiguous chunks.
void relax_level(const SearchContext& ctx, hwy::ThreadPool* pool, uint64_t start,
                 uint64_t size) {
  if (pool == nullptr || size < 2) {
    relax_range(ctx, start, start + size, 0);
    return;
  }
  const uint64_t tasks = std::min<uint64_t>(4 * pool->NumWorkers(), size);
  const uint64_t chunk = (size + tasks - 1) / tasks;
  pool->Run(0, tasks, [&](uint64_t task, size_t worker) {
    const uint64_t first = task * chunk;
    const uint64_t last = std::min((task + 1) * chunk, size);
    if (last > first) relax_range(ctx, start + first, start + last, worker);
  });
}

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

// Fills masks_by_level with every non-empty mask, grouped by member count
// (a stable counting sort, so ascending within a level), and level_offsets
// with the start of each level.
void order_masks_by_level(int n_vars, int* masks_by_level, int* level_offsets,
                          int* level_counts, int* level_cursor) {
  const int subsets = 1 << n_vars;
  std::fill(level_offsets, level_offsets + n_vars + 2, 0);
  std::fill(level_counts, level_counts + n_vars + 1, 0);
  for (int m = 1; m < subsets; ++m) ++level_counts[popcount(m)];
  for (int k = 1; k <= n_vars; ++k) level_offsets[k + 1] = level_offsets[k] + level_counts[k];
  std::copy(level_offsets, level_offsets + n_vars + 2, level_cursor);
  for (int m = 1; m < subsets; ++m) masks_by_level[level_cursor[popcount(m)]++] = m;
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

  PoolPtr pool = make_pool(resolve_thread_count(num_threads));
  const size_t workers = pool ? pool->NumWorkers() : 1;
  // One residual buffer per worker, allocated here so that running out of
  // memory is a MemoryError before the search starts rather than a silent
  // NaN score inside it.
  std::vector<double> scratch(workers * static_cast<size_t>(n_samples));

  const SearchContext ctx{static_cast<const double*>(x_view.ptr),
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
      relax_level(ctx, pool.get(), start, size);
    }
  }
  return py::make_tuple(best_sink, static_cast<double>(totals[subsets - 1]));
}

}  // namespace varkel

// The test-only module compiles this file too, for direct access to the
// score, and leaves the module definition out.
#ifndef VARKEL_OMIT_MODULE_DEFINITION
PYBIND11_MODULE(_exhaustive_kernel, m, py::mod_gil_not_used(),
                py::multiple_interpreters::not_supported()) {
  m.def("_sink_dp", &varkel::sink_dp);
}
#endif
