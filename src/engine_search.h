// The engine's exhaustive search: the same tables and total as
// _exhaustive_kernel's search, bit for bit, with faster policies.
//
// - Scores come from ColumnScorer (column-major data, vector residuals, the
//   sort decided once per process).
// - Levels are addressed by subset rank, so no table of masks is kept; the
//   sinks take one byte each.
// - Each level is relaxed in slices of about `slice_seconds` of work; between
//   slices the calling thread runs a hook (progress, interrupts) that may
//   throw to stop the search.
// - Optional order constraints restrict which members may be a subset's sink.
// Within a level every subset is relaxed by exactly one task and reads only
// the level below, so slicing and thread counts never change a bit.
#ifndef VARKEL_ENGINE_SEARCH_H_
#define VARKEL_ENGINE_SEARCH_H_

#include <cstdint>
#include <functional>
#include <vector>

#include "column_scorer.h"
#include "hwy/contrib/thread_pool/thread_pool.h"
#include "sorts.h"
#include "thread_pool.h"

namespace varkel {

struct EngineProblem {
  const double* X;  // n_samples x n_vars, row-major
  const double* C;  // n_vars x n_vars
  const double* R;  // n_samples
  int n_samples;
  int n_vars;
  // Empty, or n_vars masks: bit j of successors[i] says variable i must come
  // before variable j in the order.
  std::vector<uint32_t> successors;
};

struct EngineOptions {
  uint64_t threads = 0;  // 0: every processor available; larger counts are capped
  hwy::PoolWaitMode wait_mode = hwy::PoolWaitMode::kBlock;
  SortChoice sort = SortChoice::kAuto;
  double slice_seconds = 0.05;
};

// Called on the calling thread after each slice with the number of scores
// accounted for so far and in all; may throw to stop the search.
using SliceHook = std::function<void(uint64_t done, uint64_t total)>;

// Scores of a search over n_vars variables: n_vars * 2^(n_vars - 1).
uint64_t total_scores(int n_vars);

// Threads the engine uses: `requested` (0 = all) capped at the processors
// the calling thread may run on, and 1 for searches too small to repay
// starting workers.
uint64_t engine_threads(uint64_t requested, int n_vars, int n_samples);

// Bytes the engine allocates for a search: the tables (5 bytes per subset),
// the column-major copy of X and one residual buffer per thread.
uint64_t engine_bytes(int n_vars, int n_samples, uint64_t threads);

class EngineSearch {
 public:
  // Allocates the column copy, the scratch and the pool. Throws
  // std::bad_alloc or std::runtime_error (refused worker threads).
  EngineSearch(EngineProblem problem, const EngineOptions& options);

  uint64_t threads() const { return threads_; }

  // Fills best_total (2^n floats) and best_sink (2^n bytes) and returns the
  // best total of the full set. Entries of subsets that no order allowed by
  // the constraints can reach are -inf and -1.
  float run(float* best_total, int8_t* best_sink, const SliceHook& between_slices);

 private:
  void relax_ranks(int k, uint64_t first, uint64_t last);
  void relax_run(int k, uint64_t first, uint64_t last, size_t worker);
  void relax(uint32_t mask, double* z);

  EngineProblem problem_;
  std::vector<uint32_t> predecessors_;
  ColumnScorer scorer_;
  uint64_t threads_;
  double slice_seconds_;
  PoolPtr pool_;
  hwy::AlignedFreeUniquePtr<double[]> scratch_;
  float* best_total_ = nullptr;
  int8_t* best_sink_ = nullptr;
};

}  // namespace varkel

#endif  // VARKEL_ENGINE_SEARCH_H_
