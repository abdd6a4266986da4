// The engine's exhaustive search; see engine_search.h.
#include "engine_search.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
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

// The number of subsets in the widest level, at least 1.
uint64_t widest_level(int n_vars) { return binomial(n_vars, n_vars / 2); }

template <class T>
std::unique_ptr<T[]> allocate(uint64_t count) {
  return std::unique_ptr<T[]>(new T[static_cast<size_t>(std::max<uint64_t>(count, 1))]);
}

}  // namespace

uint64_t total_scores(int n_vars) {
  return n_vars > 0 ? static_cast<uint64_t>(n_vars) << (n_vars - 1) : 0;
}

uint64_t level_scores(int n_vars, int k) { return static_cast<uint64_t>(k) * binomial(n_vars, k); }

uint64_t engine_threads(uint64_t requested, int n_vars, int n_samples) {
  const uint64_t available = processors_available();
  const uint64_t threads = requested == 0 ? available : std::min(requested, available);
  const double work =
      static_cast<double>(total_scores(n_vars)) * static_cast<double>(std::max(n_samples, 1));
  return work < kMinParallelWork ? 1 : threads;
}

bool prunes(EngineOptions::Prune option, int n_samples) {
  return option == EngineOptions::Prune::kAlways ||
         (option == EngineOptions::Prune::kAuto && n_samples >= kMinSamplesToPrune);
}

std::vector<int> group_samples(const EngineProblem& problem) {
  std::vector<int> samples;
  for (const DataGroup& group : problem.groups) samples.push_back(group.n_samples);
  return samples;
}

int total_samples(const EngineProblem& problem) {
  int64_t total = 0;
  for (const DataGroup& group : problem.groups) total += group.n_samples;
  return static_cast<int>(std::min<int64_t>(total, std::numeric_limits<int>::max()));
}

int fewest_samples(const EngineProblem& problem) {
  int fewest = std::numeric_limits<int>::max();
  for (const DataGroup& group : problem.groups) fewest = std::min(fewest, group.n_samples);
  return problem.groups.empty() ? 0 : fewest;
}

size_t candidate_buffers(int n_vars, const std::vector<int>& group_samples, uint64_t workers,
                         bool prune, int requested) {
  const uint64_t all = static_cast<uint64_t>(std::max(n_vars, 1));
  if (!prune) return 1;
  if (requested > 0) return static_cast<size_t>(std::min<uint64_t>(requested, all));
  const uint64_t buffer = std::max<uint64_t>(GroupScorer::scratch_bytes(group_samples), 1) *
                          std::max<uint64_t>(workers, 1);
  const uint64_t allowed =
      std::max(GroupScorer::column_bytes(group_samples, n_vars) / 2, kCandidateScratchFloor);
  return static_cast<size_t>(std::clamp<uint64_t>(allowed / buffer, 1, all));
}

uint64_t engine_bytes(int n_vars, const std::vector<int>& group_samples, uint64_t threads,
                      bool prune, int requested_buffers, bool copies_data) {
  const uint64_t subsets = uint64_t{1} << n_vars;
  const uint64_t level = std::max<uint64_t>(widest_level(n_vars), 1);
  const uint64_t workers = std::max<uint64_t>(threads, 1);
  const uint64_t buffers =
      candidate_buffers(n_vars, group_samples, workers, prune, requested_buffers);
  return subsets + level * (2 * sizeof(float) + sizeof(int8_t)) +
         (copies_data ? GroupScorer::column_bytes(group_samples, n_vars) : 0) +
         workers * group_samples.size() * sizeof(CandidateRegressions) +
         workers * GroupScorer::scratch_bytes(group_samples) * buffers;
}

EngineSearch::EngineSearch(EngineProblem problem, const EngineOptions& options,
                           int8_t* sink_table)
    : problem_(std::move(problem)),
      scorer_(problem_.groups, problem_.n_vars, residual_sort(options.sort)),
      prune_(prunes(options.prune, fewest_samples(problem_))),
      threads_(engine_threads(options.threads, problem_.n_vars, total_samples(problem_))),
      slice_seconds_(options.slice_seconds),
      pool_(make_pool(threads_, options.wait_mode)),
      buffers_per_worker_(candidate_buffers(problem_.n_vars, group_samples(problem_),
                                            workers(), prune_,
                                            options.candidate_buffers)),
      scratch_(scorer_.make_scratch(workers() * buffers_per_worker_)),
      regressions_(allocate<CandidateRegressions>(workers() * scorer_.groups())),
      deviations_(allocate<double>(workers() * deviations_per_worker() * scorer_.groups())),
      previous_totals_(allocate<float>(widest_level(problem_.n_vars))),
      current_totals_(allocate<float>(widest_level(problem_.n_vars))),
      current_sinks_(allocate<int8_t>(widest_level(problem_.n_vars))),
      sink_table_(sink_table) {
  if (!problem_.successors.empty()) {
    predecessors_.assign(static_cast<size_t>(problem_.n_vars), 0);
    for (int i = 0; i < problem_.n_vars; ++i) {
      for (int j = 0; j < problem_.n_vars; ++j) {
        if ((problem_.successors[i] >> j) & 1) predecessors_[j] |= uint32_t{1} << i;
      }
    }
  }
  // Level 0: the empty set, with total 0 and no sink.
  previous_totals_[0] = 0.0f;
  sink_table_[0] = -1;
}

void EngineSearch::relax(uint32_t mask, uint64_t rank, CandidateRegressions* regressions,
                         double* z, double* sds) {
  uint32_t candidates = mask;
  if (!predecessors_.empty()) {
    // A subset that lacks a required predecessor of one of its members is
    // never a prefix of an allowed order: skip it without scoring. Otherwise
    // a member may be the sink only if no member must come after it.
    for (uint32_t rest = mask; rest != 0; rest &= rest - 1) {
      const int j = __builtin_ctz(rest);
      if ((predecessors_[j] & ~mask) != 0) {
        current_totals_[rank] = -std::numeric_limits<float>::infinity();
        current_sinks_[rank] = -1;
        return;
      }
      if ((problem_.successors[j] & mask) != 0) candidates &= ~(uint32_t{1} << j);
    }
  }
  scorer_.regress_subset(mask, regressions);
  const int k = regressions[0].k;
  uint64_t below[kMaxRows];
  ranks_without_each(regressions[0].members, k, below);
  // Candidates are the members in ascending order.
  const auto position = [mask](int target) {
    return __builtin_popcount(mask & ((uint32_t{1} << target) - 1));
  };
  float parent_totals[kMaxRows];
  for (int j = 0; j < k; ++j) parent_totals[j] = previous_totals_[below[j]];
  const auto parent_total = [&](int target, uint32_t) { return parent_totals[position(target)]; };
  Relaxed relaxed;
  if (prune_) {
    double scores[kMaxRows];
    score_pruned(regressions, candidates, parent_totals, z, sds, scores);
    relaxed = relax_subset(
        mask, candidates, [&](int target, uint32_t) { return scores[position(target)]; },
        parent_total);
  } else {
    relaxed = relax_subset(
        mask, candidates,
        [&](int target, uint32_t) {
          return scorer_.score_candidate(regressions, position(target), z);
        },
        parent_total);
  }
  current_totals_[rank] = relaxed.total;
  current_sinks_[rank] = static_cast<int8_t>(relaxed.sink);
}

void EngineSearch::score_pruned(const CandidateRegressions* regressions, uint32_t candidates,
                                const float* parent_totals, double* z, double* sds,
                                double* scores) {
  // The candidates one at a time, in order of promise: once a candidate has
  // been scored, the bound U on this one's score first. The engine's score s
  // is at most U (as doubles), so float32(s) + total <= float32(U) + total,
  // float32 rounding and addition being monotone: a candidate with
  // float32(U) + total below the best candidate scored so far is strictly
  // below the subset's maximum and can neither win nor tie. Their residuals
  // (the division by the standard deviation put off) are computed together,
  // as many at a time as the worker has buffers; how many never changes a
  // score or what is skipped, as the candidates' order stays the same.
  const int k = regressions[0].k;
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  constexpr float kNoBar = -std::numeric_limits<float>::infinity();
  int order[kMaxRows] = {};
  int count = 0;
  for (int j = 0; j < k; ++j) {
    scores[j] = -std::numeric_limits<double>::infinity();
    if (((candidates >> regressions[0].members[j]) & 1) != 0) order[count++] = j;
  }
  // The best total of the rest first: it usually ends with the subset's
  // best total, so the bar is high from the first candidate on, and that
  // one needs no bound. Insertion sort, stable, at most 30 candidates; NaN
  // totals last.
  const auto promise = [&](int j) {
    const float total = parent_totals[j];
    return std::isnan(total) ? kNoBar : total;
  };
  for (int a = 1; a < count; ++a) {
    const int j = order[a];
    int b = a;
    for (; b > 0 && promise(order[b - 1]) < promise(j); --b) order[b] = order[b - 1];
    order[b] = j;
  }
  const int batch = static_cast<int>(buffers_per_worker_);
  bool ok[kMaxRows];
  float bar = kNoBar;
  uint64_t skipped = 0;
  for (int a = 0; a < count; ++a) {
    if (a % batch == 0) {
      scorer_.unscaled_residuals(regressions, order + a, std::min(batch, count - a), z, sds, ok);
    }
    const int j = order[a];
    // A score that is NaN without sorting is never bounded, nor skipped:
    // NaN, as score_candidate gives it (the first group's NaN regression,
    // whose payload a single group keeps).
    if (!ok[j]) {
      const double rss = regressions[0].rss[j];
      scores[j] = std::isnan(rss) ? rss : kNaN;
      continue;  // NaN: the bar stays
    }
    double* residuals = z + static_cast<size_t>(a % batch) * scorer_.stride();
    const double* deviations = sds + j * scorer_.groups();
    if (bar > kNoBar &&
        static_cast<float>(scorer_.upper(residuals, deviations)) + parent_totals[j] < bar) {
      ++skipped;  // its score stays -inf: it cannot win
      continue;
    }
    scorer_.standardize(residuals, deviations);
    scores[j] = scorer_.sorted_score(residuals);
    const float value = static_cast<float>(scores[j]) + parent_totals[j];
    if (value > bar) bar = value;
  }
  if (skipped != 0) skipped_.fetch_add(skipped, std::memory_order_relaxed);
}

void EngineSearch::relax_run(int k, uint64_t first, uint64_t last, size_t worker) {
  double* z = scratch_.get() + worker * buffers_per_worker_ * scorer_.stride();
  CandidateRegressions* regressions = regressions_.get() + worker * scorer_.groups();
  double* sds = deviations_.get() + worker * deviations_per_worker() * scorer_.groups();
  uint32_t mask = unrank_subset(first, k, problem_.n_vars);
  for (uint64_t rank = first; rank < last; ++rank) {
    relax(mask, rank, regressions, z, sds);
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

void EngineSearch::relax_level(int k, uint64_t first, uint64_t last, uint64_t done_before,
                               const SliceHook& between_slices) {
  if (k != completed_ + 1 || k > problem_.n_vars) {
    throw std::invalid_argument("level " + std::to_string(k) + " cannot be relaxed now: level " +
                                std::to_string(completed_) + " is the last complete one");
  }
  const uint64_t count = binomial(problem_.n_vars, k);
  if (first > last || last > count) {
    throw std::invalid_argument("ranks [" + std::to_string(first) + ", " + std::to_string(last) +
                                ") are not within level " + std::to_string(k) + "'s " +
                                std::to_string(count) + " subsets");
  }
  const uint64_t total = total_scores(problem_.n_vars);
  uint64_t done = done_before;
  for (uint64_t rank = first; rank < last;) {
    uint64_t slice = 16 * threads_;
    if (rate_ > 0.0) {
      const double wanted = std::min(rate_ * slice_seconds_,
                                     kMaxSliceGrowth * static_cast<double>(last_slice_scores_));
      slice = static_cast<uint64_t>(std::max(1.0, std::floor(wanted / k)));
    }
    slice = std::min(slice, last - rank);
    const auto start = Clock::now();
    relax_ranks(k, rank, rank + slice);
    const double elapsed = std::max(seconds_since(start), 1e-7);
    rank += slice;
    last_slice_scores_ = slice * static_cast<uint64_t>(k);
    done += last_slice_scores_;
    rate_ = static_cast<double>(last_slice_scores_) / elapsed;
    between_slices(done, total);
  }
}

void EngineSearch::complete_level(int k) {
  if (k != completed_ + 1 || k > problem_.n_vars) {
    throw std::invalid_argument("level " + std::to_string(k) + " cannot be completed now: level " +
                                std::to_string(completed_) + " is the last complete one");
  }
  const uint64_t count = binomial(problem_.n_vars, k);
  uint32_t mask = (uint32_t{1} << k) - 1;  // the smallest subset of size k
  for (uint64_t rank = 0; rank < count; ++rank) {
    sink_table_[mask] = current_sinks_[rank];
    if (rank + 1 < count) mask = next_subset(mask);
  }
  std::swap(previous_totals_, current_totals_);
  completed_ = k;
}

float EngineSearch::run(const SliceHook& between_slices) {
  uint64_t done = 0;
  for (int k = 1; k <= completed_; ++k) done += level_scores(problem_.n_vars, k);
  for (int k = completed_ + 1; k <= problem_.n_vars; ++k) {
    relax_level(k, 0, binomial(problem_.n_vars, k), done, between_slices);
    complete_level(k);
    done += level_scores(problem_.n_vars, k);
  }
  return best_total();
}

}  // namespace varkel
