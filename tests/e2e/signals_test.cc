// Both programs ended by the signals a user sends or meets (SIGINT, SIGTERM,
// SIGHUP, SIGPIPE) at each phase of a run: while they wait for their input,
// and while they write their output. Each ends by that very signal, the file
// it would have replaced stays exactly as it was, and no temporary file
// remains.
#include <signal.h>
#include <string.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "run.h"

namespace {

using Signals = ScratchDir;

const char stored[] = "100\t1\t0\t0\t0\n200\t1\t0\t0\t0\n300\t1\t0\t0\t0\tx\n";
const char earlier[] = "7\t1\t0\t0\t0\n";

// A log, or annfile load's text, of n annotations with an aux of 250 bytes:
// about n * 260 bytes of output.
std::string big_log(int n) {
  std::string log = log_header("rec", "atr"), aux(250, 'k');
  for (int i = 0; i < n; i++) log += std::to_string(i * 7) + ",N," + aux + "\n";
  return log;
}
std::string big_text(int n) {
  std::string text, aux(250, 'k');
  for (int i = 0; i < n; i++) text += std::to_string(i * 7) + "\t1\t0\t0\t0\t" + aux + "\n";
  return text;
}

TEST_F(Signals, EachSignalAtEachPhaseEndsTheRunAndLeavesEveryFileAsItWas) {
  load("rec", "atr", stored);
  load("rec", "atr_", earlier);
  const std::string atr = read_file(path("rec.atr")), atr_ = read_file(path("rec.atr_"));
  enum phase { waiting_first, waiting_later, writing };
  const char* const phases[] = {"while it waits for its first input",
                                "while it waits after some entries", "while it writes"};
  const int sigs[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
  long sent = 0, skipped = 0;
  for (bool load : {false, true}) {
    std::vector<std::string> argv = {ANNAPPLY_BIN};
    if (load) argv = {ANNFILE_BIN, "load", "rec", "atr"};
    const char* argv0 = load ? "annfile" : "annapply";
    // annapply replaces rec.atr_ and reads rec.atr; annfile load replaces rec.atr.
    const std::vector<std::string> names = load ? std::vector<std::string>{"rec.atr"}
                                                : std::vector<std::string>{"rec.atr", "rec.atr_"};
    auto prepare = [&] {
      for (const std::string& name : list_dir(dir)) std::filesystem::remove(path(name));
      write_file(path("rec.atr"), atr);
      if (!load) write_file(path("rec.atr_"), atr_);
    };
    const std::string first = load ? "" : log_header("rec", "atr");
    const std::string later = load ? "150\t1\t0\t0\t0\n250\t1\t0\t0\t0\n" : "150,N\n-200\n";
    for (phase ph : {waiting_first, waiting_later, writing}) {
      for (int sig : sigs) {
        std::string row =
            std::string(argv0) + (load ? " load" : "") + ", " + strsignal(sig) + " " + phases[ph];
        run_result r;
        std::string input;  // of a run that writes, for a run undisturbed
        if (ph != writing) {
          prepare();
          running_program p =
              start_program(argv, first, dir, argv0, {.alarm_seconds = 60, .input_is_pipe = true});
          if (ph == waiting_later) feed_input(p, later);
          ASSERT_TRUE(wait_for_input_wait(p)) << row << ": the program ended before its input";
          kill(p.pid, sig);
          r = finish_program(p);
        } else {
          // The output must be under way when the signal comes: a larger one
          // when the run was done first. The input lives until the run is
          // over: releasing it at once would keep this process busy while
          // the run goes by.
          for (int n : {100000, 400000}) {
            prepare();
            input = load ? big_text(n) : big_log(n);
            running_program p = start_program(argv, input, dir, argv0, {.alarm_seconds = 60});
            if (wait_for_output_written(p, dir)) kill(p.pid, sig);
            r = finish_program(p);
            if (r.status != 0) break;
          }
          if (r.status == 0) {
            skipped++;
            RecordProperty(row, "skipped: the run was done before the signal could come");
            printf("[ skipped  ] %s: the run was done before the signal could come\n", row.c_str());
            continue;
          }
        }
        sent++;
        std::string got = "status " + std::to_string(r.status),
                    want = "status " + std::to_string(128 + sig);
        for (const std::string& name : list_dir(dir)) got += " " + name;
        for (const std::string& name : names) want += " " + name;
        const std::string now_atr = read_file(path("rec.atr")),
                          now_atr_ = read_file(path("rec.atr_"));
        // A signal that comes as the program leaves, its new file in place,
        // finds the target replaced whole: that loses nothing.
        std::string whole;
        if (ph == writing && (now_atr != atr || (!load && now_atr_ != atr_))) {
          prepare();
          ASSERT_EQ(run_program(argv, input, dir, argv0).status, 0) << row;
          whole = read_file(path(load ? "rec.atr" : "rec.atr_"));
        }
        if (now_atr != atr && !(load && now_atr == whole)) got += ", rec.atr changed";
        if (!load && now_atr_ != atr_ && now_atr_ != whole) got += ", rec.atr_ changed";
        EXPECT_EQ(got, want) << row;
      }
    }
  }

  // SIGPIPE as users meet it, `annapply 2>&1 | head -c 100`: standard error
  // is a pipe whose reader has gone, and the log's entries give warnings.
  for (const std::string& name : list_dir(dir)) std::filesystem::remove(path(name));
  write_file(path("rec.atr"), atr);
  write_file(path("rec.atr_"), atr_);
  run_result r = run_program({ANNAPPLY_BIN}, log_header("rec", "atr") + "100-200,N\n300-400,N\n",
                             dir, "annapply", {.error_reader_gone = true});
  EXPECT_EQ(r.status, 128 + SIGPIPE);
  EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"rec.atr", "rec.atr_"}));
  EXPECT_EQ(read_file(path("rec.atr_")), atr_);
  EXPECT_EQ(read_file(path("rec.atr")), atr);
  RecordProperty("signals sent", std::to_string(sent + 1));
  RecordProperty("rows skipped", std::to_string(skipped));
}

}  // namespace
