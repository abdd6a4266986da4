// How far the best order is from the orders that reverse a pair: exact
// margins for every ordered pair of variables, and the runner-up order.
//
// All scores (every variable with every parent set it may have) are stored,
// n * 2^(n-1) doubles, and totals are summed in double precision:
//   F[S] = the best total of an order of S, placed first;
//   G[S] = the best total of placing the other variables after S,
//   G[V] = 0, G[S] = max over allowed u not in S of score(u | S) + G[S + u].
// F[S] + G[S] is the best total of an order whose first |S| variables are S,
// so the best order with x_j before x_i is the largest F[S] + G[S] over the
// subsets S that hold j but not i. The runner-up is the best order through
// an edge (S -> S + u) that the given order does not take: every other order
// takes at least one such edge.
//
// Comparisons are strict and in ascending order, so NaN and -inf never win
// and ties go to the lowest index; results never depend on the threads.
#ifndef VARKEL_ORDER_MARGINS_H_
#define VARKEL_ORDER_MARGINS_H_

#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

#include "column_scorer.h"
#include "engine_search.h"

namespace varkel {

struct MarginResult {
  // margins[i * n + j]: `order`'s total less the best total of an order with
  // x_j before x_i; 0 where `order` has x_j before x_i, +inf where no allowed
  // order does, never below 0.
  std::vector<double> margins;
  double total = 0.0;                // `order`'s scores summed in order, in double
  std::vector<int> runner_up_order;  // empty when no other order is allowed
  double runner_up_total = -std::numeric_limits<double>::infinity();  // none: -inf
  // Without a given order, the search itself, from the stored scores by the
  // search's own rule (relax.h): the sink of every subset and the float32
  // best total, bit-identical to EngineSearch's. The margins are then those
  // of the order the sinks give; empty when no order has a finite score.
  std::vector<int8_t> sinks;
  float search_total = 0.0f;
};

// Bytes compute_margins allocates: the score table, F and G, a byte per
// subset for each pass's choices, and the scorer's copies of X and buffers.
uint64_t margin_bytes(int n_vars, const std::vector<int>& group_samples, uint64_t threads);

// Margins of `order` (a best order of the problem, first variable first),
// with the same order constraints as the search; with an empty `order`, of
// the best order, searched here from the same stored scores, so that
// margins and order cost one evaluation of each score. Scores are computed on
// `threads` threads in slices; `between_slices` runs on the calling thread
// between them and may throw to stop.
MarginResult compute_margins(const EngineProblem& problem, const std::vector<int>& order,
                             const EngineOptions& options, const SliceHook& between_slices);

}  // namespace varkel

#endif  // VARKEL_ORDER_MARGINS_H_
