#include "fewest.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "../../tests/support/fewest_oracle.h"

namespace {

size_t kept(const std::vector<uint32_t>& from, const std::vector<uint32_t>& to) {
  return find_kept_suffix(from, to);
}

TEST(FindKeptSuffix, KeepsTheLongestEndThatDeletesAloneLeave) {
  const struct {
    std::vector<uint32_t> from, to;
    size_t kept;
  } cases[] = {
      {{}, {}, 0},
      {{0}, {0}, 1},
      {{0}, {1}, 0},
      {{0, 1}, {0, 1}, 2},
      {{1, 0}, {0, 1}, 1},     // a stored pair that loading reversed: one delete, one insert
      {{0, 0, 0}, {0, 0}, 2},  // a repeated annotation: delete one
      {{0, 1, 0}, {0, 1, 0}, 3},
      {{0, 1, 0}, {1, 0}, 1},  // the delete takes the last 0, never the first
      {{0, 1, 0}, {0, 1}, 2},
      {{0, 1}, {2, 3, 0, 1}, 2},  // inserts go before the whole run
      {{0, 1}, {0, 1, 2}, 0},     // nothing can go after what stays
      {{2, 0, 1, 0}, {0, 1}, 2},
      {{1, 0, 0}, {0, 0, 1}, 1},
  };
  for (const auto& c : cases) EXPECT_EQ(kept(c.from, c.to), c.kept) << c.from.size() << c.to.size();
}

// The entry count that the kept end gives is the fewest any sequence of
// entries achieves.
TEST(FindKeptSuffix, GivesTheFewestEntriesOfAnySequence) {
  std::mt19937 rng(11);
  for (int i = 0; i < 3000; i++) {
    uint32_t values = 1 + rng() % 3;
    std::vector<uint32_t> from(rng() % 6), to(rng() % 6);
    for (auto& v : from) v = rng() % values;
    for (auto& v : to) v = rng() % values;
    if (rng() % 3 == 0) to = from, std::shuffle(to.begin(), to.end(), rng);
    size_t k = kept(from, to);
    EXPECT_EQ((int)(from.size() + to.size() - 2 * k), search_fewest_entries(from, to)) << i;
  }
}

// Long runs of two values, as an adversary would make them, still end in time.
TEST(FindKeptSuffix, LongAlternatingRunsEndQuickly) {
  std::vector<uint32_t> from, to;
  for (uint32_t i = 0; i < 200000; i++) from.push_back(i % 2), to.push_back(1 - i % 2);
  EXPECT_EQ(kept(from, to), 199999u);
}

}  // namespace
