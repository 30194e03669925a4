// annfile merge end to end: several reviewers' logs of one annotator, each
// applied to the stored one, combined place by place; what they agree on is
// taken once, what they disagree on stays as stored and is reported.
#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "run.h"

namespace {

using Merge = ScratchDir;

const std::string beats = "1000\t1\t0\t0\t0\n2000\t1\t0\t0\t0\n3000\t1\t0\t0\t0\n";

TEST_F(Merge, TakesWhatTheLogsAgreeOnAndKeepsWhereTheyConflict) {
  const std::string h = log_header("rec", "atr");
  struct {
    const char* what;
    std::vector<std::string> logs;
    std::vector<std::string> options;
    int status;
    std::string out;  // the entries after the header
    std::string err;
  } cases[] = {
      {"disjoint", {"-1000\n", "3000,ART\n"}, {}, 0, "-1000,N\n3000,ART\n", ""},
      {"both delete a beat: once", {"-2000\n", "-2000\n"}, {}, 0, "-2000,N\n", ""},
      {"both insert one note: once", {"1500,NOTE,x\n", "1500,x\n"}, {}, 0, "1500,NOTE,x\n", ""},
      {"one log alone", {"-1000\n1001\n"}, {}, 0, "-1000,N\n1001,N\n", ""},
      {"a beat moved to two places",
       {"-1000\n1005\n", "-1000\n1003\n"},
       {},
       0,
       "-1000,N\n1003,N\n1005,N\n",
       ""},
      {"the same, within a window of 10",
       {"-1000\n1005\n", "-1000\n1003\n"},
       {"--window", "10"},
       1,
       "",
       "a.log:3: conflict: from 1000 to 1005, this log makes -1000,N 1005,N but b.log makes it "
       "otherwise; the stored annotations stay\n"
       "a.log:4: conflict: from 1000 to 1005, this log makes -1000,N 1005,N but b.log makes it "
       "otherwise; the stored annotations stay\n"
       "b.log:3: conflict: from 1000 to 1005, this log makes -1000,N 1003,N but a.log makes it "
       "otherwise; the stored annotations stay\n"
       "b.log:4: conflict: from 1000 to 1005, this log makes -1000,N 1003,N but a.log makes it "
       "otherwise; the stored annotations stay\n"},
      {"a window too small to join them",
       {"-1000\n1005\n", "-1000\n1003\n"},
       {"--window=1"},
       0,
       "-1000,N\n1003,N\n1005,N\n",
       ""},
      {"two classes for one beat, a third log agrees with one",
       {"-2000\n2000,ART\n", "-2000\n2000,NOISE\n", "-2000\n2000,ART\n3000,MARK\n"},
       {},
       1,
       "3000,MARK\n",
       "a.log:3: conflict: at 2000, this log makes -2000,N 2000,ART but b.log makes it otherwise; "
       "the stored annotations stay\n"
       "a.log:4: conflict: at 2000, this log makes -2000,N 2000,ART but b.log makes it otherwise; "
       "the stored annotations stay\n"
       "b.log:3: conflict: at 2000, this log makes -2000,N 2000,NOISE but a.log, c.log make it "
       "otherwise; the stored annotations stay\n"
       "b.log:4: conflict: at 2000, this log makes -2000,N 2000,NOISE but a.log, c.log make it "
       "otherwise; the stored annotations stay\n"
       "c.log:3: conflict: at 2000, this log makes -2000,N 2000,ART but b.log makes it otherwise; "
       "the stored annotations stay\n"
       "c.log:4: conflict: at 2000, this log makes -2000,N 2000,ART but b.log makes it otherwise; "
       "the stored annotations stay\n"},
      {"skipped lines and unmatched deletes change nothing",
       {"x\n-1000,ART\n2500\n", "2500\n"},
       {},
       0,
       "2500,N\n",
       "a.log:3: skipped: the time is missing\n"
       "a.log:4: unmatched: no annotation matches 1000,ART\n"},
      {"an edit undone within its log is no change", {"4000\n-4000\n", "-3000\n"}, {}, 0, "-3000,N\n", ""},
  };
  for (const auto& c : cases) {
    load("rec", "atr", beats);
    std::vector<std::string> args = {"merge"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    for (size_t i = 0; i < c.logs.size(); i++) {
      std::string name = std::string(1, (char)('a' + i)) + ".log";
      write_file(path(name), h + c.logs[i]);
      args.push_back(name);
    }
    run_result r = annfile(args);
    EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.err;
    EXPECT_EQ(r.out, h + c.out) << c.what;
    EXPECT_EQ(r.err, c.err) << c.what;
    // The merged log applies everyone's work at once.
    ASSERT_EQ(annapply(r.out).status, 0) << c.what;
  }
}

TEST_F(Merge, TroubleWritesNothingAndSaysWhy) {
  load("rec", "atr", beats);
  write_file(path("rec.bad"), "not an annotation file\n");
  write_file(path("a.log"), log_header("rec", "atr") + "5\n");
  write_file(path("other.log"), log_header("rec", "other") + "5\n");
  write_file(path("elsewhere.log"), log_header("rec2", "atr") + "5\n");
  write_file(path("bad.log"), log_header("rec", "bad") + "5\n");
  write_file(path("broken.log"), "[RQEditLog-1.0] Record rec, annotator atr\n\n");
  struct {
    std::vector<std::string> logs;
    std::string err;
  } cases[] = {
      {{"a.log", "other.log"},
       "annfile: other.log names record 'rec', annotator 'other', but a.log names record 'rec', "
       "annotator 'atr': a merge is of logs of one annotator\n"},
      {{"a.log", "elsewhere.log"},
       "annfile: elsewhere.log names record 'rec2', annotator 'atr', but a.log names record "
       "'rec', annotator 'atr': a merge is of logs of one annotator\n"},
      {{"bad.log"}, "annfile: can't read rec.bad: not an annotation file\n"},
      {{"a.log", "broken.log"},
       "annfile: broken.log:1: the header is not readable: no \" (\" follows the annotator name\n"},
      {{"a.log", "missing.log"},
       "annfile: can't read missing.log: No such file or directory\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"merge"};
    args.insert(args.end(), c.logs.begin(), c.logs.end());
    run_result r = annfile(args);
    EXPECT_EQ(r.status, 2) << c.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
  }
}

// An annotation as text, by its place and value.
struct ann {
  int time, type, channel;
  std::string aux;  // "" for none
  bool operator<(const ann& o) const {
    return std::tie(time, channel, type, aux) < std::tie(o.time, o.channel, o.type, o.aux);
  }
  bool operator==(const ann& o) const = default;
};

using by_place = std::map<std::pair<int, int>, std::multiset<ann>>;

by_place places_of(const std::string& dump) {
  by_place m;
  for (size_t at = 0, end; (end = dump.find('\n', at)) != std::string::npos; at = end + 1) {
    ann a = {0, 0, 0, ""};
    int sub, num;
    char aux[300] = "";
    sscanf(dump.substr(at, end - at).c_str(), "%d\t%d\t%d\t%d\t%d\t%299[^\n]", &a.time, &a.type,
           &sub, &a.channel, &num, aux);
    a.aux = aux;
    m[{a.time, a.channel}].insert(a);
  }
  return m;
}

std::multiset<ann> at(const by_place& m, std::pair<int, int> p) {
  auto it = m.find(p);
  return it == m.end() ? std::multiset<ann>{} : it->second;
}

// For random stored annotators and 2 to 4 random logs: the merged result is
// each log's own result in every group that log alone changed (or that all
// logs changing it changed alike), and the stored annotations in every group
// where they conflict.
TEST_F(Merge, MergedResultAgreesWithEachLogWhereItAloneChangedAndWithBaseInConflicts) {
  std::mt19937 rng(3);
  const char* words[] = {"N", "ART", "NOISE"};
  for (int round = 0; round < 40; round++) {
    std::string base;
    for (int i = 0, t = 0; i < 30; i++) {
      t += 1 + (int)(rng() % 5);
      base += std::to_string(t) + "\t" + std::to_string(1 + rng() % 3) + "\t0\t" +
              std::to_string(rng() % 2) + "\t0\n";
    }
    load("rec", "atr", base);
    const by_place stored = places_of(dump("rec", "atr"));
    int count = 2 + (int)(rng() % 3);
    long window = rng() % 3 ? 0 : (long)(rng() % 6);
    bool identical = rng() % 6 == 0;
    std::vector<by_place> results;
    std::vector<std::string> args = {"merge", "--window", std::to_string(window)};
    std::string shared;
    for (int i = 0; i < count; i++) {
      std::string log;
      for (int e = (int)(rng() % 5); e >= 0; e--) {
        std::string entry = std::to_string(rng() % 160) + "," + words[rng() % 3] + "{0/" +
                            std::to_string(rng() % 2) + "/0}";
        log += (rng() % 2 ? "-" : "") + entry + "\n";
      }
      if (identical) log = i == 0 ? (shared = log) : shared;
      std::string name = "r" + std::to_string(i) + ".log";
      write_file(path(name), log_header("rec", "atr") + log);
      args.push_back(name);
      ASSERT_EQ(annapply(log_header("rec", "atr") + log).status, 0);
      results.push_back(places_of(dump("rec", "atr_")));
    }
    run_result m = annfile(args);
    ASSERT_LE(m.status, 1) << m.err;
    ASSERT_EQ(annapply(m.out).status, 0);
    const by_place merged = places_of(dump("rec", "atr_"));

    // The changed places, in groups as merge makes them.
    std::set<std::pair<int, int>> changed;
    for (const by_place& r : results) {
      for (auto& [p, v] : r)
        if (at(stored, p) != v) changed.insert(p);
      for (auto& [p, v] : stored)
        if (at(r, p) != v) changed.insert(p);
    }
    std::vector<std::pair<int, int>> order(changed.begin(), changed.end());
    bool any_conflict = false;
    for (size_t g = 0; g < order.size();) {
      size_t end = g + 1;
      if (window > 0)
        while (end < order.size() && order[end].first - order[end - 1].first <= window) end++;
      std::vector<int> changers;
      for (int i = 0; i < count; i++)
        for (size_t k = g; k < end; k++)
          if (at(results[i], order[k]) != at(stored, order[k])) {
            changers.push_back(i);
            break;
          }
      bool agree = true;
      for (int i : changers)
        for (size_t k = g; k < end; k++)
          agree &= at(results[i], order[k]) == at(results[changers[0]], order[k]);
      any_conflict |= !agree;
      for (size_t k = g; k < end; k++) {
        const by_place& want = agree ? results[changers[0]] : stored;
        EXPECT_TRUE(at(merged, order[k]) == at(want, order[k]))
            << "round " << round << ", time " << order[k].first << (agree ? "" : ", a conflict");
      }
      g = end;
    }
    EXPECT_EQ(m.status, any_conflict ? 1 : 0) << round;
    if (identical) {
      EXPECT_TRUE(merged == results[0]) << round;
    }
    for (const by_place* m : {&stored, &merged})
      for (auto& [p, v] : *m)
        if (!changed.count(p)) {
          EXPECT_TRUE(at(merged, p) == at(stored, p)) << round;
        }
  }
}

}  // namespace
