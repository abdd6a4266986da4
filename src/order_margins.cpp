// Order margins and the runner-up order; see order_margins.h.
#include "order_margins.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>

#include "relax.h"
#include "thread_pool.h"

namespace varkel {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr uint64_t kTasksPerWorker = 32;
constexpr double kMaxSliceGrowth = 4.0;

using Clock = std::chrono::steady_clock;

// The constraints as predecessor and successor masks; empty when none.
struct Constraints {
  std::vector<uint32_t> successors;
  std::vector<uint32_t> predecessors;

  explicit Constraints(const std::vector<uint32_t>& given, int n) : successors(given) {
    if (given.empty()) return;
    predecessors.assign(static_cast<size_t>(n), 0);
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < n; ++j) {
        if ((given[i] >> j) & 1) predecessors[j] |= uint32_t{1} << i;
      }
    }
  }

  // Whether every member of `mask` has its required predecessors in it:
  // only such subsets begin an allowed order.
  bool is_prefix(uint32_t mask) const {
    if (predecessors.empty()) return true;
    for (uint32_t rest = mask; rest != 0; rest &= rest - 1) {
      if ((predecessors[__builtin_ctz(rest)] & ~mask) != 0) return false;
    }
    return true;
  }

  // Whether member i of the prefix `mask` may come last in it.
  bool may_end(uint32_t mask, int i) const {
    return successors.empty() || (successors[i] & mask) == 0;
  }
};

// score(i | parents) lives at i * 2^(n-1) + parents with bit i removed.
class ScoreTable {
 public:
  explicit ScoreTable(int n)
      : n_(n),
        half_(uint64_t{1} << (n - 1)),
        values_(new double[static_cast<size_t>(half_) * static_cast<size_t>(n)]) {}

  double& at(int i, uint32_t parents) { return values_[index(i, parents)]; }
  double at(int i, uint32_t parents) const { return values_[index(i, parents)]; }

 private:
  uint64_t index(int i, uint32_t parents) const {
    const uint32_t low = parents & ((uint32_t{1} << i) - 1);
    return static_cast<uint64_t>(i) * half_ + (low | ((parents >> (i + 1)) << i));
  }

  int n_;
  uint64_t half_;
  std::unique_ptr<double[]> values_;
};

// Every allowed score, by subset: subset S gives the scores of its members
// that may end it, with the rest of S as parents. Disallowed ones are NaN.
void fill_scores(const EngineProblem& problem, const Constraints& rules,
                 const EngineOptions& options, hwy::ThreadPool* pool,
                 const SliceHook& between_slices, ScoreTable* table) {
  const int n = problem.n_vars;
  const GroupScorer scorer(problem.groups, n, residual_sort(options.sort));
  const size_t workers = pool ? pool->NumWorkers() : 1;
  auto scratch = scorer.make_scratch(workers);
  std::vector<CandidateRegressions> worker_regressions(workers * scorer.groups());

  const auto fill_range = [&](uint64_t first, uint64_t last, size_t worker) {
    double* z = scratch.get() + worker * scorer.stride();
    CandidateRegressions* regressions = worker_regressions.data() + worker * scorer.groups();
    for (uint64_t s = first; s < last; ++s) {
      const auto mask = static_cast<uint32_t>(s);
      const bool prefix = rules.is_prefix(mask);
      if (prefix) scorer.regress_subset(mask, regressions);
      int position = 0;
      for (uint32_t rest = mask; rest != 0; rest &= rest - 1, ++position) {
        const int i = __builtin_ctz(rest);
        const uint32_t parents = mask ^ (uint32_t{1} << i);
        table->at(i, parents) = prefix && rules.may_end(mask, i)
                                    ? scorer.score_candidate(regressions, position, z)
                                    : std::numeric_limits<double>::quiet_NaN();
      }
    }
  };

  const uint64_t end = uint64_t{1} << n;
  const uint64_t total = total_scores(n);
  uint64_t done = 0;
  uint64_t slice = 64 * workers;
  for (uint64_t first = 1; first < end;) {
    const uint64_t last = std::min(end, first + slice);
    const auto start = Clock::now();
    if (!pool || last - first < 2) {
      fill_range(first, last, 0);
    } else {
      const uint64_t tasks = std::min<uint64_t>(kTasksPerWorker * workers, last - first);
      const uint64_t chunk = (last - first + tasks - 1) / tasks;
      pool->Run(0, tasks, [&](uint64_t task, size_t worker) {
        const uint64_t begin = first + task * chunk;
        fill_range(begin, std::min(begin + chunk, last), worker);
      });
    }
    const double elapsed =
        std::max(std::chrono::duration<double>(Clock::now() - start).count(), 1e-7);
    const double wanted = static_cast<double>(last - first) * options.slice_seconds / elapsed;
    slice = static_cast<uint64_t>(
        std::max(1.0, std::min(wanted, kMaxSliceGrowth * static_cast<double>(last - first))));
    // Scores done so far: those of every subset below `last`, counted by
    // their members; exact at the end.
    for (uint64_t s = first; s < last; ++s) done += __builtin_popcount(static_cast<uint32_t>(s));
    first = last;
    between_slices(std::min(done, total), total);
  }
}

// F[S] and the member each best order of S ends with (-1: none).
void forward_pass(int n, const Constraints& rules, const ScoreTable& table,
                  std::vector<double>* F, std::vector<int8_t>* last) {
  const uint64_t end = uint64_t{1} << n;
  (*F)[0] = 0.0;
  (*last)[0] = -1;
  for (uint64_t s = 1; s < end; ++s) {
    const auto mask = static_cast<uint32_t>(s);
    double best = -kInf;
    int sink = -1;
    if (rules.is_prefix(mask)) {
      for (uint32_t rest = mask; rest != 0; rest &= rest - 1) {
        const int i = __builtin_ctz(rest);
        const uint32_t parents = mask ^ (uint32_t{1} << i);
        const double candidate = (*F)[parents] + table.at(i, parents);
        if (candidate > best) {
          best = candidate;
          sink = i;
        }
      }
    }
    (*F)[s] = best;
    (*last)[s] = static_cast<int8_t>(sink);
  }
}

// G[S] and the variable each best completion of S places next (-1: none).
void backward_pass(int n, const Constraints& rules, const ScoreTable& table,
                   std::vector<double>* G, std::vector<int8_t>* next) {
  const uint64_t full = (uint64_t{1} << n) - 1;
  (*G)[full] = 0.0;
  (*next)[full] = -1;
  for (uint64_t s = full; s-- > 0;) {
    const auto mask = static_cast<uint32_t>(s);
    double best = -kInf;
    int choice = -1;
    if (rules.is_prefix(mask)) {
      for (uint32_t rest = static_cast<uint32_t>(full) & ~mask; rest != 0; rest &= rest - 1) {
        const int u = __builtin_ctz(rest);
        const double candidate = table.at(u, mask) + (*G)[mask | (uint32_t{1} << u)];
        if (candidate > best) {
          best = candidate;
          choice = u;
        }
      }
    }
    (*G)[s] = best;
    (*next)[s] = static_cast<int8_t>(choice);
  }
}

// best_before[j * n + i]: the best F[S] + G[S] over the subsets S that hold
// j and not i. Each worker keeps its own maxima, merged at the end: maxima
// are exact, so the result does not depend on how the subsets were split.
std::vector<double> best_with_j_before_i(int n, const std::vector<double>& F,
                                         const std::vector<double>& G, hwy::ThreadPool* pool) {
  const size_t cells = static_cast<size_t>(n) * static_cast<size_t>(n);
  const size_t workers = pool ? pool->NumWorkers() : 1;
  std::vector<double> per_worker(cells * workers, -kInf);
  const uint64_t end = uint64_t{1} << n;
  const auto sweep = [&](uint64_t first, uint64_t last, size_t worker) {
    double* best = per_worker.data() + worker * cells;
    for (uint64_t s = first; s < last; ++s) {
      const double through = F[s] + G[s];
      if (!(through > -kInf)) continue;
      const auto mask = static_cast<uint32_t>(s);
      for (uint32_t rest = mask; rest != 0; rest &= rest - 1) {
        double* row = best + static_cast<size_t>(__builtin_ctz(rest)) * static_cast<size_t>(n);
        for (int i = 0; i < n; ++i) {
          if (((mask >> i) & 1) == 0 && through > row[i]) row[i] = through;
        }
      }
    }
  };
  if (!pool) {
    sweep(0, end, 0);
  } else {
    const uint64_t tasks = std::min<uint64_t>(kTasksPerWorker * workers, end);
    const uint64_t chunk = (end + tasks - 1) / tasks;
    pool->Run(0, tasks, [&](uint64_t task, size_t worker) {
      const uint64_t begin = task * chunk;
      sweep(begin, std::min(begin + chunk, end), worker);
    });
  }
  std::vector<double> merged(per_worker.begin(), per_worker.begin() + cells);
  for (size_t w = 1; w < workers; ++w) {
    for (size_t c = 0; c < cells; ++c) merged[c] = std::max(merged[c], per_worker[w * cells + c]);
  }
  return merged;
}

// The left-to-right double total of an order.
double order_total(const std::vector<int>& order, const ScoreTable& table) {
  double total = 0.0;
  uint32_t placed = 0;
  for (const int v : order) {
    total = total + table.at(v, placed);
    placed |= uint32_t{1} << v;
  }
  return total;
}

// The best order through the edge placing u after the prefix S: the best
// order of S (from the forward choices), u, then the best completion.
std::vector<int> order_through(int n, uint32_t prefix, int u, const std::vector<int8_t>& last,
                               const std::vector<int8_t>& next) {
  std::vector<int> order;
  for (uint32_t s = prefix; s != 0; s ^= uint32_t{1} << last[s]) order.push_back(last[s]);
  std::reverse(order.begin(), order.end());
  order.push_back(u);
  const uint32_t full = static_cast<uint32_t>((uint64_t{1} << n) - 1);
  for (uint32_t s = prefix | (uint32_t{1} << u); s != full; s |= uint32_t{1} << next[s]) {
    order.push_back(next[s]);
  }
  return order;
}

// The search's rule over the stored scores: float32 totals, relax_subset,
// subsets that begin no allowed order at -inf with no sink, as the engine.
float search_stored(int n, const Constraints& rules, const ScoreTable& table,
                    std::vector<int8_t>* sinks) {
  const uint64_t subsets = uint64_t{1} << n;
  std::vector<float> totals(subsets);
  totals[0] = 0.0f;
  (*sinks)[0] = -1;
  for (uint64_t s = 1; s < subsets; ++s) {
    const auto mask = static_cast<uint32_t>(s);
    if (!rules.is_prefix(mask)) {
      totals[s] = -std::numeric_limits<float>::infinity();
      (*sinks)[s] = -1;
      continue;
    }
    // A member that may not end the subset has a NaN score in the table,
    // which never wins: the same as leaving it out of the candidates.
    const Relaxed relaxed = relax_subset(
        mask, mask, [&](int i, uint32_t parents) { return table.at(i, parents); },
        [&](int, uint32_t parents) { return totals[parents]; });
    totals[s] = relaxed.total;
    (*sinks)[s] = static_cast<int8_t>(relaxed.sink);
  }
  return totals[subsets - 1];
}

// The order the sinks give, first variable first; empty when a subset on
// the way has no sink.
std::vector<int> order_from_sinks(int n, const std::vector<int8_t>& sinks) {
  std::vector<int> order;
  for (uint32_t s = static_cast<uint32_t>((uint64_t{1} << n) - 1); s != 0;) {
    if (sinks[s] < 0) return {};
    order.push_back(sinks[s]);
    s ^= uint32_t{1} << sinks[s];
  }
  std::reverse(order.begin(), order.end());
  return order;
}

}  // namespace

uint64_t margin_bytes(int n_vars, const std::vector<int>& group_samples, uint64_t threads) {
  const uint64_t subsets = uint64_t{1} << n_vars;
  const uint64_t workers = std::max<uint64_t>(threads, 1);
  // Scores; F and G; the passes' choices; the search's float totals and sinks.
  return total_scores(n_vars) * sizeof(double) + subsets * (2 * sizeof(double) + 2) +
         subsets * (sizeof(float) + 1) + GroupScorer::column_bytes(group_samples, n_vars) +
         workers * group_samples.size() * sizeof(CandidateRegressions) +
         workers * GroupScorer::scratch_bytes(group_samples);
}

MarginResult compute_margins(const EngineProblem& problem, const std::vector<int>& given,
                             const EngineOptions& options, const SliceHook& between_slices) {
  const int n = problem.n_vars;
  if (n == 0) return MarginResult{{}, 0.0, {}, -kInf, {-1}, 0.0f};
  const Constraints rules(problem.successors, n);
  ScoreTable table(n);
  // One pool for the scores and the pair sweep.
  PoolPtr pool = make_pool(engine_threads(options.threads, n, total_samples(problem)),
                           options.wait_mode);
  fill_scores(problem, rules, options, pool.get(), between_slices, &table);

  const uint64_t subsets = uint64_t{1} << n;
  MarginResult result;
  std::vector<int> order = given;
  if (given.empty()) {
    result.sinks.resize(subsets);
    result.search_total = search_stored(n, rules, table, &result.sinks);
    order = order_from_sinks(n, result.sinks);
    if (order.empty()) return result;  // no order has a finite score: no margins
  }
  std::vector<double> F(subsets), G(subsets);
  std::vector<int8_t> last(subsets), next(subsets);
  forward_pass(n, rules, table, &F, &last);
  backward_pass(n, rules, table, &G, &next);

  result.total = order_total(order, table);
  std::vector<int> position(static_cast<size_t>(n));
  for (int p = 0; p < n; ++p) position[order[p]] = p;
  const std::vector<double> before = best_with_j_before_i(n, F, G, pool.get());
  result.margins.assign(static_cast<size_t>(n) * n, 0.0);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      if (i == j || position[j] < position[i]) continue;
      const double best = before[static_cast<size_t>(j) * n + i];
      result.margins[static_cast<size_t>(i) * n + j] =
          best > -kInf ? std::max(0.0, result.total - best) : kInf;
    }
  }

  // The runner-up: the best order through an edge that `order` does not take.
  double runner_up = -kInf;
  uint32_t runner_prefix = 0;
  int runner_next = -1;
  std::vector<uint32_t> prefixes(static_cast<size_t>(n) + 1, 0);
  for (int p = 0; p < n; ++p) prefixes[p + 1] = prefixes[p] | (uint32_t{1} << order[p]);
  for (uint64_t s = 0; s + 1 < subsets; ++s) {
    const auto mask = static_cast<uint32_t>(s);
    if (!(F[s] > -kInf)) continue;
    const int size = __builtin_popcount(mask);
    const int taken = prefixes[size] == mask ? order[size] : -1;
    for (uint32_t rest = static_cast<uint32_t>(subsets - 1) & ~mask; rest != 0;
         rest &= rest - 1) {
      const int u = __builtin_ctz(rest);
      if (u == taken) continue;
      const double candidate = F[s] + table.at(u, mask) + G[mask | (uint32_t{1} << u)];
      if (candidate > runner_up) {
        runner_up = candidate;
        runner_prefix = mask;
        runner_next = u;
      }
    }
  }
  result.runner_up_total = -kInf;
  if (runner_next >= 0) {
    result.runner_up_order = order_through(n, runner_prefix, runner_next, last, next);
    result.runner_up_total = order_total(result.runner_up_order, table);
  }
  return result;
}

}  // namespace varkel
