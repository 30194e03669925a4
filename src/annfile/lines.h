// Lines of text read from a file descriptor, a line's memory bounded: a
// line longer than the caller's buffer is refused, never held.
#pragma once

#include <cstddef>

// The longest text line annfile reads. A line of annotation text is at most
// about 1,100 bytes (an aux of 255 bytes, each escaped as \xHH), so this
// leaves room for numbers written with many leading zeros.
constexpr size_t text_line_max = 8192;

struct text_input {
  int fd;
  int err;  // the errno of a failed read; 0 while none has failed
  bool ended;
  long line;  // the number of the line last read, 1-based
  size_t pos, end;
  char buf[1 << 16];
};

// Starts reading fd from its current offset.
void init_text_input(text_input* in, int fd);

// Reads the next line into out (cap bytes), without its "\n"; it may hold
// zero bytes. Returns 1 with *len set, 0 at the end of the input, -1 when a
// read failed (in->err tells why), -2 when the line is longer than cap
// bytes (it is not read further).
int read_text_line(text_input* in, char* out, size_t cap, size_t* len);
