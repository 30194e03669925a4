#include "run.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <algorithm>

run_result run_program(const std::vector<std::string>& argv, const std::string& input,
                       const std::string& dir, const char* argv0, run_limits limits) {
  char in_name[] = "/tmp/e2e-in-XXXXXX", out_name[] = "/tmp/e2e-out-XXXXXX",
       err_name[] = "/tmp/e2e-err-XXXXXX";
  int in = mkstemp(in_name), out = mkstemp(out_name), err = mkstemp(err_name);
  EXPECT_TRUE(in >= 0 && out >= 0 && err >= 0);
  EXPECT_EQ(write(in, input.data(), input.size()), (ssize_t)input.size());
  lseek(in, 0, SEEK_SET);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (chdir(dir.c_str()) != 0) _exit(126);
    rlimit fs = {limits.fsize, limits.fsize};
    setrlimit(RLIMIT_FSIZE, &fs);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    if (argv0) args[0] = const_cast<char*>(argv0);
    args.push_back(nullptr);
    execv(argv[0].c_str(), args.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  run_result r;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = read_file(out_name);
  r.err = read_file(err_name);
  for (int fd : {in, out, err}) close(fd);
  for (const char* name : {in_name, out_name, err_name}) unlink(name);
  return r;
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary);
  f << text;
}

bool file_exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::vector<std::string> list_dir(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

void ScratchDir::SetUp() {
  char name[] = "/tmp/annapply-test-XXXXXX";
  ASSERT_NE(mkdtemp(name), nullptr);
  dir = name;
}

void ScratchDir::TearDown() { std::filesystem::remove_all(dir); }

run_result ScratchDir::annapply(const std::string& log, run_limits limits) {
  return run_program({ANNAPPLY_BIN}, log, dir, "annapply", limits);
}

run_result ScratchDir::annfile(const std::vector<std::string>& args, const std::string& input) {
  std::vector<std::string> argv = {ANNFILE_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, input, dir, "annfile");
}

void ScratchDir::load(const std::string& record, const std::string& annotator,
                      const std::string& tsv) {
  run_result r = annfile({"load", record, annotator}, tsv);
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(r.err, "");
}

std::string ScratchDir::dump(const std::string& record, const std::string& annotator) {
  run_result r = annfile({"dump", record, annotator});
  EXPECT_EQ(r.status, 0) << r.err;
  return r.out;
}

std::string log_header(const std::string& record, const std::string& annotator) {
  return "[RQEditLog-1.0] Record " + record + ", annotator " + annotator +
         " (360 samples/second)\n\n";
}
