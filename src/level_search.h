// The level loop of _exhaustive_kernel's search over a table of masks
// sorted by member count.
//
// For every subset S of the n variables the search finds the best total of an
// ordering of S and the member placed last (the sink). Subsets are relaxed
// level by level (all subsets of one size), so each level reads only final
// entries of the level below. A level is split into contiguous chunks that a
// thread pool relaxes concurrently; every subset's entries are written by
// exactly one task, so the tables are bit-identical for every thread count.
#ifndef VARKEL_LEVEL_SEARCH_H_
#define VARKEL_LEVEL_SEARCH_H_

#include <cstddef>
#include <cstdint>

#include "hwy/contrib/thread_pool/thread_pool.h"

namespace varkel {

// The read-only inputs of every relaxation, and the two tables it writes.
struct LevelSearch {
  const double* X;  // n_samples x n_vars, row-major
  const double* C;
  const double* R;
  float* best_total;
  int* best_sink;
  const int* masks_by_level;
  int n_samples;
  int n_vars;
  double* scratch;        // one residual buffer of n_samples per worker
  size_t scratch_stride;  // = n_samples
};

// Fills masks_by_level with every non-empty mask, grouped by member count
// (a stable counting sort, so ascending within a level), and level_offsets
// with the start of each level.
void order_masks_by_level(int n_vars, int* masks_by_level, int* level_offsets,
                          int* level_counts, int* level_cursor);

// Relaxes one level, entries [start, start + size) of masks_by_level. Small
// levels and pool-less calls run on the calling thread; otherwise the level
// is cut into at most 4 tasks per worker of contiguous chunks.
void relax_level(const LevelSearch& search, hwy::ThreadPool* pool, uint64_t start,
                 uint64_t size);

}  // namespace varkel

#endif  // VARKEL_LEVEL_SEARCH_H_
