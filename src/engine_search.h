// The engine's exhaustive search: the same tables and total as
// _exhaustive_kernel's search, bit for bit, with faster policies and
// compact tables.
//
// - Scores come from ColumnScorer (column-major data, batched regressions,
//   vector residuals, the sort decided once per process).
// - Subsets of a level are addressed by their rank (subsets.h). Only two
//   levels of totals are kept, in rank order: the level being relaxed and
//   the one below it, whose totals it reads. Each level's sinks (one byte
//   each) are kept in rank order until the level is complete, then go into
//   the table of all sinks by mask.
// - A level is relaxed in slices of about `slice_seconds` of work; between
//   slices the calling thread runs a hook (progress, interrupts) that may
//   throw to stop the search.
// - A level may be relaxed in parts (any ranges of its ranks, in any order,
//   by this or other processes) before it is completed; this is how
//   checkpoints resume and how several processes share a level.
// - Optional order constraints restrict which members may be a subset's sink.
// Within a level every subset is relaxed once and reads only the level
// below, so slicing, parts and thread counts never change a bit.
#ifndef VARKEL_ENGINE_SEARCH_H_
#define VARKEL_ENGINE_SEARCH_H_

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "column_scorer.h"
#include "group_scorer.h"
#include "hwy/contrib/thread_pool/thread_pool.h"
#include "sorts.h"
#include "thread_pool.h"

namespace varkel {

// One or more data groups over the same variables; a candidate's score is
// the sum of its scores in each group (group_scorer.h).
struct EngineProblem {
  std::vector<DataGroup> groups;  // at least one
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
  // Bound every candidate sink's score first and sort only those that can
  // still win their subset (score_bound.h); never changes a result. Auto:
  // where it pays, from kMinSamplesToPrune samples on (below, a sort costs
  // less than the bound saves).
  enum class Prune { kAuto, kAlways, kNever } prune = Prune::kAuto;
  // With pruning, how many candidates' residuals a worker computes at once
  // (each needs a buffer); 0 chooses from memory (candidate_buffers). Never
  // changes a result.
  int candidate_buffers = 0;
};

// The groups' numbers of samples, their sum, and the smallest.
std::vector<int> group_samples(const EngineProblem& problem);
int total_samples(const EngineProblem& problem);
int fewest_samples(const EngineProblem& problem);

// Called on the calling thread after each slice with the number of scores
// accounted for so far and in all; may throw to stop the search.
using SliceHook = std::function<void(uint64_t done, uint64_t total)>;

// Scores of a search over n_vars variables: n_vars * 2^(n_vars - 1).
uint64_t total_scores(int n_vars);

// Scores of level k: k * binomial(n_vars, k).
uint64_t level_scores(int n_vars, int k);

// Threads the engine uses: `requested` (0 = all) capped at the processors
// the calling thread may run on, and 1 for searches too small to repay
// starting workers.
uint64_t engine_threads(uint64_t requested, int n_vars, int n_samples);

// Residual buffers (every group's) per worker: one without pruning. With
// pruning, `requested` (capped at n_vars), or for 0 one per variable, so
// that a subset's candidates are computed together, unless all workers'
// buffers would then outweigh both half the data in the engine's column
// layout (copied or borrowed) and kCandidateScratchFloor bytes: then as
// many as keep them within the larger. On data of many rows this keeps the
// buffers within half the size of the data; fewer buffers cost little
// there (bench/candidate_buffers.py).
size_t candidate_buffers(int n_vars, const std::vector<int>& group_samples, uint64_t workers,
                         bool prune, int requested);
constexpr uint64_t kCandidateScratchFloor = uint64_t{16} << 20;

// Bytes the engine allocates for a search: the table of sinks (one byte per
// subset), two levels of totals and one level of sinks at the widest level,
// the column-major copies of the groups' X (unless `copies_data` is false:
// the data are borrowed in that layout), and per thread the regressions of
// one subset and candidate_buffers residual buffers.
uint64_t engine_bytes(int n_vars, const std::vector<int>& group_samples, uint64_t threads,
                      bool prune, int requested_buffers = 0, bool copies_data = true);

// Samples from which pruning pays (measured with bench/engine.py).
constexpr int kMinSamplesToPrune = 400;

// Whether a search prunes, by its option and its smallest group's samples.
bool prunes(EngineOptions::Prune option, int n_samples);

class EngineSearch {
 public:
  // Allocates the column copy, the level buffers, the scratch and the pool;
  // `sink_table` (2^n bytes, owned by the caller) receives the sinks of each
  // completed level. Throws std::bad_alloc or std::runtime_error (refused
  // worker threads).
  EngineSearch(EngineProblem problem, const EngineOptions& options, int8_t* sink_table);

  int n_vars() const { return problem_.n_vars; }
  uint64_t threads() const { return threads_; }
  int completed_level() const { return completed_; }

  // Relaxes the subsets of level k with ranks [first, last), writing their
  // totals and sinks into level_totals() and level_sinks() at those ranks.
  // `done_before` scores are reported as done before this call. Requires
  // level k - 1 to be complete and k the next level.
  void relax_level(int k, uint64_t first, uint64_t last, uint64_t done_before,
                   const SliceHook& between_slices);

  // The level being filled (completed_level() + 1), in rank order: one
  // total and one sink per subset. A caller may fill them itself (from a
  // checkpoint, or from other processes) instead of relaxing.
  float* level_totals() { return current_totals_.get(); }
  int8_t* level_sinks() { return current_sinks_.get(); }

  // Declares level k (the next level) filled: its sinks go into the sink
  // table and its totals become the ones the next level reads.
  void complete_level(int k);

  // The best total of all variables; valid once the last level is complete.
  float best_total() const { return previous_totals_[0]; }

  // Relaxes and completes every remaining level on this process.
  float run(const SliceHook& between_slices);

  // Candidate sinks whose sort pruning skipped so far.
  uint64_t skipped() const { return skipped_.load(std::memory_order_relaxed); }

  // Claims the search for one caller at a time; false when already claimed.
  bool try_claim() { return !busy_.exchange(true); }
  void release() { busy_.store(false); }

 private:
  void relax_ranks(int k, uint64_t first, uint64_t last);
  void relax_run(int k, uint64_t first, uint64_t last, size_t worker);
  void relax(uint32_t mask, uint64_t rank, CandidateRegressions* regressions, double* z,
             double* sds);
  // The pruned relaxation: the scores of `candidates` (members of the
  // regressions' subset), each sorted only if it can still win; others get
  // -inf. Same result as scoring all of them.
  void score_pruned(const CandidateRegressions* regressions, uint32_t candidates,
                    const float* parent_totals, double* z, double* sds,
                    double* scores);

  EngineProblem problem_;
  std::vector<uint32_t> predecessors_;
  GroupScorer scorer_;
  bool prune_;
  uint64_t threads_;
  double slice_seconds_;
  PoolPtr pool_;
  // Workers of the pool, or 1 (the calling thread) without one.
  size_t workers() const { return pool_ ? pool_->NumWorkers() : 1; }
  // Residual buffers per worker (candidate_buffers).
  size_t buffers_per_worker_;
  // Standard deviations per worker and group: one per candidate position
  // when pruning, else one.
  size_t deviations_per_worker() const {
    return prune_ ? static_cast<size_t>(std::max(problem_.n_vars, 1)) : 1;
  }
  hwy::AlignedFreeUniquePtr<double[]> scratch_;
  std::unique_ptr<CandidateRegressions[]> regressions_;  // groups() per worker
  std::unique_ptr<double[]> deviations_;  // each candidate's groups' sd, per worker
  std::unique_ptr<float[]> previous_totals_;
  std::unique_ptr<float[]> current_totals_;
  std::unique_ptr<int8_t[]> current_sinks_;
  int8_t* sink_table_;
  int completed_ = 0;
  // Scores per second over the last slice, with every worker busy, and the
  // size of that slice, for sizing the next one.
  double rate_ = 0.0;
  uint64_t last_slice_scores_ = 0;
  std::atomic<bool> busy_{false};
  std::atomic<uint64_t> skipped_{0};
};

}  // namespace varkel

#endif  // VARKEL_ENGINE_SEARCH_H_
