// Both programs started with standard streams closed, as `2>&-` or `<&-`
// leave them. No file of theirs may take a standard descriptor's number:
// each closed stream fails as a closed stream does, and the files are kept
// or written exactly as with every stream open.
#include <filesystem>
#include <string>
#include <vector>

#include "run.h"

namespace {

using Streams = ScratchDir;

const char stored[] = "100\t1\t0\t0\t0\n200\t1\t0\t0\t0\n300\t1\t0\t0\t0\tx\n";
const char earlier[] = "7\t1\t0\t0\t0\n";

enum : unsigned { in = 1, out = 2, err = 4 };

TEST_F(Streams, ClosedStandardStreamsNeverBecomeFiles) {
  // Entries that give both warnings, so that annapply writes to standard error
  // while its output is open.
  const std::string log =
      log_header("rec", "atr") + "150-160,N\n250,N," + std::string(300, 'a') + "\n-300,N,x\n50\n";
  write_file(path("edits.log"), log);
  load("rec", "atr", stored);
  load("rec", "atr_", earlier);
  const std::string atr = read_file(path("rec.atr")), atr_ = read_file(path("rec.atr_"));
  const std::vector<std::string> annapply = {ANNAPPLY_BIN};
  const std::vector<std::string> load = {ANNFILE_BIN, "load", "rec", "atr"};
  const std::vector<std::string> dump = {ANNFILE_BIN, "dump", "rec", "atr"};
  const std::vector<std::string> check = {ANNFILE_BIN, "check", "edits.log"};
  const struct {
    const char* what;
    unsigned closed;
    std::vector<std::string> argv;
    std::string input;
    bool stored;  // rec.atr and rec.atr_ there before; else neither
    int status;
    std::string err;      // what standard error begins with, when it is open
    const char* written;  // the file written as with every stream open, or null
  } cases[] = {
      {"annapply 2>&-", err, annapply, log, true, 0, "", "rec.atr_"},
      {"annapply 2>&-, a new record", err, annapply, log, false, 0, "", "rec.atr"},
      {"annapply >&-", out, annapply, log, true, 0, "annapply(warning): ", "rec.atr_"},
      {"annapply >&- 2>&-", out | err, annapply, log, false, 0, "", "rec.atr"},
      {"annapply <&-", in, annapply, log, true, 1,
       "annapply: can't read the edit log: Bad file descriptor\n", nullptr},
      {"annapply <&-, a new record", in, annapply, log, false, 1,
       "annapply: can't read the edit log: Bad file descriptor\n", nullptr},
      {"annapply <&- 2>&-", in | err, annapply, log, true, 1, "", nullptr},
      {"annapply <&- >&- 2>&-", in | out | err, annapply, log, true, 1, "", nullptr},
      {"annfile load <&-", in, load, stored, true, 1, "annfile: can't read standard input",
       nullptr},
      {"annfile load <&- 2>&-", in | err, load, stored, true, 1, "", nullptr},
      {"annfile load <&- >&- 2>&-", in | out | err, load, stored, true, 1, "", nullptr},
      {"annfile load 2>&-", err, load, earlier, true, 0, "", "rec.atr"},
      {"annfile dump >&-", out, dump, "", true, 1, "annfile: can't write standard output", nullptr},
      {"annfile dump <&- >&- 2>&-", in | out | err, dump, "", true, 1, "", nullptr},
      {"annfile check >&-", out, check, "", true, 2, "annfile: ", nullptr},
      {"annfile check <&- >&- 2>&-", in | out | err, check, "", true, 2, "", nullptr},
  };
  // What annfile dump makes of a file, or why it could not read it.
  auto dump_or_fail = [&](const std::string& name) {
    run_result d = annfile({"dump", "rec", name.substr(4)});
    return d.status == 0 ? d.out : "unreadable: " + d.err;
  };
  for (const auto& c : cases) {
    // Each case from the same files: once with every stream open, for what
    // it should write, and then with its streams closed.
    auto prepare = [&] {
      for (const std::string& name : list_dir(dir))
        if (name != "edits.log") std::filesystem::remove(path(name));
      if (c.stored) write_file(path("rec.atr"), atr), write_file(path("rec.atr_"), atr_);
    };
    std::string expected;
    if (c.written) {
      prepare();
      run_result open = run_program(c.argv, c.input, dir, nullptr);
      ASSERT_EQ(open.status, 0) << c.what << ": " << open.err;
      expected = dump_or_fail(c.written);
    }
    prepare();
    std::string files_before;
    for (const std::string& name : list_dir(dir)) files_before += " " + name;
    std::string argv0 = c.argv[0] == ANNAPPLY_BIN ? "annapply" : "annfile";
    run_result r = run_program(c.argv, c.input, dir, argv0.c_str(), {.closed = c.closed});
    // One line that tells all that happened, against the one expected. A
    // message that ends its line is compared whole, any other as a beginning.
    bool whole = !c.err.empty() && c.err.back() == '\n';
    std::string said = whole || r.err.rfind(c.err, 0) != 0 ? r.err : c.err;
    std::string got = "status " + std::to_string(r.status) + ", says \"" + said + "\", files";
    for (const std::string& name : list_dir(dir)) got += " " + name;
    std::string want = "status " + std::to_string(c.status) + ", says \"" + c.err + "\", files" +
                       files_before + (c.written && !c.stored ? " rec.atr" : "");
    for (std::string name : {"rec.atr", "rec.atr_"}) {
      bool ours = c.written && name == std::string(c.written);
      if (ours) {
        got += "; " + name + (dump_or_fail(name) == expected ? " written" : " not as expected");
        want += "; " + name + " written";
      } else if (c.stored) {
        std::string now = read_file(path(name));
        got += "; " + name + (now == (name == "rec.atr" ? atr : atr_) ? " kept" : " changed");
        want += "; " + name + " kept";
      }
    }
    EXPECT_EQ(got, want) << c.what;
  }
}

}  // namespace
