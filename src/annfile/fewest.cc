#include "fewest.h"

#include <algorithm>
#include <vector>

namespace {

// Sequences are compared by a polynomial hash modulo the prime 2^61 - 1 and
// every match is then confirmed in full, so a collision costs time, never a
// wrong answer.
constexpr uint64_t prime = (1ull << 61) - 1;
constexpr uint64_t base = 0x1f2e3d4c5b6a798ull % prime;

uint64_t mul(uint64_t a, uint64_t b) {
  unsigned __int128 p = (unsigned __int128)a * b;
  uint64_t r = (uint64_t)(p & prime) + (uint64_t)(p >> 61);
  return r >= prime ? r - prime : r;
}

uint64_t add(uint64_t a, uint64_t b) {
  uint64_t r = a + b;
  return r >= prime ? r - prime : r;
}

// Whether keeping, of each value in `from`, as many first occurrences as
// `tail` holds leaves exactly `tail`.
bool leaves_tail(std::span<const uint32_t> from, std::span<const uint32_t> tail, size_t values) {
  std::vector<uint32_t> want(values), seen(values);
  for (uint32_t x : tail) want[x]++;
  size_t j = 0;
  for (uint32_t x : from) {
    if (seen[x]++ >= want[x]) continue;
    if (j == tail.size() || tail[j] != x) return false;
    j++;
  }
  return j == tail.size();
}

}  // namespace

size_t find_kept_suffix(std::span<const uint32_t> from, std::span<const uint32_t> to) {
  size_t m = from.size(), k = to.size(), values = 0;
  for (uint32_t x : from) values = std::max(values, (size_t)x + 1);
  for (uint32_t x : to) values = std::max(values, (size_t)x + 1);
  // The positions of each value in `from`, in order: at[first[x] ...].
  std::vector<uint32_t> first(values + 1), at(m), kept(values);
  for (uint32_t x : from) first[x + 1]++;
  for (size_t x = 0; x < values; x++) first[x + 1] += first[x];
  std::vector<uint32_t> next(first.begin(), first.end() - 1);
  for (size_t i = 0; i < m; i++) at[next[from[i]]++] = (uint32_t)i;

  // A tree over the positions of `from` keeps the count and the hash of the
  // kept ones, in order; a node's hash is its left half's plus its right
  // half's shifted by the left half's count.
  size_t leaves = 1;
  while (leaves < m) leaves *= 2;
  std::vector<uint32_t> count(2 * leaves);
  std::vector<uint64_t> hash(2 * leaves), power(m + 1, 1);
  for (size_t i = 1; i <= m; i++) power[i] = mul(power[i - 1], base);

  // Growing the end of `to` by one value y keeps one more y of `from`: its
  // next occurrence.
  std::vector<size_t> candidates = {0};
  uint64_t tail_hash = 0;
  for (size_t s = 1; s <= k; s++) {
    uint32_t y = to[k - s];
    if (first[y] + kept[y] == first[y + 1]) break;  // `from` holds no more y
    size_t p = leaves + at[first[y] + kept[y]++];
    count[p] = 1;
    hash[p] = y + 1;
    for (p /= 2; p > 0; p /= 2) {
      count[p] = count[2 * p] + count[2 * p + 1];
      hash[p] = add(hash[2 * p], mul(hash[2 * p + 1], power[count[2 * p]]));
    }
    tail_hash = add(y + 1, mul(base, tail_hash));
    if (hash[1] == tail_hash) candidates.push_back(s);
  }
  for (size_t i = candidates.size(); i-- > 0;)
    if (leaves_tail(from, to.last(candidates[i]), values)) return candidates[i];
  return 0;
}
