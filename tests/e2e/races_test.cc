// A file placed at the target, or the target replaced, while a program waits
// for the rest of its input on a pipe the test feeds step by step. What stands
// at the target when the program is done is never overwritten unless it is
// the very file that stood there when the program began.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "run.h"

namespace {

using Races = ScratchDir;

const char stored[] = "100\t1\t0\t0\t0\n200\t1\t0\t0\t0\n300\t1\t0\t0\t0\tx\n";
const char earlier[] = "7\t1\t0\t0\t0\n";
// Another annotator of a size of its own, so that a rewrite in place shows
// in the size whatever the clock's granularity.
const char other[] = "1\t1\t0\t0\t0\n2\t1\t0\t0\t0\n3\t1\t0\t0\t0\n4\t1\t0\t0\t0\n5\t1\t0\t0\t0\n";

TEST_F(Races, WhatAppearsAtTheTargetWhileTheInputArrivesIsNeverOverwritten) {
  load("rec", "atr", stored);
  load("rec", "other", other);
  const std::string atr = read_file(path("rec.atr")), other_bytes = read_file(path("rec.other"));
  load("rec", "atr", earlier);
  const std::string atr_ = read_file(path("rec.atr"));
  const std::string text = "notes of my own, not annotations\n";
  const std::string apply_head = log_header("rec", "atr") + "150,N\n-200\n",
                    apply_rest = "250,NOTE,seen\n50\n";
  const std::string load_head = "50\t1\t0\t0\t0\n150\tN\t0\t0\t0\n",
                    load_rest = "250\t22\t0\t0\t0\tseen\n";
  enum meanwhile { none, place_text, load_other, rewrite_in_place };
  const struct {
    const char* what;
    bool load;         // annfile load rec atr, else annapply
    bool atr, atr_;    // whether rec.atr and rec.atr_ stand before
    meanwhile change;  // what the test does at the target meanwhile
    const char* target;
    int status;
    const char* err;  // the message, or how it begins when it ends no line
  } cases[] = {
      {"annapply, nothing changes", false, true, true, none, "rec.atr_", 0, ""},
      {"annapply, a text file placed at rec.atr_", false, true, false, place_text, "rec.atr_", 2,
       "annapply: can't write output annotation file 'rec.atr_\n"},
      {"annapply, rec.atr_ replaced by annfile load", false, true, true, load_other, "rec.atr_", 2,
       "annapply: can't write output annotation file 'rec.atr_\n"},
      {"annapply, rec.atr_ rewritten in place", false, true, true, rewrite_in_place, "rec.atr_", 2,
       "annapply: can't write output annotation file 'rec.atr_\n"},
      {"annapply without an input, nothing changes", false, false, false, none, "rec.atr", 0, ""},
      {"annapply without an input, rec.atr made by annfile load", false, false, false, load_other,
       "rec.atr", 2, "annapply: can't write output annotation file 'rec.atr\n"},
      {"annfile load, nothing changes", true, true, false, none, "rec.atr", 0, ""},
      {"annfile load, rec.atr made meanwhile", true, false, false, load_other, "rec.atr", 1,
       "annfile: can't write rec.atr"},
      {"annfile load, a text file placed at rec.atr", true, false, false, place_text, "rec.atr", 1,
       "annfile: can't write rec.atr"},
      {"annfile load, rec.atr replaced meanwhile", true, true, false, load_other, "rec.atr", 1,
       "annfile: can't write rec.atr"},
      {"annfile load, rec.atr rewritten in place", true, true, false, rewrite_in_place, "rec.atr",
       1, "annfile: can't write rec.atr"},
  };
  for (const auto& c : cases) {
    auto prepare = [&] {
      for (const std::string& name : list_dir(dir)) std::filesystem::remove(path(name));
      if (c.atr) write_file(path("rec.atr"), atr);
      if (c.atr_) write_file(path("rec.atr_"), atr_);
    };
    std::vector<std::string> argv = {ANNAPPLY_BIN};
    if (c.load) argv = {ANNFILE_BIN, "load", "rec", "atr"};
    const char* argv0 = c.load ? "annfile" : "annapply";
    const std::string head = c.load ? load_head : apply_head,
                      rest = c.load ? load_rest : apply_rest;
    // What the run writes when nothing disturbs it.
    prepare();
    ASSERT_EQ(run_program(argv, head + rest, dir, argv0).status, 0) << c.what;
    const std::string undisturbed = read_file(path(c.target));

    prepare();
    running_program p =
        start_program(argv, head, dir, argv0, {.alarm_seconds = 120, .input_is_pipe = true});
    ASSERT_TRUE(wait_for_input_wait(p)) << c.what << ": the program ended before its input did";
    std::string placed;
    if (c.change == place_text) write_file(path(c.target), text);
    if (c.change == load_other) {
      std::string name = std::string(c.target).substr(4);
      ASSERT_EQ(annfile({"load", "rec", name}, other).status, 0) << c.what;
    }
    if (c.change == rewrite_in_place) {
      int fd = open(path(c.target).c_str(), O_WRONLY | O_TRUNC);
      ASSERT_GE(fd, 0) << c.what;
      ASSERT_EQ(write(fd, other_bytes.data(), other_bytes.size()), (ssize_t)other_bytes.size());
      ASSERT_EQ(close(fd), 0);
    }
    if (c.change != none) placed = read_file(path(c.target));
    EXPECT_TRUE(feed_input(p, rest)) << c.what;
    end_input(p);
    run_result r = finish_program(p);

    std::string err = c.err;
    bool whole = !err.empty() && err.back() == '\n';
    std::string said = whole || r.err.rfind(err, 0) != 0 ? r.err : err;
    std::string got = "status " + std::to_string(r.status) + ", says \"" + said + "\"";
    std::string want = "status " + std::to_string(c.status) + ", says \"" + err + "\"";
    std::string now = read_file(path(c.target));
    got += now == undisturbed ? ", the run's result"
           : now == placed    ? ", the file placed"
                              : ", else";
    want += c.change == none ? ", the run's result" : ", the file placed";
    std::vector<std::string> names;
    if (c.atr || std::string(c.target) == "rec.atr") names.push_back("rec.atr");
    if (c.atr_ || std::string(c.target) == "rec.atr_") names.push_back("rec.atr_");
    EXPECT_EQ(got, want) << c.what;
    EXPECT_EQ(list_dir(dir), names) << c.what;
    if (c.atr && std::string(c.target) != "rec.atr") {
      EXPECT_EQ(read_file(path("rec.atr")), atr) << c.what;
    }
  }
}

}  // namespace
