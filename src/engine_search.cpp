// The engine's exhaustive search; see engine_search.h.
#include "engine_search.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <utility>

#include "relax.h"
#include "subsets.h"

namespace varkel {

namespace {

// Below this many (score x sample) units, about 5 ms of work, starting
// workers costs more than it saves.
constexpr double kMinParallelWork = 2e6;

// Tasks per worker within a slice: enough that work stealing evens out the
// unequal cost of subsets.
constexpr uint64_t kTasksPerWorker = 32;

// A slice never grows more than this factor over the previous one, so that
// a cheap level does not make the first slice of a dearer one too long.
constexpr double kMaxSliceGrowth = 4.0;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

uint64_t total_scores(int n_vars) {
  return n_vars > 0 ? static_cast<uint64_t>(n_vars) << (n_vars - 1) : 0;
}

uint64_t engine_threads(uint64_t requested, int n_vars, int n_samples) {
  const uint64_t available = processors_available();
  const uint64_t threads = requested == 0 ? available : std::min(requested, available);
  const double work =
      static_cast<double>(total_scores(n_vars)) * static_cast<double>(std::max(n_samples, 1));
  return work < kMinParallelWork ? 1 : threads;
}

uint64_t engine_bytes(int n_vars, int n_samples, uint64_t threads) {
  const uint64_t subsets = uint64_t{1} << n_vars;
  return subsets * (sizeof(float) + sizeof(int8_t)) +
         ColumnScorer::column_bytes(n_samples, n_vars) +
         std::max<uint64_t>(threads, 1) * ColumnScorer::scratch_bytes(n_samples);
}

EngineSearch::EngineSearch(EngineProblem problem, const EngineOptions& options)
    : problem_(std::move(problem)),
      scorer_(problem_.X, problem_.C, problem_.R, problem_.n_samples, problem_.n_vars,
              residual_sort(options.sort)),
      threads_(engine_threads(options.threads, problem_.n_vars, problem_.n_samples)),
      slice_seconds_(options.slice_seconds),
      pool_(make_pool(threads_, options.wait_mode)),
      scratch_(scorer_.make_scratch(pool_ ? pool_->NumWorkers() : 1)) {
  if (!problem_.successors.empty()) {
    predecessors_.assign(static_cast<size_t>(problem_.n_vars), 0);
    for (int i = 0; i < problem_.n_vars; ++i) {
      for (int j = 0; j < problem_.n_vars; ++j) {
        if ((problem_.successors[i] >> j) & 1) predecessors_[j] |= uint32_t{1} << i;
      }
    }
  }
}

void EngineSearch::relax(uint32_t mask, double* z) {
  uint32_t candidates = mask;
  if (!predecessors_.empty()) {
    // A subset that lacks a required predecessor of one of its members is
    // never a prefix of an allowed order: skip it without scoring. Otherwise
    // a member may be the sink only if no member must come after it.
    for (uint32_t rest = mask; rest != 0; rest &= rest - 1) {
      const int j = __builtin_ctz(rest);
      if ((predecessors_[j] & ~mask) != 0) {
        best_total_[mask] = -std::numeric_limits<float>::infinity();
        best_sink_[mask] = -1;
        return;
      }
      if ((problem_.successors[j] & mask) != 0) candidates &= ~(uint32_t{1} << j);
    }
  }
  CandidateRegressions regressions;
  scorer_.regress_subset(mask, &regressions);
  relax_subset(mask, candidates, best_total_, best_sink_, [&](int target, uint32_t) {
    // Candidates are the members in ascending order.
    const int j = __builtin_popcount(mask & ((uint32_t{1} << target) - 1));
    return scorer_.score_candidate(regressions, j, z);
  });
}

void EngineSearch::relax_run(int k, uint64_t first, uint64_t last, size_t worker) {
  double* z = scratch_.get() + worker * scorer_.stride();
  uint32_t mask = unrank_subset(first, k, problem_.n_vars);
  for (uint64_t rank = first; rank < last; ++rank) {
    relax(mask, z);
    if (rank + 1 < last) mask = next_subset(mask);
  }
}

void EngineSearch::relax_ranks(int k, uint64_t first, uint64_t last) {
  const uint64_t size = last - first;
  if (!pool_ || size < 2) {
    relax_run(k, first, last, 0);
    return;
  }
  const uint64_t tasks = std::min<uint64_t>(kTasksPerWorker * pool_->NumWorkers(), size);
  const uint64_t chunk = (size + tasks - 1) / tasks;
  pool_->Run(0, tasks, [&](uint64_t task, size_t worker) {
    const uint64_t begin = first + task * chunk;
    const uint64_t end = std::min(begin + chunk, last);
    if (end > begin) relax_run(k, begin, end, worker);
  });
}

float EngineSearch::run(float* best_total, int8_t* best_sink, const SliceHook& between_slices) {
  best_total_ = best_total;
  best_sink_ = best_sink;
  const int n = problem_.n_vars;
  best_total[0] = 0.0f;
  best_sink[0] = -1;
  const uint64_t total = total_scores(n);
  uint64_t done = 0;
  // Scores per second over the last slice, with every worker busy.
  double rate = 0.0;
  uint64_t last_slice_scores = 0;
  for (int k = 1; k <= n; ++k) {
    const uint64_t count = binomial(n, k);
    for (uint64_t rank = 0; rank < count;) {
      uint64_t slice = 16 * threads_;
      if (rate > 0.0) {
        const double wanted = std::min(rate * slice_seconds_,
                                       kMaxSliceGrowth * static_cast<double>(last_slice_scores));
        slice = static_cast<uint64_t>(std::max(1.0, std::floor(wanted / k)));
      }
      slice = std::min(slice, count - rank);
      const auto start = Clock::now();
      relax_ranks(k, rank, rank + slice);
      const double elapsed = std::max(seconds_since(start), 1e-7);
      rank += slice;
      last_slice_scores = slice * static_cast<uint64_t>(k);
      done += last_slice_scores;
      rate = static_cast<double>(last_slice_scores) / elapsed;
      between_slices(done, total);
    }
  }
  return best_total[(uint64_t{1} << n) - 1];
}

}  // namespace varkel
