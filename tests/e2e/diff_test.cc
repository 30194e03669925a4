// annfile diff end to end: by default the log holds what changed at each
// place, the annotations there taken as a multiset; with --exact it makes
// annapply write TO byte for byte, with the fewest entries. Trouble prints
// nothing and says why.
#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "../support/fewest_oracle.h"
#include "run.h"

namespace {

using Diff = ScratchDir;

TEST_F(Diff, TroubleWritesNothingAndSaysWhatIsWrong) {
  load("rec", "a", "5\t1\t0\t0\t0\n");
  load("rec", "unsorted", "100\t1\t0\t0\t0\n50\t1\t0\t0\t0\n");
  load("rec", "negative", "-5\t1\t0\t0\t0\n");
  load("rec", "odd",
       "7\t50\t0\t0\t0\n8\t1\t0\t2\t0\ta\\nb\n8\t1\t0\t2\t1\tx\\x00y\n9\t1\t1\t0\t0\tab\\r\n9\t1\t0"
       "\t0\t0\t\n");
  write_file(path("rec.bad"), "plain text\n");
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"rec", "nope", "a"}, "annfile: can't read rec.nope: No such file or directory\n"},
      {{"rec", "a", "bad"}, "annfile: can't read rec.bad: not an annotation file\n"},
      {{"--exact", "rec", "a", "unsorted"},
       "annfile: rec.unsorted: time 50, type 1, subtype 0, channel 0, number 0: comes after time "
       "100, channel 0, number 0; no log can give this order\n"},
      {{"a,b", "a", "a"},
       "annfile: no edit log header can name record 'a,b' and annotator 'a': a record name with "
       "\",\" or a line feed\n"},
      {{"rec", "a b", "a"},
       "annfile: no edit log header can name record 'rec' and annotator 'a b': an annotator name "
       "with a space or a line feed\n"},
      {{"rec", "negative", "a"},
       "annfile: rec.negative: time -5, type 1, subtype 0, channel 0, number 0: must be deleted, "
       "but its time is negative\n"},
      {{"--exact", "rec", "a", "odd"},
       "annfile: rec.odd: time 7, type 50, subtype 0, channel 0, number 0: must be inserted, but "
       "its type has no mnemonic in the table of rec.a\n"
       "annfile: rec.odd: time 8, type 1, subtype 0, channel 2, number 0, aux \"a\\nb\": must be "
       "inserted, but its aux holds a line feed\n"
       "annfile: rec.odd: time 8, type 1, subtype 0, channel 2, number 1, aux \"x\\x00y\": must be "
       "inserted, but its aux holds a zero byte\n"
       "annfile: rec.odd: time 9, type 1, subtype 0, channel 0, number 0, aux \"\": must be "
       "inserted, but its aux is present but empty\n"
       "annfile: rec.odd: time 9, type 1, subtype 1, channel 0, number 0, aux \"ab\\r\": must be "
       "inserted, but its aux ends in a carriage return\n"},
      // What changed counts an empty aux as none, as annapply does.
      {{"rec", "a", "odd"},
       "annfile: rec.odd: time 7, type 50, subtype 0, channel 0, number 0: must be inserted, but "
       "its type has no mnemonic in the table of rec.a\n"
       "annfile: rec.odd: time 8, type 1, subtype 0, channel 2, number 0, aux \"a\\nb\": must be "
       "inserted, but its aux holds a line feed\n"
       "annfile: rec.odd: time 8, type 1, subtype 0, channel 2, number 1, aux \"x\\x00y\": must be "
       "inserted, but its aux holds a zero byte\n"
       "annfile: rec.odd: time 9, type 1, subtype 1, channel 0, number 0, aux \"ab\\r\": must be "
       "inserted, but its aux ends in a carriage return\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"diff"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    run_result r = annfile(args);
    EXPECT_EQ(r.status, 2) << c.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
  }
}

TEST_F(Diff, AnAnnotatorAgainstItselfOrItsRewriteHasNoChanges) {
  load("rec", "a",
       "100\t2\t0\t0\t0\tfirst\n"
       "100\t22\t0\t0\t0\tsecond\n"
       "200\t1\t0\t0\t0\n"
       "200\t1\t0\t0\t0\n"
       "300\t1\t0\t0\t0\n"
       "150\t1\t0\t0\t0\n");  // out of order
  const std::string header = "[RQEditLog-1.0] Record rec, annotator a (250.5 samples/second)\n\n";
  ASSERT_EQ(annapply(log_header("rec", "a")).status, 0);
  for (const char* to : {"a", "a_"}) {
    run_result r = annfile({"diff", "--sps", "250.5", "rec", "a", to});
    EXPECT_EQ(r.status, 0) << to;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, header);
  }
  // --exact rebuilds what loading reverses, and only that.
  run_result r = annfile({"diff", "--exact", "--sps", "250.5", "rec", "a", "a_"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, header);
  load("rec", "sorted", "100\t2\t0\t0\t0\tfirst\n100\t22\t0\t0\t0\tsecond\n");
  r = annfile({"diff", "--exact", "rec", "sorted", "sorted"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, log_header("rec", "sorted") + "-100,ART,first\n100,ART,first\n");
}

// An annotation as annfile text, and its sort key.
struct ann {
  int time, type, subtype, channel, number;
  std::string aux;  // "-" for none
  std::string text() const {
    std::string s = std::to_string(time) + "\t" + std::to_string(type) + "\t" +
                    std::to_string(subtype) + "\t" + std::to_string(channel) + "\t" +
                    std::to_string(number);
    return aux == "-" ? s + "\n" : s + "\t" + aux + "\n";
  }
  std::tuple<int, int, int> key() const { return {time, channel, number}; }
  std::tuple<int, int, std::string> value() const { return {type, subtype, aux}; }
};

std::string text_of(const std::vector<ann>& v) {
  std::string s;
  for (const ann& a : v) s += a.text();
  return s;
}

// The runs of equal keys of a sequence sorted by key, each as value ids.
std::map<std::tuple<int, int, int>, std::vector<uint32_t>> runs_of(
    const std::vector<ann>& v, std::map<std::tuple<int, int, std::string>, uint32_t>& ids) {
  std::map<std::tuple<int, int, int>, std::vector<uint32_t>> runs;
  for (const ann& a : v) runs[a.key()].push_back(ids.emplace(a.value(), ids.size()).first->second);
  return runs;
}

// The lines of a dump, sorted: its annotations whatever their order.
std::vector<std::string> sorted_lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(text.substr(at, end - at));
  std::sort(lines.begin(), lines.end());
  return lines;
}

TEST_F(Diff, LogsHoldWhatChangedOrTurnFromIntoToWithTheFewestEntries) {
  std::mt19937 rng(5);
  const char* auxes[] = {"-", "a", "b,c", "{x}"};
  const int types[] = {1, 2, 22};
  auto random_ann = [&]() {
    return ann{(int)(rng() % 5), types[rng() % 3],     (int)(rng() % 2),
               (int)(rng() % 2), (int)(rng() % 2) - 1, auxes[rng() % 4]};
  };
  for (int round = 0; round < 120; round++) {
    std::vector<ann> from(rng() % 12), to;
    for (ann& a : from) a = random_ann();
    // The list after loading: by key, equal keys in the reverse of file order.
    std::vector<ann> loaded(from.rbegin(), from.rend());
    std::stable_sort(loaded.begin(), loaded.end(),
                     [](const ann& x, const ann& y) { return x.key() < y.key(); });
    if (rng() % 2) {
      to = loaded;  // a few edits away
      for (int e = rng() % 4; e > 0; e--) {
        if (!to.empty() && rng() % 2)
          to.erase(to.begin() + rng() % to.size());
        else
          to.insert(to.begin() + rng() % (to.size() + 1), random_ann());
      }
    } else {
      to.resize(rng() % 12);
      for (ann& a : to) a = random_ann();
    }
    std::stable_sort(to.begin(), to.end(),
                     [](const ann& x, const ann& y) { return x.key() < y.key(); });
    load("rec", "from", text_of(from));
    load("rec", "to", text_of(to));

    // By default: one entry for each annotation one side holds more often at
    // a place, and annapply then writes TO's annotations, in any order there.
    run_result r = annfile({"diff", "rec", "from", "to"});
    ASSERT_LE(r.status, 1) << r.err;
    std::map<std::tuple<int, int, int>, std::multiset<std::tuple<int, int, std::string>>> want, got;
    for (const ann& x : from) want[x.key()].insert(x.value());
    long changes = 0;
    for (const ann& x : to) {
      auto it = want[x.key()].find(x.value());
      if (it != want[x.key()].end())
        want[x.key()].erase(it);
      else
        changes++;
    }
    for (auto& [key, left] : want) changes += (long)left.size();
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n') - 2, changes) << round << r.out;
    ASSERT_EQ(annapply(r.out).status, 0) << r.out;
    EXPECT_EQ(sorted_lines(dump("rec", "from_")), sorted_lines(dump("rec", "to"))) << r.out;

    r = annfile({"diff", "--exact", "rec", "from", "to"});
    ASSERT_LE(r.status, 1) << r.err;
    ASSERT_EQ(annapply(r.out).status, 0) << r.out;
    ASSERT_EQ(read_file(path("rec.from_")), read_file(path("rec.to"))) << round << "\n" << r.out;

    std::map<std::tuple<int, int, std::string>, uint32_t> ids;
    auto a = runs_of(loaded, ids), b = runs_of(to, ids);
    int fewest = 0;
    for (auto& [key, run] : b) a[key];
    for (auto& [key, run] : a) fewest += search_fewest_entries(run, b[key]);
    long lines = std::count(r.out.begin(), r.out.end(), '\n') - 2;
    EXPECT_EQ(lines, fewest) << round << "\n" << r.out;
    EXPECT_EQ(r.status, fewest ? 1 : 0);
  }
}

// Long annotators a few edits apart: what they hold alike lies in long
// stretches that diff passes over as bytes, and its log must still be
// exactly the multiset of changes, wherever the edits fall (at a stretch's
// edges, every 16th record where the marks are, in runs of one place).
TEST_F(Diff, LongAnnotatorsAFewEditsApartGiveExactlyTheChanges) {
  std::mt19937 rng(11);
  for (int round = 0; round < 40; round++) {
    std::vector<ann> from;
    int t = 0;
    for (int i = 0, n = 500 + (int)(rng() % 3000); i < n; i++) {
      t += rng() % 8 == 0 ? 0 : 1 + (int)(rng() % 300);  // now and then a second at one place
      from.push_back({t, rng() % 10 ? 1 : 2, 0, 0, 0, rng() % 20 ? "-" : "x"});
    }
    std::vector<ann> to = from;
    for (int e = 1 + (int)(rng() % 6); e > 0; e--) {
      size_t at = rng() % 4 == 0 ? (rng() % 4) * 16 : rng() % to.size();  // often at a mark
      at = std::min(at, to.size() - 1);
      switch (rng() % 4) {
        case 0: to.erase(to.begin() + at); break;
        case 1: to[at].type = 3; break;
        case 2: to[at].aux = "moved"; break;
        default: to.insert(to.begin() + at, ann{to[at].time, 8, 0, 0, 0, "-"});
      }
      if (to.empty()) to.push_back(from[0]);
    }
    load("rec", "from", text_of(from));
    load("rec", "to", text_of(to));
    run_result r = annfile({"diff", "rec", "from", "to"});
    ASSERT_LE(r.status, 1) << r.err;
    // The changes a multiset model finds, as the entries diff writes them.
    std::map<std::tuple<int, int, int>, std::multiset<std::string>> left;
    auto entry = [](const ann& a) {
      const char* word = a.type == 1 ? "N" : a.type == 2 ? "ART" : a.type == 3 ? "NOISE" : "MARK";
      return std::to_string(a.time) + "," + word + (a.aux == "-" ? "" : "," + a.aux);
    };
    std::multiset<std::string> want;
    for (const ann& a : from) left[a.key()].insert(entry(a));
    for (const ann& a : to) {
      auto& here = left[a.key()];
      auto it = here.find(entry(a));
      if (it != here.end())
        here.erase(it);
      else
        want.insert(entry(a));
    }
    for (auto& [key, gone] : left)
      for (const std::string& e : gone) want.insert("-" + e);
    std::vector<std::string> lines = sorted_lines(r.out.substr(log_header("rec", "from").size()));
    EXPECT_EQ(std::multiset<std::string>(lines.begin(), lines.end()), want) << round;
    EXPECT_EQ(r.status, want.empty() ? 0 : 1);
  }
}

}  // namespace
