// The relaxation of one subset, shared by both searches.
//
// The best total of subset S is the largest, over its candidate sinks i, of
// float32(score(i | S without i)) + total(S without i), added in float32.
// Members are tried in increasing index order and only a strictly larger
// candidate replaces the best so far, so among equal candidates the lowest
// index wins, and a NaN or -inf candidate never wins: a subset without any
// candidate above -inf keeps -inf and sink -1.
#ifndef VARKEL_RELAX_H_
#define VARKEL_RELAX_H_

#include <cstdint>
#include <limits>

namespace varkel {

struct Relaxed {
  float total;
  int sink;
};

// Relaxes subset `mask`, trying as sinks the members that are also set in
// `candidates`. score(i, parents) gives the score of member i with the
// parent set `parents` as a double; parent_total(i, parents) the best total
// of `parents` (the subset without member i) as a float.
template <class ScoreFn, class ParentTotalFn>
inline Relaxed relax_subset(uint32_t mask, uint32_t candidates, ScoreFn&& score,
                            ParentTotalFn&& parent_total) {
  float best = -std::numeric_limits<float>::infinity();
  int sink = -1;
  const uint32_t members = mask & candidates;
  for (int i = 0; (members >> i) != 0; ++i) {
    if (((members >> i) & 1) == 0) continue;
    const uint32_t parents = mask ^ (uint32_t{1} << i);
    const double s = score(i, parents);
    const float candidate = static_cast<float>(s) + parent_total(i, parents);
    if (candidate > best) {
      best = candidate;
      sink = i;
    }
  }
  return Relaxed{best, sink};
}

}  // namespace varkel

#endif  // VARKEL_RELAX_H_
