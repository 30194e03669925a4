#include "run.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <algorithm>

extern char** environ;

namespace {

// Makes a temporary file for one of a program's standard files; returns it open.
int make_temp(std::string& name, const char* pattern) {
  name = pattern;
  int fd = mkstemp(name.data());
  EXPECT_GE(fd, 0) << name;
  return fd;
}

// Everything a child does between fork and exec.
[[noreturn]] void exec_child(const std::vector<std::string>& argv, const std::string& dir,
                             const char* argv0, const run_limits& limits, char** envp, int in,
                             int out, int err) {
  // The program starts as from a shell: the signals that end it at their
  // default, none of them blocked.
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  const int from[] = {in, out, err};
  for (int fd = 0; fd < 3; fd++) {
    if (limits.closed & (1u << fd))
      close(fd);
    else
      dup2(from[fd], fd);
  }
  if (chdir(dir.c_str()) != 0) _exit(126);
  rlimit fs = {limits.fsize, limits.fsize};
  setrlimit(RLIMIT_FSIZE, &fs);
  rlimit as = {limits.as, limits.as};
  if (limits.as != RLIM_INFINITY && setrlimit(RLIMIT_AS, &as) != 0) _exit(125);
  if (limits.unprivileged && getuid() == 0 &&
      (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
    _exit(125);
  if (limits.alarm_seconds) alarm(limits.alarm_seconds);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  if (argv0) args[0] = const_cast<char*>(argv0);
  args.push_back(nullptr);
  execve(argv[0].c_str(), args.data(), envp);
  _exit(127);
}

}  // namespace

running_program start_program(const std::vector<std::string>& argv, const std::string& input,
                              const std::string& dir, const char* argv0, run_limits limits) {
  running_program p = {-1, -1, "", "", -1, -1};
  int in = -1;
  if (limits.input_fails_at_end) {
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
    // A pipe holds 64 KiB, so this write cannot wait for a reader.
    EXPECT_LE(input.size(), 65536u);
    EXPECT_EQ(write(fds[1], input.data(), input.size()), (ssize_t)input.size());
    EXPECT_EQ(fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
    in = fds[0];
    p.input_writer = fds[1];
  } else if (limits.input_is_terminal) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(master, 0);
    EXPECT_EQ(grantpt(master), 0);
    EXPECT_EQ(unlockpt(master), 0);
    in = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(in, 0);
    // The terminal's end-of-file character (Ctrl-D) ends the input.
    std::string typed = input + "\x04";
    EXPECT_EQ(write(master, typed.data(), typed.size()), (ssize_t)typed.size());
    p.input_writer = master;
  } else if (limits.input_is_pipe) {
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
    in = fds[0];
    p.input_writer = fds[1];
  } else {
    in = make_temp(p.in_name, "/tmp/e2e-in-XXXXXX");
    EXPECT_EQ(write(in, input.data(), input.size()), (ssize_t)input.size());
    lseek(in, 0, SEEK_SET);
  }
  std::vector<std::string> command = argv;
  if (limits.measure_memory) {
    close(make_temp(p.rss_name, "/tmp/e2e-rss-XXXXXX"));
    command = {PEAK_RSS_BIN, p.rss_name, argv[0], argv0 ? argv0 : argv[0]};
    command.insert(command.end(), argv.begin() + 1, argv.end());
    argv0 = nullptr;
  }
  std::vector<std::string> env;
  for (char** e = environ; *e; e++) env.push_back(*e);
  env.insert(env.end(), limits.env.begin(), limits.env.end());
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  int out[2], err[2];
  EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
  EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
  p.pid = fork();
  if (p.pid == 0) exec_child(command, dir, argv0, limits, envp.data(), in, out[1], err[1]);
  EXPECT_GT(p.pid, 0);
  for (int fd : {in, out[1], err[1]}) close(fd);
  p.out = out[0];
  p.err = err[0];
  if (limits.error_reader_gone) {
    close(p.err);
    p.err = -1;
  }
  if (limits.input_is_pipe && !input.empty()) feed_input(p, input);
  return p;
}

namespace {

// Reads both pipes to their ends, whichever has something, so that a program
// that says much on one of them never waits for the other to be read.
void drain_pipes(int out_fd, int err_fd, std::string& out, std::string& err) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* texts[2] = {&out, &err};
  char buf[65536];
  for (int open = (out_fd >= 0) + (err_fd >= 0); open > 0;) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      ADD_FAILURE() << "poll: " << strerror(errno);
      return;
    }
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || !fds[i].revents) continue;
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        texts[i]->append(buf, (size_t)n);
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;
        open--;
      }
    }
  }
}

}  // namespace

run_result finish_program(running_program& p) {
  run_result r;
  drain_pipes(p.out, p.err, r.out, r.err);
  close(p.out);
  if (p.err >= 0) close(p.err);
  int status = 0;
  EXPECT_EQ(waitpid(p.pid, &status, 0), p.pid);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.maxrss_kb = -1;
  if (!p.rss_name.empty()) {
    std::string rss = read_file(p.rss_name);
    if (!rss.empty()) r.maxrss_kb = std::stol(rss);
    unlink(p.rss_name.c_str());
  }
  if (p.input_writer >= 0) close(p.input_writer);
  if (!p.in_name.empty()) unlink(p.in_name.c_str());
  return r;
}

run_result run_program(const std::vector<std::string>& argv, const std::string& input,
                       const std::string& dir, const char* argv0, run_limits limits) {
  running_program p = start_program(argv, input, dir, argv0, limits);
  return finish_program(p);
}

bool feed_input(running_program& p, const std::string& text) {
  // A program that has ended must fail the write, not end the test.
  struct sigaction ignore = {}, old;
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old);
  size_t done = 0;
  while (done < text.size()) {
    ssize_t w = write(p.input_writer, text.data() + done, text.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) break;
    done += (size_t)w;
  }
  sigaction(SIGPIPE, &old, nullptr);
  return done == text.size();
}

void end_input(running_program& p) {
  if (p.input_writer >= 0) close(p.input_writer);
  p.input_writer = -1;
}

namespace {

// Whether the program has ended (it is left to finish_program to collect).
bool has_ended(pid_t pid) {
  siginfo_t info = {};
  return waitid(P_PID, (id_t)pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == pid;
}

// Polls until done() holds or the program ends; a minute is a guard against a
// hang, never a guess at how long anything takes.
template <typename F>
bool wait_until(pid_t pid, F done) {
  auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < give_up) {
    if (done()) return true;
    if (has_ended(pid)) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  ADD_FAILURE() << "program " << pid << " neither got there nor ended in a minute";
  return false;
}

}  // namespace

bool wait_for_input_wait(const running_program& p) {
  const std::string where = "/proc/" + std::to_string(p.pid) + "/syscall";
  return wait_until(p.pid, [&] {
    // "NR ARG0 ...": in read() on descriptor 0, with nothing left in the pipe.
    std::string call = read_file(where);
    int left = -1;
    return call.rfind(std::to_string(SYS_read) + " 0x0 ", 0) == 0 &&
           ioctl(p.input_writer, FIONREAD, &left) == 0 && left == 0;
  });
}

bool wait_for_output_written(const running_program& p, const std::string& dir) {
  const std::string fds = "/proc/" + std::to_string(p.pid) + "/fd";
  return wait_until(p.pid, [&] {
    DIR* d = opendir(fds.c_str());
    if (!d) return false;
    bool found = false;
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::string fd = fds + "/" + e->d_name;
      char target[4096];
      ssize_t n = readlink(fd.c_str(), target, sizeof target - 1);
      if (n <= 0 || std::string(target, (size_t)n).rfind(dir + "/", 0) != 0) continue;
      // Open for writing (flags, in octal, not O_RDONLY), and not empty.
      std::string info = read_file("/proc/" + std::to_string(p.pid) + "/fdinfo/" + e->d_name);
      size_t at = info.find("flags:");
      struct stat st;
      if (at != std::string::npos && (std::stoul(info.substr(at + 6), nullptr, 8) & O_ACCMODE) &&
          stat(fd.c_str(), &st) == 0 && st.st_size > 0)
        found = true;
    }
    closedir(d);
    return found;
  });
}

// A read error gives what was read before it: a file of /proc may vanish
// with its process while it is read (and a stream would throw).
std::string read_file(const std::string& path) {
  std::string s;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return s;
  char buf[65536];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR);)
    if (n > 0) s.append(buf, (size_t)n);
  close(fd);
  return s;
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

run_result ScratchDir::annfile(const std::vector<std::string>& args, const std::string& input,
                               run_limits limits) {
  std::vector<std::string> argv = {ANNFILE_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, input, dir, "annfile", limits);
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
