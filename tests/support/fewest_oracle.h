// The fewest entries that turn one run of equal keys into another, found by
// trying every sequence of entries, shortest first: a slow account, for tests,
// of what the diff computes. An insert puts a value before the whole run; a
// delete removes the last equal value.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <vector>

inline int search_fewest_entries(const std::vector<uint32_t>& from,
                                 const std::vector<uint32_t>& to) {
  std::set<uint32_t> values(from.begin(), from.end());
  values.insert(to.begin(), to.end());
  // Nothing is gained by a run longer than both ends together.
  size_t longest = from.size() + to.size();
  std::map<std::vector<uint32_t>, int> steps = {{from, 0}};
  std::deque<std::vector<uint32_t>> queue = {from};
  while (!queue.empty()) {
    std::vector<uint32_t> run = queue.front();
    queue.pop_front();
    int n = steps[run];
    if (run == to) return n;
    std::vector<std::vector<uint32_t>> next;
    for (uint32_t v : values) {
      if (run.size() < longest) {
        std::vector<uint32_t> ins = {v};
        ins.insert(ins.end(), run.begin(), run.end());
        next.push_back(ins);
      }
      for (size_t i = run.size(); i-- > 0;) {
        if (run[i] != v) continue;
        std::vector<uint32_t> del = run;
        del.erase(del.begin() + (long)i);
        next.push_back(del);
        break;
      }
    }
    for (auto& r : next)
      if (steps.emplace(r, n + 1).second) queue.push_back(r);
  }
  return -1;
}
