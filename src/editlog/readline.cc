#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "editlog.h"

char logtext[500];
log_notes notes;

namespace {

int infd = 0;
int inerr;
bool ineof;
size_t inpos, inend;
char inbuf[1 << 16];
long lines_ended;  // the "\n" read or skipped so far

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
  notes.line = lines_ended + 1;
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
  if (n && logtext[n - 1] == '\n') lines_ended++;
  return n;
}

size_t skip_log_line(bool* zero) {
  size_t n = 0;
  char last = 0;  // the byte before the "\n", to tell a CR LF
  bool ended = false;
  *zero = false;
  while (!ended && (inpos < inend || fill_input())) {
    const char* from = inbuf + inpos;
    const char* nl = (const char*)memchr(from, '\n', inend - inpos);
    size_t take = nl ? (size_t)(nl - from) + 1 : inend - inpos;
    *zero |= memchr(from, 0, take) != nullptr;
    if (nl && nl > from) last = nl[-1];
    if (!nl) last = from[take - 1];
    inpos += take;
    n += take;
    ended = nl != nullptr;
  }
  if (ended) n--, lines_ended++;
  // A CR before the "\n", or at the very end of the log, is the line end's.
  if (n && last == '\r') n--;
  return n;
}

int log_read_error() { return inerr; }

void reset_editlog(int fd) {
  infd = fd;
  inerr = 0;
  ineof = false;
  inpos = inend = 0;
  lines_ended = 0;
  notes = log_notes{};
  release_header();
  sps = 0;
}
