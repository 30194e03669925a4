// Runs the real programs in a scratch directory and collects what they did.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <string>
#include <vector>

struct run_result {
  int status;  // the exit status, or 128 + the signal that ended the program
  std::string out;
  std::string err;
};

struct run_limits {
  rlim_t fsize = RLIM_INFINITY;  // largest file the program may write
};

// Runs argv (argv[0] is the program's path; argv0, when given, is what the
// program sees as its name) in dir with `input` on standard input.
run_result run_program(const std::vector<std::string>& argv, const std::string& input,
                       const std::string& dir, const char* argv0 = nullptr,
                       run_limits limits = {});

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
  run_result annfile(const std::vector<std::string>& args, const std::string& input = "");
  // Stores `tsv` as RECORD.ANNOTATOR through annfile load; fails the test otherwise.
  void load(const std::string& record, const std::string& annotator, const std::string& tsv);
  // The annotations of RECORD.ANNOTATOR as annfile dump prints them.
  std::string dump(const std::string& record, const std::string& annotator);

  std::string dir;
};

// A header that names record and annotator.
std::string log_header(const std::string& record, const std::string& annotator);
