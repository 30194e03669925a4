// annfile check end to end: its findings line by line, its statuses, that
// they foretell annapply's, and that it writes nothing.
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "run.h"

namespace {

using Check = ScratchDir;

const std::string stored =
    "100\t1\t0\t0\t0\n"
    "200\t2\t0\t1\t0\n"
    "300\t22\t0\t0\t0\thello\n";

std::string summary(const std::string& counts, const std::string& written) {
  return "<stdin>: " + counts + "\n<stdin>: annapply would write " + written + "\n";
}

TEST_F(Check, ReportsEachFindingOnItsLine) {
  const std::string x300(300, 'x'), y600(600, 'y');
  const struct {
    const char* what;
    std::string entries;  // after the header, which is lines 1 and 2
    std::string findings;
    std::string counts;
    const char* written;
    int status;
  } cases[] = {
      {"no findings", "400,N\n-100,N\n-200,ART{0/1/0}\n", "",
       "3 entry lines: 3 applied (1 inserted, 2 deleted), 0 skipped, 0 unmatched; 0 warnings",
       "2 annotations", 0},
      {"CR LF ends, a long line and a last line without its end",
       "400\r\nx\r\n-300,NOTE,hullo\r\n500-600,N\r\n600,N," + x300 + "\r\n700,N," + y600 +
           "\r\n\r\n800,N{1/2}",
       "<stdin>:4: skipped: the time is missing\n"
       "<stdin>:5: unmatched: no annotation matches 300,NOTE,hullo\n"
       "<stdin>:6: warning: the end time 600 is ignored\n"
       "<stdin>:7: warning: the aux is 300 bytes long; only its first 255 are kept\n"
       "<stdin>:8: warning: the aux is 493 bytes long; only its first 255 are kept\n"
       "<stdin>:8: warning: the line is 606 bytes long; only its first 499 are read\n"
       "<stdin>:9: skipped: the line is empty\n"
       "<stdin>:10: skipped: no / follows the channel\n",
       "8 entry lines: 4 applied (4 inserted, 0 deleted), 3 skipped, 1 unmatched; 4 warnings",
       "7 annotations", 1},
      {"only the line end past 499 bytes",
       "5,N," + std::string(495, 'z') + "\r\n" + std::string(499, '9') + "\n-7",
       "<stdin>:3: warning: the aux is 495 bytes long; only its first 255 are kept\n"
       "<stdin>:4: skipped: the time is above 2147483647\n"
       "<stdin>:5: unmatched: no annotation matches 7,N\n",
       "3 entry lines: 1 applied (1 inserted, 0 deleted), 1 skipped, 1 unmatched; 1 warning",
       "4 annotations", 1},
      {"deletes that match nothing, control bytes shown escaped",
       "-100,N\n-100,N\n100,N,\x1b[1m\r\r\n-100,N,\x1b[1m\rX\n",
       "<stdin>:4: unmatched: no annotation matches 100,N\n"
       "<stdin>:6: unmatched: no annotation matches 100,N,\\x1b[1m\\rX\n",
       "4 entry lines: 2 applied (1 inserted, 1 deleted), 0 skipped, 2 unmatched; 0 warnings",
       "3 annotations", 1},
  };
  load("rec", "atr", stored);
  for (const auto& c : cases) {
    run_result r = annfile({"check"}, log_header("rec", "atr") + c.entries);
    EXPECT_EQ(r.err, "") << c.what;
    EXPECT_EQ(r.status, c.status) << c.what;
    EXPECT_EQ(r.out, c.findings + summary(c.counts, "rec.atr_ with " + std::string(c.written) +
                                                        " (3 read from rec.atr)"))
        << c.what;
  }
}

TEST_F(Check, StatusTwoForetellsThatAnnapplyFails) {
  const struct {
    const char* what;
    const char* file;  // written with `content` before the run, when given
    std::string content;
    std::string log;
    std::string err;
    int annapply_status;
  } cases[] = {
      {"unreadable header", nullptr, "",
       "[RQEditLog-1.0] Record rec, annotator atr (1 samples/second)\nx\n5\n",
       "annfile: <stdin>:2: the header is not readable: line 2 is not empty (annapply would end "
       "with status 1)\n",
       1},
      {"damaged input", "rec.atr", "plain text\n", log_header("rec", "atr") + "5\n",
       "annfile: <stdin>: can't read rec.atr: not an annotation file (annapply would end with "
       "status 2)\n",
       2},
      {"damaged earlier output in the way", "rec.atr_", "plain text\n",
       log_header("rec", "atr") + "5\n",
       "annfile: <stdin>: can't write rec.atr_: exists and is not a valid annotation file, so it "
       "is not "
       "replaced (annapply would end with status 2)\n",
       2},
      {"a name that leads out", nullptr, "", log_header("../rec", "atr") + "5\n",
       "annfile: <stdin>: can't read ../rec.atr: \"..\" in a record name is refused (annapply "
       "would end with status 2)\n",
       2},
      {"an absolute name", nullptr, "", log_header(path("rec"), "atr") + "5\n",
       "annfile: <stdin>: can't read " + path("rec.atr") +
           ": absolute record names are refused (annapply would end with status 2)\n",
       2},
      {"a byte order mark", nullptr, "", "\xef\xbb\xbf" + log_header("rec", "atr") + "5\n",
       "annfile: <stdin>:1: the header is not readable: the log begins with a UTF-8 byte order "
       "mark; save it without one (annapply would end with status 1)\n",
       1},
  };
  for (const auto& c : cases) {
    load("rec", "atr", stored);
    if (c.file) write_file(path(c.file), c.content);
    std::vector<std::string> files = list_dir(dir);
    run_result r = annfile({"check"}, c.log);
    EXPECT_EQ(r.status, 2) << c.what;
    EXPECT_EQ(r.out, "") << c.what;
    EXPECT_EQ(r.err, c.err) << c.what;
    EXPECT_EQ(list_dir(dir), files) << c.what;
    EXPECT_EQ(annapply(c.log).status, c.annapply_status) << c.what;
    EXPECT_EQ(list_dir(dir), files) << c.what;
    if (c.file) unlink(path(c.file).c_str());
  }
}

TEST_F(Check, AtATerminalSaysWhereItReadsTheLogFrom) {
  load("rec", "atr", stored);
  write_file(path("edits.log"), log_header("rec", "atr"));
  for (const char* log : {"", "-", "edits.log"}) {
    std::vector<std::string> args = {"check"};
    if (*log) args.push_back(log);
    run_result r = annfile(args, log_header("rec", "atr"), {.input_is_terminal = true});
    EXPECT_EQ(r.status, 0) << log;
    EXPECT_EQ(r.err,
              strcmp(log, "edits.log") == 0
                  ? ""
                  : "annfile: reading the edit log from standard input; end it with Ctrl-D\n")
        << log;
  }
}

TEST_F(Check, ReadsANamedLogAndWritesNothing) {
  load("rec", "atr", stored);
  write_file(path("edits.log"), log_header("rec", "new") + "5,N\n-5,ART\n");
  const std::string before = read_file(path("rec.atr"));
  // Under a file-size limit of 0, any file it wrote would end it.
  run_result r = annfile({"check", "edits.log"}, "", {.fsize = 0});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "edits.log:1: warning: rec.new does not exist, so annapply makes it from this log "
            "alone\n"
            "edits.log:4: unmatched: no annotation matches 5,ART\n"
            "edits.log: 2 entry lines: 1 applied (1 inserted, 0 deleted), 0 skipped, 1 unmatched; "
            "1 warning\n"
            "edits.log: annapply would write rec.new with 1 annotation, from the log alone "
            "(rec.new: No such file or directory)\n");
  EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"edits.log", "rec.atr"}));
  EXPECT_EQ(read_file(path("rec.atr")), before);

  r = annfile({"check", "missing.log"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "annfile: can't read missing.log: No such file or directory\n");
}

// annfile check and annapply agree on names at the file system's limit:
// the output's temporary file never needs a longer name than the output.
TEST_F(Check, AgreesWithAnnapplyOnNamesAtTheLengthLimit) {
  // "rec." and the name and "_": 255 bytes for a name of 250.
  for (size_t len : {249u, 250u, 251u}) {
    const std::string name(len, 'n');
    load("rec", name, "1\t1\t0\t0\t0\n");
    const std::string log = log_header("rec", name) + "7\n";
    run_result c = annfile({"check"}, log);
    run_result a = annapply(log);
    int expected = len <= 250 ? 0 : 2;
    EXPECT_EQ(c.status, expected) << len << ": " << c.err;
    EXPECT_EQ(a.status, expected) << len << ": " << a.err;
    EXPECT_EQ(list_dir(dir).size(), len <= 250 ? 2u : 1u) << len;
    for (const std::string& f : list_dir(dir)) unlink(path(f).c_str());
  }
}

// Several logs checked together: the later of two that write one file is
// told that annapply keeps only one, and a log whose result would replace
// an output holding what it does not is told how much would be gone.
TEST_F(Check, SeesTheOtherLogsAndTheFileItsResultReplaces) {
  load("rec", "atr", "1000\t1\t0\t0\t0\n2000\t1\t0\t0\t0\n");
  write_file(path("a.log"), log_header("rec", "atr") + "-1000\n1005\n");
  write_file(path("b.log"), log_header("./rec", "atr") + "3000\n");
  write_file(path("c.log"), log_header("rec", "other") + "5\n");
  run_result r = annfile({"check", "a.log", "b.log", "c.log"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "a.log: 2 entry lines: 2 applied (1 inserted, 1 deleted), 0 skipped, 0 unmatched; 0 "
            "warnings\n"
            "a.log: annapply would write rec.atr_ with 2 annotations (2 read from rec.atr)\n"
            "b.log:1: warning: annapply writes ./rec.atr_ for this log and for a.log, and keeps "
            "only the one run last; annfile merge combines them\n"
            "b.log: 1 entry line: 1 applied (1 inserted, 0 deleted), 0 skipped, 0 unmatched; 1 "
            "warning\n"
            "b.log: annapply would write ./rec.atr_ with 3 annotations (2 read from ./rec.atr)\n"
            "c.log:1: warning: rec.other does not exist, so annapply makes it from this log "
            "alone\n"
            "c.log: 1 entry line: 1 applied (1 inserted, 0 deleted), 0 skipped, 0 unmatched; 1 "
            "warning\n"
            "c.log: annapply would write rec.other with 1 annotation, from the log alone "
            "(rec.other: No such file or directory)\n");
  EXPECT_EQ(annfile({"check", "a.log"}).status, 0);

  // a.log's result in place: b.log's would replace it, and the beat a.log
  // moved to 1005 would be gone.
  ASSERT_EQ(annapply(read_file(path("a.log"))).status, 0);
  r = annfile({"check", "b.log"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1),
            "b.log:1: warning: ./rec.atr_ exists and holds 1 annotation that this log's result "
            "does not: annapply would replace it, and it would be gone\n");
  // An output that is what the log makes again gets no finding.
  r = annfile({"check", "a.log"});
  EXPECT_EQ(r.status, 0) << r.out;
  // The worst status of the logs is the check's.
  write_file(path("bad.log"), "no header\n");
  EXPECT_EQ(annfile({"check", "a.log", "bad.log"}).status, 2);
}

}  // namespace
