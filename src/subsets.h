// Subsets of one size, enumerated in ascending numeric order and addressed
// by their rank in that order (the combinatorial number system), so that a
// level can be cut into ranges without a table of masks.
#ifndef VARKEL_SUBSETS_H_
#define VARKEL_SUBSETS_H_

#include <array>
#include <cstdint>

#include "score.h"

namespace varkel {

// binomial(n, k) for 0 <= k, n <= kMaxVars: the number of subsets of size k.
inline uint64_t binomial(int n, int k) {
  static constexpr auto table = [] {
    std::array<std::array<uint64_t, kMaxVars + 1>, kMaxVars + 1> t{};
    for (int a = 0; a <= kMaxVars; ++a) {
      t[a][0] = 1;
      for (int b = 1; b <= a; ++b) t[a][b] = t[a - 1][b - 1] + (b <= a - 1 ? t[a - 1][b] : 0);
    }
    return t;
  }();
  return (k < 0 || k > n) ? 0 : table[n][k];
}

// The subset of size k with the given rank among the subsets of size k of
// n_vars variables in ascending numeric order. Its members c_1 < ... < c_k
// satisfy rank = binomial(c_1, 1) + ... + binomial(c_k, k).
// Precondition: rank < binomial(n_vars, k).
inline uint32_t unrank_subset(uint64_t rank, int k, int n_vars) {
  uint32_t mask = 0;
  int c = n_vars - 1;
  for (int i = k; i >= 1; --i) {
    while (binomial(c, i) > rank) --c;
    mask |= uint32_t{1} << c;
    rank -= binomial(c, i);
    --c;
  }
  return mask;
}

// The ranks, among the subsets one smaller, of `mask` without each of its
// members: below[j] for its j-th member in ascending order. members[0 .. k-1]
// are the mask's members in ascending order. Removing member j shifts the
// position of every later member down by one.
inline void ranks_without_each(const int* members, int k, uint64_t* below) {
  uint64_t before = 0;  // sum over j' < j of binomial(members[j'], j' + 1)
  uint64_t after = 0;   // sum over j' > j of binomial(members[j'], j')
  for (int j = 1; j < k; ++j) after += binomial(members[j], j);
  for (int j = 0; j < k; ++j) {
    below[j] = before + after;
    before += binomial(members[j], j + 1);
    if (j + 1 < k) after -= binomial(members[j + 1], j + 1);
  }
}

// The next larger mask with the same number of members (Gosper's step).
// Precondition: mask != 0, and the result fits 32 bits (true below 2^31).
inline uint32_t next_subset(uint32_t mask) {
  const uint32_t filled = mask | (mask - 1);
  const uint32_t low_zero = ~filled & (filled + 1);
  return (filled + 1) | ((low_zero - 1) >> (__builtin_ctz(mask) + 1));
}

}  // namespace varkel

#endif  // VARKEL_SUBSETS_H_
