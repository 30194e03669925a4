// annapply end to end on what other tools and damaged disks may hand it:
// logs of noise, of huge lines, of endless malformed lines, with other line
// ends and with zero bytes, and annotation files damaged at every bit. None
// may crash it, grow its memory with the log's size, draw any message but
// the documented ones, or get a damaged file overwritten.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "run.h"

namespace {

using Hostile = ScratchDir;

// Deterministic noise: every byte value, "\n" among them about once in 256.
std::string noise(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (char& c : s) {
    seed = seed * 1664525u + 1013904223u;
    c = (char)(seed >> 24);
  }
  return s;
}

// True when err holds nothing but the two warnings, each with its time.
bool only_warnings(const std::string& err) {
  const std::string prefix = "annapply(warning): ";
  const std::string kinds[] = {"no support for tf at ", "aux will be truncated at "};
  size_t i = 0;
  while (i < err.size()) {
    if (err.compare(i, prefix.size(), prefix) != 0) return false;
    i += prefix.size();
    bool known = false;
    for (const std::string& k : kinds)
      if (err.compare(i, k.size(), k) == 0) i += k.size(), known = true;
    size_t digits = i;
    while (i < err.size() && err[i] >= '0' && err[i] <= '9') i++;
    if (!known || i == digits) return false;
  }
  return true;
}

// Lines that are no entry, cycled through: each is skipped without a message.
const char* const malformed[] = {
    "x",          "100;N",  "+100", " 100",           "--100",   "100,N{1/2",
    "2147483648", "100-50", "100-", "100,N{1/2/3",    "-",       "",
    "\r",         "1e5,N",  "0x10", "99999999999999", "100-x,N", "100x,",
};

TEST_F(Hostile, LogsOfEveryKindOfRubbishKeepMemoryFlatAndSayOnlyWhatIsDocumented) {
  const std::string header = log_header("rec", "atr");
  std::string many_malformed;
  for (int i = 0; i < 1000000; i++)
    many_malformed += malformed[i % std::size(malformed)] + std::string("\n");
  std::string cr_only;
  for (int i = 0; i < 100000; i++) cr_only += std::to_string(1000 + i) + "\r";
  const std::string x255 = std::string(255, 'x');
  struct {
    const char* what;
    std::string log;
    int status;
    std::string err;   // "*": only the documented warnings
    std::string dump;  // "*": whatever it is, as long as it can be read
  } cases[] = {
      {"binary noise after a header", header + noise(4 << 20, 1), 0, "*", "*"},
      {"binary noise for a header", noise(4 << 20, 2), 1,
       "annapply: can't parse input file (format error)\n", ""},
      {"a line of 10 MB", header + "100,N," + std::string(10 << 20, 'x') + "\n200\n", 0,
       "annapply(warning): aux will be truncated at 100",
       "100\t1\t0\t0\t0\t" + x255 + "\n200\t1\t0\t0\t0\n"},
      {"10 MB of digits and no line end", header + std::string(10 << 20, '7'), 0, "", ""},
      {"1,000,000 malformed lines", header + many_malformed, 0, "", ""},
      // Only "\n" ends a line: the log is one line, and only its start is an entry.
      {"CR-only line ends after a header", header + cr_only, 0, "", "1000\t1\t0\t0\t0\n"},
      // The header's first line is read as the first 499 bytes, and the
      // second line then starts with the digit that follows them.
      {"CR-only line ends throughout",
       "[RQEditLog-1.0] Record rec, annotator atr (360 samples/second)\r\r" + cr_only, 1,
       "annapply: can't parse input file (format error)\n", ""},
      {"zero bytes",
       header + std::string("100\0\n", 5) + std::string(1 << 20, '\0') + "\n200\n" +
           std::string("300,N,a\0b\n\0\0\0\n", 14) + "400",
       0, "", "200\t1\t0\t0\t0\n400\t1\t0\t0\t0\n"},
  };
  run_result base = annapply(header, {.measure_memory = true});
  ASSERT_EQ(base.status, 0);
  for (const auto& c : cases) {
    ASSERT_EQ(unlink(path("rec.atr").c_str()), 0) << c.what;
    run_result r = annapply(c.log, {.measure_memory = true});
    EXPECT_EQ(r.status, c.status) << c.what;
    if (c.err == "*")
      EXPECT_TRUE(only_warnings(r.err)) << c.what << ": " << r.err.substr(0, 300);
    else
      EXPECT_EQ(r.err, c.err) << c.what;
    // The log is read through a fixed buffer, and nothing here keeps more
    // than a few annotations: the log's size must not show in memory.
    EXPECT_LT(r.maxrss_kb - base.maxrss_kb, 4 * 1024) << c.what;
    RecordProperty(c.what, std::to_string(r.maxrss_kb) + " KB peak, " +
                               std::to_string(base.maxrss_kb) + " KB for the header alone");
    if (c.status != 0) {
      EXPECT_EQ(list_dir(dir), std::vector<std::string>{}) << c.what;
      write_file(path("rec.atr"), "");  // for the next case's unlink
      continue;
    }
    if (c.dump == "*") {
      EXPECT_EQ(annfile({"dump", "rec", "atr"}).status, 0) << c.what;
    } else {
      EXPECT_EQ(dump("rec", "atr"), c.dump) << c.what;
    }
  }
}

TEST_F(Hostile, EveryTruncationAndEveryFlippedBitIsRefusedAndNeverOverwritten) {
  load("rec", "atr", "100\t1\t0\t0\t0\n200\t5\t1\t2\t3\tx\n");
  const std::string good = read_file(path("rec.atr"));
  std::vector<std::string> damaged;
  for (size_t len = 0; len < good.size(); len++) damaged.push_back(good.substr(0, len));
  for (size_t bit = 0; bit < good.size() * 8; bit++) {
    damaged.push_back(good);
    damaged.back()[bit / 8] ^= (char)(1 << bit % 8);
  }
  size_t refused = 0;
  for (size_t i = 0; i < damaged.size(); i++) {
    const std::string& content = damaged[i];
    write_file(path("rec.atr"), content);
    run_result d = annfile({"dump", "rec", "atr"});
    // The input is refused, so the output goes to the same name, which holds
    // no valid annotation file and so is not replaced.
    run_result a = annapply(log_header("rec", "atr") + "7\n");
    bool ok = d.status == 1 && d.out.empty() &&
              d.err.rfind("annfile: can't read rec.atr: ", 0) == 0 && a.status == 2 &&
              a.err == "annapply: can't write output annotation file 'rec.atr\n" &&
              read_file(path("rec.atr")) == content &&
              list_dir(dir) == std::vector<std::string>{"rec.atr"};
    EXPECT_TRUE(ok) << (i < good.size() ? "cut at " + std::to_string(i)
                                        : "bit " + std::to_string(i - good.size()) + " flipped")
                    << ": dump " << d.status << " " << d.err << "annapply " << a.status << " "
                    << a.err;
    refused += ok;
  }
  EXPECT_EQ(refused, damaged.size());
  RecordProperty("damaged files refused", std::to_string(refused));
  // The same file undamaged is read and kept.
  write_file(path("rec.atr"), good);
  EXPECT_EQ(annfile({"dump", "rec", "atr"}).status, 0);
  EXPECT_EQ(annapply(log_header("rec", "atr") + "7\n").status, 0);
  EXPECT_EQ(read_file(path("rec.atr")), good);
}

TEST_F(Hostile, FifoInPlaceOfAnAnnotationFileIsRefusedWithoutWaitingForAWriter) {
  // A FIFO opened for reading waits for a writer that never comes; the guard
  // turns that wait into SIGALRM.
  const run_limits guard = {.alarm_seconds = 60};
  ASSERT_EQ(mkfifo(path("rec.atr").c_str(), 0644), 0);
  run_result d = annfile({"dump", "rec", "atr"}, "", guard);
  EXPECT_EQ(d.status, 1);
  EXPECT_EQ(d.err, "annfile: can't read rec.atr: not a regular file\n");
  run_result a = annapply(log_header("rec", "atr") + "7\n", guard);
  EXPECT_EQ(a.status, 2);
  EXPECT_EQ(a.err, "annapply: can't write output annotation file 'rec.atr\n");

  // As the previous output: the input is read, the output is refused.
  ASSERT_EQ(rename(path("rec.atr").c_str(), path("rec.atr_").c_str()), 0);
  load("rec", "atr", "1\t1\t0\t0\t0\n");
  a = annapply(log_header("rec", "atr") + "7\n", guard);
  EXPECT_EQ(a.status, 2);
  EXPECT_EQ(a.err, "annapply: can't write output annotation file 'rec.atr_\n");
  EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"rec.atr", "rec.atr_"}));
}

// A huge file is judged by its ends first: one that is not an annotation
// file, or whose trailer's count cannot fill it, costs two small reads, not
// its size in memory. Sparse files, so that they take no room on disk.
TEST_F(Hostile, HugeFilesAreJudgedByTheirEndsWithoutBeingRead) {
  const off_t huge = (off_t)2 << 30;
  load("rec", "good", "1\t1\t0\t0\t0\n");
  const std::string good = read_file(path("rec.good"));
  const std::string head = good.substr(0, 8), trailer = good.substr(good.size() - 16);
  struct {
    const char* what;
    std::string head, tail;
    const char* reason;
  } cases[] = {
      {"zeros", "", "", "not an annotation file"},
      {"a header, no trailer", head, "", "truncated or damaged annotation file"},
      {"a trailer that counts one record", head, trailer, "damaged annotation file (bad count)"},
  };
  run_result base = annapply(log_header("rec", "none"), {.measure_memory = true});
  ASSERT_EQ(base.status, 0);
  for (const auto& c : cases) {
    for (const char* name : {"rec.atr", "rec.atr_"}) {
      write_file(path(name), c.head);
      ASSERT_EQ(truncate(path(name).c_str(), huge - (off_t)c.tail.size()), 0);
      FILE* f = fopen(path(name).c_str(), "ab");
      fwrite(c.tail.data(), 1, c.tail.size(), f);
      fclose(f);
      if (std::string(name) == "rec.atr_") load("rec", "atr", "1\t1\t0\t0\t0\n");
      run_result d = annfile({"dump", "rec", name + 4}, "", {.measure_memory = true});
      EXPECT_EQ(d.status, 1) << c.what;
      EXPECT_EQ(d.err, std::string("annfile: can't read ") + name + ": " + c.reason + "\n");
      run_result r = annapply(log_header("rec", "atr") + "7\n", {.measure_memory = true});
      EXPECT_EQ(r.status, 2) << c.what << " at " << name;
      EXPECT_EQ(r.err, std::string("annapply: can't write output annotation file '") + name + "\n");
      EXPECT_LT(r.maxrss_kb - base.maxrss_kb, 8 * 1024) << c.what << " at " << name;
      EXPECT_LT(d.maxrss_kb - base.maxrss_kb, 8 * 1024) << c.what << " at " << name;
      struct stat st;
      EXPECT_EQ(stat(path(name).c_str(), &st), 0);
      EXPECT_EQ(st.st_size, huge);
      unlink(path("rec.atr").c_str());
      unlink(path("rec.atr_").c_str());
    }
  }
}

}  // namespace
