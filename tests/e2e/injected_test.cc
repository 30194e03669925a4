// Every file operation of both programs failed in turn, the Nth call for every
// N of a small run, by an injector preloaded into the program. Whatever
// fails, the status must be honest, every file that stood before must stand
// as it was (or, the file the run writes, as a run without faults writes it),
// and nothing may be left behind.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "run.h"

namespace {

struct fault {
  const char* op;
  int err;
};

const fault faults[] = {
    {"open", EACCES},  {"open", EIO},     {"open", ENOENT}, {"read", EIO},   {"pread", EIO},
    {"write", EIO},    {"write", ENOSPC}, {"fstat", EIO},   {"stat", EIO},   {"fsync", EIO},
    {"close", EIO},    {"rename", EIO},   {"link", EIO},    {"unlink", EIO}, {"mkstemp", EACCES},
    {"fchmod", EPERM}, {"alloc", ENOMEM},
};

const char stored[] =
    "100\t1\t0\t0\t0\n"
    "200\t1\t0\t0\t0\n"
    "300\t1\t0\t0\t0\tx\n"
    "400\t5\t0\t0\t0\n";
const char earlier[] = "7\t1\t0\t0\t0\n";
// What the entries below make of `stored`: an earlier run of the same log,
// which annfile check reads and finds no loss in.
const char again[] =
    "50\t1\t0\t0\t0\n100\t1\t0\t0\t0\n150\t1\t0\t0\t0\n250\t22\t0\t0\t0\tseen\n400\t5\t0\t0\t0\n";
// Inserts and deletes; each delete matches a stored annotation.
const char entries[] = "150,N\n-200\n250,NOTE,seen\n-300,N,x\n50\n";

// One program run in a folder of a few small files. The record is "rec".
struct scenario {
  const char* name;
  std::vector<std::string> argv;  // the program's name, then its arguments
  std::string input;
  const char* atr;     // what rec.atr holds, as annfile load takes it; null: absent
  const char* atr_;    // the same for rec.atr_
  const char* log;     // the file edits.log; null: absent
  std::string target;  // the file the run writes, "" for none
  int top_status;      // the program documents the statuses from 0 to this
};

const std::string log_text = log_header("rec", "atr") + entries;
const std::string tsv_text = "50\t1\t0\t0\t0\n150\tN\t0\t0\t0\n250\t22\t0\t0\t0\tseen\n";
const std::vector<std::string> apply = {"annapply"}, load = {"annfile", "load", "rec", "atr"};

const scenario scenarios[] = {
    {"ApplyReplacingAnOutput", apply, log_text, stored, earlier, nullptr, "rec.atr_", 2},
    {"ApplyToANewRecord", apply, log_text, nullptr, nullptr, nullptr, "rec.atr", 2},
    {"ApplyWithoutAnOutputYet", apply, log_text, stored, nullptr, nullptr, "rec.atr_", 2},
    {"LoadReplacing", load, tsv_text, stored, nullptr, nullptr, "rec.atr", 1},
    {"LoadNew", load, tsv_text, nullptr, nullptr, nullptr, "rec.atr", 1},
    {"Check", {"annfile", "check", "edits.log"}, "", stored, again, log_text.c_str(), "", 2},
    {"Dump", {"annfile", "dump", "rec", "atr"}, "", stored, nullptr, nullptr, "", 1},
};

void PrintTo(const scenario& s, std::ostream* os) {
  *os << s.name;
}

// A scratch folder and a report file for the injector.
class InjectDir : public ScratchDir {
 protected:
  void SetUp() override {
    ScratchDir::SetUp();
    char name[] = "/tmp/inject-report-XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    report = name;
  }
  void TearDown() override {
    unlink(report.c_str());
    ScratchDir::TearDown();
  }

  // The environment that fails call n of op with err (counting only calls on
  // `only`, when given), with the report emptied.
  std::vector<std::string> injecting(const char* op, long n, int err, const char* only = nullptr) {
    EXPECT_EQ(truncate(report.c_str(), 0), 0);
    std::vector<std::string> env = {"LD_PRELOAD=" INJECT_LIB, std::string("INJECT_CALL=") + op,
                                    "INJECT_NTH=" + std::to_string(n),
                                    "INJECT_ERRNO=" + std::to_string(err),
                                    "INJECT_REPORT=" + report};
    if (only) env.push_back(std::string("INJECT_PATH=") + only);
    return env;
  }
  // Whether the injector failed a call since `injecting`.
  bool fired() { return !read_file(report).empty(); }

  std::string report;
};

class Injected : public InjectDir, public testing::WithParamInterface<scenario> {
 protected:
  void SetUp() override {
    InjectDir::SetUp();
    const scenario& s = GetParam();
    for (auto [name, tsv] : {std::pair{"atr", s.atr}, std::pair{"atr_", s.atr_}}) {
      if (!tsv) continue;
      load("rec", name, tsv);
      before.push_back({std::string("rec.") + name, read_file(path(std::string("rec.") + name))});
    }
    if (s.log) before.push_back({"edits.log", s.log});
  }

  // Puts back the files that stand before every run, and only those.
  void prepare() {
    for (const auto& e : std::filesystem::directory_iterator(dir))
      std::filesystem::remove_all(e.path());
    for (const auto& [name, content] : before) write_file(path(name), content);
  }

  run_result run(std::vector<std::string> env) {
    const scenario& s = GetParam();
    std::vector<std::string> argv = s.argv;
    argv[0] = argv[0] == "annapply" ? ANNAPPLY_BIN : ANNFILE_BIN;
    return run_program(argv, s.input, dir, s.argv[0].c_str(), {.env = env});
  }

  // What is wrong with a run, given a run of the same scenario without
  // faults; "" when nothing is.
  std::string judge(const run_result& base, const std::string& base_target, const run_result& r,
                    bool temp_may_stay) {
    const scenario& s = GetParam();
    std::string wrong;
    auto add = [&](const std::string& what) { wrong += (wrong.empty() ? "" : "; ") + what; };
    if (r.status < 0 || r.status > s.top_status)
      add(r.status > 128 ? "killed by signal " + std::to_string(r.status - 128)
                         : "undocumented status " + std::to_string(r.status));
    bool wrote = !s.target.empty() && file_exists(path(s.target));
    if (r.status == 0 && !s.target.empty() && (!wrote || read_file(path(s.target)) != base_target))
      add("status 0, and " + s.target + " is not what a run without faults writes");
    if (r.status == 0 && r.out != base.out) add("status 0, and a different standard output");
    std::set<std::string> known;
    for (const auto& [name, content] : before) {
      known.insert(name);
      std::string now = file_exists(path(name)) ? read_file(path(name)) : "";
      bool ok =
          file_exists(path(name)) && (now == content || (name == s.target && now == base_target));
      if (!ok) add(name + (file_exists(path(name)) ? " changed" : " is gone"));
    }
    if (wrote && !known.count(s.target) && read_file(path(s.target)) != base_target)
      add(s.target + " was made, not as a run without faults makes it");
    for (const std::string& name : list_dir(dir)) {
      if (known.count(name) || name == s.target) continue;
      if (temp_may_stay && name.rfind(s.target + ".", 0) == 0) continue;
      add("left " + name);
    }
    if (r.status != 0 && r.err.rfind(s.argv[0] + ": ", 0) != 0 && r.err.rfind("NESK: ", 0) != 0)
      add("status " + std::to_string(r.status) + " without a message");
    if (!wrong.empty()) {
      std::string said = r.err.substr(0, r.err.find('\n'));
      wrong +=
          " (status " + std::to_string(r.status) + (said.empty() ? "" : ", \"" + said + "\"") + ")";
      // What a reading program made of it, when that is where it went wrong.
      if (r.out != base.out && !r.out.empty()) {
        std::string last = r.out.substr(0, r.out.size() - 1);
        wrong += ", its last line of output \"" + last.substr(last.rfind('\n') + 1) + "\"";
      }
    }
    return wrong;
  }

  std::vector<std::pair<std::string, std::string>> before;  // name, bytes
};

TEST_P(Injected, EveryFailureOfEveryCallIsHonestAndLosesNothing) {
  const scenario& s = GetParam();
  prepare();
  run_result base = run({});
  ASSERT_EQ(base.status, 0) << base.err;
  std::string base_target = s.target.empty() ? "" : read_file(path(s.target));
  long positions = 0, found = 0;
  // Calls of each operation, and the errors each was failed with.
  std::map<std::string, std::pair<long, int>> tried;
  for (const fault& f : faults) {
#ifdef UNDER_ASAN
    // The sanitizer's allocator never calls through to an interposed one.
    if (f.op == std::string("alloc")) {
      RecordProperty(std::string(s.name) + " alloc", "skipped under AddressSanitizer");
      continue;
    }
#endif
    for (long n = 1;; n++) {
      ASSERT_LT(n, 5000) << f.op << ": the injector never stops firing";
      prepare();
      run_result r = run(injecting(f.op, n, f.err));
      if (!fired()) {
        if (n > 1) tried[f.op].second++;
        break;
      }
      positions++;
      tried[f.op].first = std::max(tried[f.op].first, n);
      std::string wrong = judge(base, base_target, r, f.op == std::string("unlink"));
      if (!wrong.empty()) {
        found++;
        ADD_FAILURE() << s.name << ": " << f.op << " " << strerror(f.err) << " at call " << n
                      << ": " << wrong;
      }
    }
  }
  // Each program opens, reads and closes; each that writes a file writes and syncs it.
  std::vector<std::string> used = {"open", "read", "close"};
  if (!s.target.empty()) used.insert(used.end(), {"write", "fsync"});
#ifndef UNDER_ASAN
  used.push_back("alloc");
#endif
  for (const std::string& op : used) EXPECT_TRUE(tried.count(op)) << op << " never failed";
  std::string coverage = std::to_string(tried.size()) + " operations, " +
                         std::to_string(positions) + " positions tried (calls x errors:";
  for (const auto& [op, n] : tried)
    coverage += " " + op + " " + std::to_string(n.first) + "x" + std::to_string(n.second);
  coverage += "), " + std::to_string(found) + " faults found";
  RecordProperty("coverage", coverage);
  printf("[ coverage ] %s: %s\n", s.name, coverage.c_str());
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Injected, testing::ValuesIn(scenarios),
                         [](const testing::TestParamInfo<scenario>& i) { return i.param.name; });

using InputFaults = InjectDir;

// Only an input that does not exist sends the result to the annotator's own
// name. A failure to open or read one that is there ends the run with status
// 2, touches nothing, and annfile check foretells it; a failure that says "no
// such file" of a file that is there still finds it in the way.
TEST_F(InputFaults, AFailedReadOfTheInputIsNeverTakenForItsAbsence) {
  const fault cases[] = {{"open", EACCES}, {"open", EIO},  {"open", ENOENT}, {"open", ENOMEM},
                         {"read", EIO},    {"pread", EIO}, {"fstat", EIO}};
  const std::string log = log_header("rec", "atr") + entries;
  load("rec", "atr", stored);
  load("rec", "other", earlier);
  const std::string input = read_file(path("rec.atr")), output = read_file(path("rec.other"));
  ASSERT_EQ(unlink(path("rec.other").c_str()), 0);
  long positions = 0;
  for (bool with_output : {true, false}) {
    for (const fault& f : cases) {
      for (long n = 1; n < 100; n++) {
        std::string row = std::string(f.op) + " " + strerror(f.err) + " at call " +
                          std::to_string(n) + (with_output ? ", rec.atr_ there" : "");
        write_file(path("rec.atr"), input);
        std::filesystem::remove(path("rec.atr_"));
        if (with_output) write_file(path("rec.atr_"), output);
        run_result r = run_program({ANNAPPLY_BIN}, log, dir, "annapply",
                                   {.env = injecting(f.op, n, f.err, "rec.atr")});
        if (!fired()) break;
        positions++;
        run_result c = run_program({ANNFILE_BIN, "check"}, log, dir, "annfile",
                                   {.env = injecting(f.op, n, f.err, "rec.atr")});
        bool check_read = fired();
        // One line that tells all that happened, against the one expected.
        std::string files;
        for (const std::string& name : list_dir(dir)) files += " " + name;
        std::string outcome = "status " + std::to_string(r.status) + ", " +
                              r.err.substr(0, r.err.find('\n')) + ", files" + files;
        if (read_file(path("rec.atr")) != input) outcome += ", rec.atr changed";
        if (with_output && read_file(path("rec.atr_")) != output) outcome += ", rec.atr_ changed";
        outcome += "; check status " + std::to_string(c.status);
        if (c.err.rfind("annfile: ", 0) != 0) outcome += " without a message";
        if (!check_read) outcome += " without reading rec.atr";
        EXPECT_EQ(outcome,
                  "status 2, annapply: can't write output annotation file 'rec.atr, files" +
                      std::string(with_output ? " rec.atr rec.atr_" : " rec.atr") +
                      "; check status 2")
            << row;
      }
    }
  }
  EXPECT_GE(positions, 2 * 6);
  RecordProperty("positions tried", std::to_string(positions));
}

}  // namespace
