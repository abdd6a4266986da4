// The level loop of _exhaustive_kernel's search; see level_search.h.
#include "level_search.h"

#include <algorithm>

#include "relax.h"
#include "score.h"

namespace varkel {

namespace {

// Relaxes entries [first, last) of masks_by_level with the scratch of `worker`.
void relax_range(const LevelSearch& search, size_t first, size_t last, size_t worker) {
  double* residuals = search.scratch + worker * search.scratch_stride;
  const auto score = [&](int target, uint32_t parents) {
    return score_with_buffer(search.X, search.C, search.R, search.n_samples, search.n_vars,
                             target, static_cast<int>(parents), residuals);
  };
  const auto parent_total = [&](int, uint32_t parents) { return search.best_total[parents]; };
  for (size_t j = first; j < last; ++j) {
    const uint32_t mask = static_cast<uint32_t>(search.masks_by_level[j]);
    const Relaxed relaxed = relax_subset(mask, mask, score, parent_total);
    search.best_total[mask] = relaxed.total;
    search.best_sink[mask] = relaxed.sink;
  }
}

}  // namespace

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

void relax_level(const LevelSearch& search, hwy::ThreadPool* pool, uint64_t start,
                 uint64_t size) {
  if (pool == nullptr || size < 2) {
    relax_range(search, start, start + size, 0);
    return;
  }
  const uint64_t tasks = std::min<uint64_t>(4 * pool->NumWorkers(), size);
  const uint64_t chunk = (size + tasks - 1) / tasks;
  pool->Run(0, tasks, [&](uint64_t task, size_t worker) {
    const uint64_t first = task * chunk;
    const uint64_t last = std::min((task + 1) * chunk, size);
    if (last > first) relax_range(search, start + first, start + last, worker);
  });
}

}  // namespace varkel
