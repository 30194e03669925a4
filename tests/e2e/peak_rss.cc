// peak_rss FILE PROGRAM ARGV0 [ARG...]: runs PROGRAM (seeing ARGV0 as its
// name) and writes its peak resident memory in KB to FILE; ends as PROGRAM
// ended. A child of the tests themselves would count their memory as its own
// until its exec; a child of this small program counts almost nothing but
// the program.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: peak_rss FILE PROGRAM ARGV0 [ARG...]\n");
    return 126;
  }
  pid_t pid = fork();
  if (pid < 0) return 126;
  if (pid == 0) {
    execv(argv[2], argv + 3);
    _exit(127);
  }
  int status = 0;
  rusage usage = {};
  if (wait4(pid, &status, 0, &usage) != pid) return 126;
  FILE* f = fopen(argv[1], "w");
  if (!f || fprintf(f, "%ld\n", usage.ru_maxrss) < 0 || fclose(f) != 0) return 126;
  if (WIFSIGNALED(status)) {
    signal(WTERMSIG(status), SIG_DFL);
    raise(WTERMSIG(status));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 126;
}
