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

// The codes the built-in table leaves free, each with a mnemonic of one to
// four letters: the table an annotator of some field might define.
const ann_codes* own_table() {
  static ann_codes t;
  if (t.count) return &t;
  for (int code = 1; code <= own_codes_max; code++) {
    if (annstr(code)) continue;
    char word[8];
    const char* letters = "VSFQPLRAJEWXYZ";
    snprintf(word, sizeof word, "%.*s%d", 1 + code % 2, letters + code % 13, code);
    add_own_code(&t, code, word, "a class of its own");
  }
  return &t;
}

// The same seed gives the same record, so the log can name its annotations.
std::vector<stored> make_record(int64_t n, uint64_t seed, bool own) {
  std::mt19937_64 rng(seed);
  std::vector<stored> anns(n);
  const ann_codes* t = own_table();
  int32_t time = 0;
  for (stored& a : anns) {
    time += 150 + (int32_t)(rng() % 101);
    a.time = time;
    if (own)
      a.type = t->rows[rng() % t->count].code;
    else
      a.type = (int8_t)(rng() % 100 < 97 ? 1 : 2 + rng() % 12);
  }
  return anns;
}

const char* mnemonic_of(int type) {
  for (const ann_code& c : list_ann_codes())
    if (c.code == type) return c.mnemonic;
  const ann_codes* t = own_table();
  for (int i = 0; i < t->count; i++)
    if (t->rows[i].code == type) return t->rows[i].mnemonic;
  return "N";
}

// A type for an inserted annotation: one of the table's, else built in.
const char* random_mnemonic(std::mt19937_64& rng, bool own) {
  if (own) return own_table()->rows[rng() % own_table()->count].mnemonic;
  std::span<const ann_code> codes = list_ann_codes();
  return codes[rng() % codes.size()].mnemonic;
}

}  // namespace

int generate_record(const std::string& record, int64_t n, uint64_t seed, bool own) {
  static const ann_codes none = {};
  set_own_codes(own ? own_table() : &none);
  annotator_info ai = {"atr", ann_write};
  if (annopen(record.c_str(), &ai, 1) != 0) return -1;
  for (const stored& s : make_record(n, seed, own)) {
    nesk_ann a = {s.time, s.type, 0, 0, 0, nullptr};
    putann(0, &a);
  }
  return neskquit();
}

int generate_log(const std::string& path, const std::string& record, int64_t n, uint64_t seed,
                 int64_t edits, log_kind kind, bool typed, bool own, uint64_t salt) {
  FILE* f = fopen(path.c_str(), "w");
  if (!f) return -1;
  fprintf(f, "[RQEditLog-1.0] Record %s, annotator atr (360 samples/second)\n\n", record.c_str());
  std::vector<stored> anns = make_record(n, seed, own);
  std::mt19937_64 rng(seed ^ 0x5eed ^ salt);
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
      fprintf(f, "%ld,%s\n", (long)(rng() % (uint64_t)end),
              typed ? random_mnemonic(rng, own) : "N");
    }
  }
  return fclose(f) == 0 ? 0 : -1;
}
