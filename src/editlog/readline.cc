#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "editlog.h"

char logtext[500];

namespace {

int infd = 0;
int inerr;
bool ineof;
size_t inpos, inend;
char inbuf[1 << 16];

bool fill_input() {
  while (!ineof) {
    ssize_t r = read(infd, inbuf, sizeof inbuf);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) inerr = errno;
    if (r <= 0) break;
    inpos = 0;
    inend = (size_t)r;
    return true;
  }
  ineof = true;
  return false;
}

}  // namespace

size_t read_log_line() {
  size_t n = 0;
  while (n < sizeof logtext - 1) {
    if (inpos == inend && !fill_input()) break;
    size_t want = inend - inpos;
    if (want > sizeof logtext - 1 - n) want = sizeof logtext - 1 - n;
    const char* from = inbuf + inpos;
    const char* nl = (const char*)memchr(from, '\n', want);
    size_t take = nl ? (size_t)(nl - from) + 1 : want;
    memcpy(logtext + n, from, take);
    n += take;
    inpos += take;
    if (nl) break;
  }
  logtext[n] = 0;
  return n;
}

int skip_log_line() {
  int zero = 0;
  while (inpos < inend || fill_input()) {
    const char* from = inbuf + inpos;
    const char* nl = (const char*)memchr(from, '\n', inend - inpos);
    size_t take = nl ? (size_t)(nl - from) + 1 : inend - inpos;
    zero |= memchr(from, 0, take) != nullptr;
    inpos += take;
    if (nl) break;
  }
  return zero;
}

int log_read_error() { return inerr; }

void reset_editlog(int fd) {
  infd = fd;
  inerr = 0;
  ineof = false;
  inpos = inend = 0;
  release_header();
  sps = 0;
}
