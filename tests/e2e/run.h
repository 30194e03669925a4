// Runs the real programs in a scratch directory and collects what they did.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

// Tests of running out of memory cannot run under AddressSanitizer: its
// allocator reserves more than any limit leaves and never calls through a
// preloaded library.
#if defined(__SANITIZE_ADDRESS__)
#define UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNDER_ASAN 1
#endif
#endif

struct run_result {
  int status;  // the exit status, or 128 + the signal that ended the program
  std::string out;
  std::string err;
  long maxrss_kb;  // the program's peak resident memory, when measured; else -1
};

struct run_limits {
  rlim_t fsize = RLIM_INFINITY;  // largest file the program may write
  rlim_t as = RLIM_INFINITY;     // largest address space the program may have
  // Run as user and group 65534 (nobody) when the tests run as root, so that
  // file permissions apply; a program that could not drop privileges ends
  // with status 125 before it starts.
  bool unprivileged = false;
  // Standard input is a pipe that holds the input and then, instead of
  // ending, fails the next read (it is non-blocking and kept open).
  bool input_fails_at_end = false;
  // Standard input is a terminal that is given the input, then an end of file.
  bool input_is_terminal = false;
  // Measure the program's peak memory (through a small launcher, so that
  // the test process's own memory does not count).
  bool measure_memory = false;
  // End the program with SIGALRM after this many seconds (0: never): a guard
  // that turns a hang into a failure, far beyond any run's normal time.
  unsigned alarm_seconds = 0;
  // Standard input is a pipe the test writes to step by step (feed_input,
  // end_input), after `input`; the program waits on it until it ends.
  bool input_is_pipe = false;
  // Standard error is a pipe whose reader has gone, as after `2>&1 | head`.
  bool error_reader_gone = false;
  // The standard descriptors the program starts with closed: bit 0 for
  // standard input, bit 1 for output, bit 2 for error.
  unsigned closed = 0;
  // Added to the program's environment, "NAME=VALUE" each.
  std::vector<std::string> env = {};
};

// A program started by start_program and not yet waited for.
struct running_program {
  pid_t pid;
  int input_writer;  // the pipe or terminal kept open for the input, else -1
  std::string in_name;
  std::string rss_name;  // where the launcher writes the peak memory, when measured
  // Pipes from its standard output and error: pipes, not files, so that a
  // file-size limit never cuts what it says.
  int out, err;  // err is -1 when its reader has gone
};

// Starts argv (argv[0] is the program's path; argv0, when given, is what the
// program sees as its name) in dir with `input` on standard input.
running_program start_program(const std::vector<std::string>& argv, const std::string& input,
                              const std::string& dir, const char* argv0 = nullptr,
                              run_limits limits = {});
// Waits for a started program and collects its results.
run_result finish_program(running_program& p);
// start_program, then finish_program.
run_result run_program(const std::vector<std::string>& argv, const std::string& input,
                       const std::string& dir, const char* argv0 = nullptr, run_limits limits = {});

// Writes text to a program started with input_is_pipe; false when it has
// stopped reading.
bool feed_input(running_program& p, const std::string& text);
// Ends the input of a program started with input_is_pipe.
void end_input(running_program& p);
// Waits until the program waits on its standard input pipe with all that was
// fed read: everything before that read is done. False when it ended first.
bool wait_for_input_wait(const running_program& p);
// Waits until the program has written to a file in dir that it holds open
// (a temporary file, named or not). False when it ended first.
bool wait_for_output_written(const running_program& p, const std::string& dir);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& text);
bool file_exists(const std::string& path);
// The names in dir, sorted.
std::vector<std::string> list_dir(const std::string& dir);

// A fresh directory per test, removed afterwards, with helpers that run the
// two programs in it.
class ScratchDir : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string path(const std::string& name) const { return dir + "/" + name; }
  run_result annapply(const std::string& log, run_limits limits = {});
  run_result annfile(const std::vector<std::string>& args, const std::string& input = "",
                     run_limits limits = {});
  // Stores `tsv` as RECORD.ANNOTATOR through annfile load; fails the test otherwise.
  void load(const std::string& record, const std::string& annotator, const std::string& tsv);
  // The annotations of RECORD.ANNOTATOR as annfile dump prints them.
  std::string dump(const std::string& record, const std::string& annotator);

  std::string dir;
};

// A header that names record and annotator.
std::string log_header(const std::string& record, const std::string& annotator);
