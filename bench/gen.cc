#include "gen.h"

#include <cstdio>
#include <random>
#include <vector>

#include "annlib/annlib.h"

namespace {

struct stored {
  int32_t time;
  int8_t type;
};

// The same seed gives the same record, so the log can name its annotations.
std::vector<stored> make_record(int64_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<stored> anns(n);
  int32_t t = 0;
  for (stored& a : anns) {
    t += 150 + (int32_t)(rng() % 101);
    a.time = t;
    a.type = (int8_t)(rng() % 100 < 97 ? 1 : 2 + rng() % 12);
  }
  return anns;
}

const char* mnemonic_of(int type) {
  for (const ann_code& c : list_ann_codes())
    if (c.code == type) return c.mnemonic;
  return "N";
}

}  // namespace

int generate_record(const std::string& record, int64_t n, uint64_t seed) {
  annotator_info ai = {"atr", ann_write};
  if (annopen(record.c_str(), &ai, 1) != 0) return -1;
  for (const stored& s : make_record(n, seed)) {
    nesk_ann a = {s.time, s.type, 0, 0, 0, nullptr};
    putann(0, &a);
  }
  return neskquit();
}

int generate_log(const std::string& path, const std::string& record, int64_t n, uint64_t seed,
                 int64_t edits, log_kind kind) {
  FILE* f = fopen(path.c_str(), "w");
  if (!f) return -1;
  fprintf(f, "[RQEditLog-1.0] Record %s, annotator atr (360 samples/second)\n\n", record.c_str());
  std::vector<stored> anns = make_record(n, seed);
  std::mt19937_64 rng(seed ^ 0x5eed);
  int32_t end = anns.empty() ? 2000000000 : anns.back().time;
  static const char* const values[] = {"N", "NOTE,a", "N{1//}", "NOTE,b"};
  for (int64_t i = 0; i < edits; i++) {
    if (kind == ascending_inserts) {
      fprintf(f, "%lld,N\n", (long long)(i * 200));
    } else if (kind == runs_at_places) {
      bool insert = rng() % 100 < 55;
      const char* value = values[rng() % (insert ? 3 : 4)];
      long time = anns.empty() ? 1000 : (long)anns[(rng() % 8) * anns.size() / 8].time;
      fprintf(f, "%s%ld,%s\n", insert ? "" : "-", time, value);
    } else if (rng() % 2 && !anns.empty()) {
      const stored& s = anns[rng() % anns.size()];
      fprintf(f, "-%ld,%s\n", (long)s.time, mnemonic_of(s.type));
    } else {
      fprintf(f, "%ld,N\n", (long)(rng() % (uint64_t)end));
    }
  }
  return fclose(f) == 0 ? 0 : -1;
}
