// What the fuzz targets share: a check that holds in every build type, and a
// way to hand the fuzzer's bytes to the edit-log reader as its standard input.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "editlog/editlog.h"

// assert() is gone in release builds; a fuzz target's checks must never be.
// The message goes straight to file 2, which a target may keep when it
// silences the stderr of the code under test.
#define FUZZ_CHECK(cond)                                                  \
  do {                                                                    \
    if (!(cond)) {                                                        \
      dprintf(2, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      abort();                                                            \
    }                                                                     \
  } while (0)

// Makes data the whole of the log the reader sees from now on. One memory
// file serves every input, so a run costs no file system work.
inline void feed_log(const uint8_t* data, size_t size) {
  static int fd = memfd_create("fuzz-log", 0);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(ftruncate(fd, 0) == 0);
  FUZZ_CHECK(size == 0 || pwrite(fd, data, size, 0) == (ssize_t)size);
  FUZZ_CHECK(lseek(fd, 0, SEEK_SET) == 0);
  reset_editlog(fd);
}
