// Times annapply end to end on generated records and logs and prints medians,
// peak memory and ratios. Runs of the configurations being compared are
// interleaved, so that a noisy machine disturbs them alike.
//
//   annapply_bench BINDIR [quick | compare | targets]
//
// targets: only the rows that the targets of dense logs are read off, and
// those targets.
// compare: no timings; checks that annapply and annapply_tailwalk write the
// same file for a record and each of two logs: random edits, and long runs
// of a few places.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "gen.h"

namespace {

struct config {
  std::string binary;  // annapply, annapply_tailwalk or annfile
  std::vector<std::string> args;
  int status = 0;  // the exit status of a run that did its job; -1: 0 or 1
  int64_t stored;      // annotations in the record
  int64_t edits;       // entries in the log
  log_kind kind;
  bool typed = false;  // every entry names a type
  bool own = false;    // the record has a table of own codes, which the log uses
  std::string record, log;
  std::vector<double> seconds;
  long peak_kb = 0;
};

std::string bindir, workdir;

// Runs one configuration once; returns false when annapply failed.
bool run_once(config& c) {
  std::filesystem::remove(c.record + ".atr_");
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    int in = open(c.log.c_str(), O_RDONLY);
    if (in < 0 || dup2(in, 0) < 0) _exit(126);
    // What annfile check reports is thrown away, as fast as it comes.
    int out = open("/dev/null", O_WRONLY);
    if (out < 0 || dup2(out, 1) < 0) _exit(126);
    std::string bin = bindir + "/" + c.binary;
    std::vector<char*> argv = {c.binary.data()};
    for (std::string& a : c.args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(bin.c_str(), argv.data());
    _exit(127);
  }
  int status;
  rusage ru;
  if (wait4(pid, &status, 0, &ru) != pid) return false;
  c.seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  c.peak_kb = std::max(c.peak_kb, ru.ru_maxrss);
  return WIFEXITED(status) &&
         (c.status < 0 ? WEXITSTATUS(status) <= 1 : WEXITSTATUS(status) == c.status);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Runs every configuration `rounds` times, one round after another.
bool measure(std::vector<config*> cs, int rounds) {
  for (int r = 0; r < rounds; r++)
    for (config* c : cs)
      if (!run_once(*c)) {
        fprintf(stderr, "annapply_bench: %s failed on %s\n", c->binary.c_str(), c->log.c_str());
        return false;
      }
  return true;
}

config make_config(const std::string& binary, int64_t stored, int64_t edits,
                   log_kind kind = random_edits, bool typed = false, bool own = false) {
  config c;
  c.binary = binary;
  c.stored = stored;
  c.edits = edits;
  c.kind = kind;
  c.typed = typed;
  c.own = own;
  char name[64];
  snprintf(name, sizeof name, "r%lld%s", (long long)stored, own ? "own" : "");
  c.record = name;
  const char* suffix[] = {"", "a", "r"};  // by log_kind
  snprintf(name, sizeof name, "/r%lld%s_%lld%s%s.log", (long long)stored, own ? "own" : "",
           (long long)edits, suffix[kind], typed ? "t" : "");
  c.log = workdir + name;
  return c;
}

bool prepare(const config& c) {
  if (!std::filesystem::exists(c.record + ".atr") &&
      generate_record(c.record, c.stored, c.stored, c.own) != 0)
    return false;
  return std::filesystem::exists(c.log) ||
         generate_log(c.log, c.record, c.stored, c.stored, c.edits, c.kind, c.typed,
                      c.own) == 0;
}

std::string read_whole(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  std::string s;
  if (!f) return s;
  char buf[65536];
  for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
  fclose(f);
  return s;
}

// Runs both programs on the same record and log; true when their outputs match.
bool compare_outputs(log_kind kind) {
  config indexed = make_config("annapply", 30000, 20000, kind),
         plain = make_config("annapply_tailwalk", 30000, 20000, kind);
  if (!prepare(indexed) || !run_once(indexed)) return false;
  std::string a = read_whole(indexed.record + ".atr_");
  if (!run_once(plain)) return false;
  std::string b = read_whole(plain.record + ".atr_");
  printf("%s: indexed %zu bytes, tail walk %zu bytes: %s\n",
         kind == runs_at_places ? "long runs" : "random edits", a.size(), b.size(),
         a == b ? "same" : "DIFFERENT");
  return !a.empty() && a == b;
}

volatile uint64_t chase_end;

// Seconds a load takes that waits for the one before it and finds nothing in
// any cache: a chase through 256 MiB, one cache line a step, in an order no
// prefetcher foresees. Median of five chases.
double memory_latency() {
  const size_t lines = ((size_t)256 << 20) / 64;
  std::vector<uint64_t> chase(lines * 8);
  std::vector<uint32_t> order(lines);
  std::iota(order.begin(), order.end(), 0);
  std::mt19937_64 rng(7);
  std::shuffle(order.begin(), order.end(), rng);
  // One cycle through every line.
  for (size_t i = 0; i < lines; i++) chase[order[i] * 8] = order[(i + 1) % lines] * 8;
  std::vector<double> seconds;
  uint64_t p = 0;
  const int steps = 2000000;
  for (int r = 0; r < 5; r++) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < steps; i++) p = chase[p];
    seconds.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / steps);
  }
  chase_end = p;
  return median(seconds);
}

std::string with_commas(int64_t n) {
  std::string digits = std::to_string(n), s;
  for (size_t i = 0; i < digits.size(); i++) {
    if (i > 0 && (digits.size() - i) % 3 == 0) s += ',';
    s += digits[i];
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: annapply_bench BINDIR [quick | compare | targets]\n");
    return 2;
  }
  bindir = std::filesystem::absolute(argv[1]);
  bool quick = argc > 2 && strcmp(argv[2], "quick") == 0;
  bool compare = argc > 2 && strcmp(argv[2], "compare") == 0;
  bool targets = argc > 2 && strcmp(argv[2], "targets") == 0;
  char tmpl[] = "/tmp/annapply-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return perror("mkdtemp"), 1;
  workdir = tmpl;
  // The files are made and used in there: annotation files are named relative
  // to the working directory.
  if (chdir(tmpl) != 0) return perror("chdir"), 1;
  if (compare) {
    bool same = compare_outputs(random_edits) && compare_outputs(runs_at_places);
    if (chdir("/") == 0) std::filesystem::remove_all(workdir);
    return same ? 0 : 1;
  }

  std::vector<int64_t> sizes = quick ? std::vector<int64_t>{1000, 10000}
                     : targets ? std::vector<int64_t>{100000, 1000000}
                               : std::vector<int64_t>{100000, 1000000, 10000000};
  std::vector<int64_t> logs = quick ? std::vector<int64_t>{0, 100, 1000}
                                    : std::vector<int64_t>{0, 1000, 100000, 1000000};
  bool ok = true;
  // The targets of dense logs are read off the table: an edit among the
  // middle size's annotations, its densest log against the node path (every
  // stored annotation a node of its own, as before stretches), and the peak
  // of the smallest size's densest log.
  size_t dense = logs.size() - 1, many = dense - 1;
  std::vector<double> latencies = {memory_latency()};
  double empty_s = 0, edits_s = 0, dense_s = 0, nodes_s = 0, dense_peak = 0;
  printf("%12s %10s %10s %10s %14s\n", "annotations", "edits", "median s", "peak B/ann",
         "vs empty log");
  for (int64_t n : sizes) {
    std::vector<config> cs;
    for (int64_t e : logs) cs.push_back(make_config("annapply", n, e));
    // Beside the runs it is compared with, not in the table.
    if (n == sizes[1]) cs.push_back(make_config("annapply_nodes", n, logs[dense]));
    std::vector<config*> ptrs;
    for (config& c : cs) ok = ok && prepare(c), ptrs.push_back(&c);
    ok = ok && measure(ptrs, n >= 10000000 ? 3 : 5);
    if (!ok) break;
    double base = median(cs[0].seconds);
    for (size_t i = 0; i < logs.size(); i++)
      printf("%12s %10s %10.3f %10.1f %14.2f\n", with_commas(n).c_str(),
             with_commas(cs[i].edits).c_str(), median(cs[i].seconds), cs[i].peak_kb * 1024.0 / n,
             median(cs[i].seconds) / base);
    fflush(stdout);
    if (n == sizes[0]) dense_peak = cs[dense].peak_kb * 1024.0 / n;
    if (n == sizes[1]) {
      empty_s = base;
      edits_s = median(cs[many].seconds);
      dense_s = median(cs[dense].seconds);
      nodes_s = median(cs.back().seconds);
    }
  }
  latencies.push_back(memory_latency());
  if (ok) {
    double latency = median(latencies);
    printf("\nmemory latency %.1f ns (a dependent load, 256 MiB in random order)\n", latency * 1e9);
    printf("%s + %s: an edit costs %.2f latencies (target at most 3.5)\n",
           with_commas(sizes[1]).c_str(), with_commas(logs[many]).c_str(),
           (edits_s - empty_s) / (double)logs[many] / latency);
    printf("%s + %s: %.3f s, the node path %.3f s: %.2f times (target at most 1)\n",
           with_commas(sizes[1]).c_str(), with_commas(logs[dense]).c_str(), dense_s, nodes_s,
           dense_s / nodes_s);
    printf("%s + %s: peak %.1f B/ann (target at most 250)\n", with_commas(sizes[0]).c_str(),
           with_commas(logs[dense]).c_str(), dense_peak);
    fflush(stdout);
  }
  if (targets) {
    if (chdir("/") == 0) std::filesystem::remove_all(workdir);
    return ok ? 0 : 1;
  }

  // The rewrite against its yardstick, the least a safe rewrite costs: read
  // the stored file, write it beside itself, flush it to disk and rename it.
  int64_t big = quick ? 10000 : 10000000;
  config copied = make_config("yardstick", big, 0), empty = make_config("annapply", big, 0),
         edited = make_config("annapply", big, 1000);
  copied.args = {copied.record + ".atr"};
  for (config* c : {&copied, &empty, &edited}) ok = ok && prepare(*c);
  ok = ok && measure({&copied, &empty, &edited}, 7);
  if (ok) {
    printf("\n%s annotations: yardstick %.3f s; empty log %.3f s, %.2f times the yardstick\n",
           with_commas(big).c_str(), median(copied.seconds), median(empty.seconds),
           median(empty.seconds) / median(copied.seconds));
    printf("  1,000 edits %.3f s, %.2f times the empty log; peak %.1f B/ann (empty log %.1f)\n",
           median(edited.seconds), median(edited.seconds) / median(empty.seconds),
           edited.peak_kb * 1024.0 / big, empty.peak_kb * 1024.0 / big);
  }

  // The tail walk, on the size where it still ends in seconds.
  int64_t n = quick ? 10000 : 1000000, e = quick ? 1000 : 10000;
  config old_empty = make_config("annapply_tailwalk", n, 0), old_edits = make_config("annapply_tailwalk", n, e);
  config new_empty = make_config("annapply", n, 0), new_edits = make_config("annapply", n, e);
  for (config* c : {&old_empty, &old_edits, &new_empty, &new_edits}) ok = ok && prepare(*c);
  ok = ok && measure({&old_empty, &old_edits, &new_empty, &new_edits}, 3);
  if (ok) {
    printf("\n%s annotations, %s edits: tail walk %.3f s, indexed %.3f s: %.1f times faster\n",
           with_commas(n).c_str(), with_commas(e).c_str(), median(old_edits.seconds),
           median(new_edits.seconds), median(old_edits.seconds) / median(new_edits.seconds));
    printf("  (empty log: tail walk %.3f s, indexed %.3f s)\n", median(old_empty.seconds),
           median(new_empty.seconds));
  }

  // Parsing and applying a log against loading the same number from a file.
  config loaded = make_config("annapply", n, 0),
         logged = make_config("annapply", 0, n, ascending_inserts);
  ok = ok && prepare(loaded) && prepare(logged) && measure({&loaded, &logged}, 5);
  if (ok)
    printf("\n%s annotations: loaded from a file %.3f s, inserted by a log %.3f s: log rate %.2f of load rate\n",
           with_commas(n).c_str(), median(loaded.seconds), median(logged.seconds),
           median(loaded.seconds) / median(logged.seconds));

  // annfile check reads, loads and applies as annapply does, and writes nothing.
  config applied = make_config("annapply", n, n), checked = make_config("annfile", n, n);
  checked.args = {"check"};
  checked.status = 1;  // the random log holds deletes that match nothing
  ok = ok && prepare(applied) && measure({&applied, &checked}, 5);
  if (ok)
    printf("\n%s annotations, a log of %s lines: annapply %.3f s, annfile check %.3f s: check "
           "takes %.2f of annapply's time\n",
           with_commas(n).c_str(), with_commas(n).c_str(), median(applied.seconds),
           median(checked.seconds), median(checked.seconds) / median(applied.seconds));

  // Two versions of the big record 1,000 edits apart: what changed, and two
  // reviewers' logs merged, against annapply on one such log.
  config applied_big = make_config("annapply", big, 1000), diffed = make_config("annfile", big, 0),
         merged = make_config("annfile", big, 0);
  std::string second = workdir + "/second.log";
  ok = ok && prepare(applied_big) &&
       (std::filesystem::exists(second) ||
        generate_log(second, applied_big.record, big, big, 1000, random_edits, false, false, 1) == 0) &&
       run_once(applied_big);
  if (ok) {
    std::filesystem::rename(applied_big.record + ".atr_", applied_big.record + ".edited");
    diffed.args = {"diff", applied_big.record, "atr", "edited"};
    diffed.status = 1;
    merged.args = {"merge", applied_big.log, second};
    merged.status = -1;
    ok = measure({&applied_big, &diffed, &merged}, 5);
  }
  if (ok) {
    printf("\n%s annotations, 1,000 edits: annapply %.3f s, peak %.1f B/ann\n",
           with_commas(big).c_str(), median(applied_big.seconds), applied_big.peak_kb * 1024.0 / big);
    printf("  annfile diff of the two versions %.3f s, %.2f times annapply, peak %.1f B/ann\n",
           median(diffed.seconds), median(diffed.seconds) / median(applied_big.seconds),
           diffed.peak_kb * 1024.0 / big);
    printf("  annfile merge of two 1,000-entry logs %.3f s, %.2f times annapply, peak %.1f B/ann\n",
           median(merged.seconds), median(merged.seconds) / median(applied_big.seconds),
           merged.peak_kb * 1024.0 / big);
  }

  // Own codes: a log whose every entry names a type, by the record's own
  // table of 113 codes against the built-in one; and the rewrite of a record
  // with own codes against its yardstick.
  config builtin_typed = make_config("annapply", n, n, random_edits, true),
         own_typed = make_config("annapply", n, n, random_edits, true, true);
  ok = ok && prepare(builtin_typed) && prepare(own_typed) &&
       measure({&builtin_typed, &own_typed}, 5);
  if (ok)
    printf("\n%s annotations, %s typed entries: built-in mnemonics %.3f s, 113 own %.3f s: "
           "%.2f times\n",
           with_commas(n).c_str(), with_commas(n).c_str(), median(builtin_typed.seconds),
           median(own_typed.seconds), median(own_typed.seconds) / median(builtin_typed.seconds));
  config plain_copied = make_config("yardstick", big, 0),
         plain_empty = make_config("annapply", big, 0),
         own_copied = make_config("yardstick", big, 0, random_edits, false, true),
         own_empty = make_config("annapply", big, 0, random_edits, false, true);
  plain_copied.args = {plain_copied.record + ".atr"};
  own_copied.args = {own_copied.record + ".atr"};
  ok = ok && prepare(own_copied) && prepare(own_empty) &&
       measure({&plain_copied, &plain_empty, &own_copied, &own_empty}, 5);
  if (ok)
    printf("%s annotations, empty log: %.2f times the yardstick without own codes, %.2f with\n",
           with_commas(big).c_str(), median(plain_empty.seconds) / median(plain_copied.seconds),
           median(own_empty.seconds) / median(own_copied.seconds));

  if (chdir("/") == 0) std::filesystem::remove_all(workdir);
  return ok ? 0 : 1;
}
