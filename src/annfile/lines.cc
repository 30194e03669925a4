#include "lines.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// A read error is never an end of input: it stops the reading for good.
bool fill(text_input* in) {
  while (!in->ended && !in->err) {
    ssize_t r = read(in->fd, in->buf, sizeof in->buf);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) in->err = errno;
    if (r == 0) in->ended = true;
    if (r <= 0) break;
    in->pos = 0;
    in->end = (size_t)r;
    return true;
  }
  return false;
}

}  // namespace

void init_text_input(text_input* in, int fd) {
  in->fd = fd;
  in->err = 0;
  in->ended = false;
  in->line = 0;
  in->pos = in->end = 0;
}

int read_text_line(text_input* in, char* out, size_t cap, size_t* len) {
  size_t n = 0;
  bool any = false;
  for (;;) {
    if (in->pos == in->end && !fill(in)) break;
    any = true;
    const char* from = in->buf + in->pos;
    size_t avail = in->end - in->pos;
    const char* nl = (const char*)memchr(from, '\n', avail);
    size_t take = nl ? (size_t)(nl - from) : avail;
    if (take > cap - n) {
      in->line++;
      return -2;
    }
    memcpy(out + n, from, take);
    n += take;
    in->pos += take + (nl ? 1 : 0);
    if (nl) break;
  }
  if (in->err) return -1;
  if (!any) return 0;
  in->line++;
  *len = n;
  return 1;
}
