// Opening, reading and atomically writing the annotation files of a record.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "annlib.h"
#include "format.h"
#include "report.h"

namespace {

struct input {
  bool open;
  unsigned char* data;
  size_t end;
  size_t pos;
  uint64_t left;
  ann_codec codec;
  unsigned char aux[257];
};

struct output {
  bool open;
  bool failed;
  const char* why;
  int fd;
  char* path;
  char* temp;
  uint32_t crc;
  uint64_t count;
  ann_codec codec;
  size_t used;
  unsigned char buf[1 << 16];
};

input in;
output out;
bool cleanup_registered;

// A name must not lead out of the working directory, nor name a directory.
const char* check_names(const char* record, const char* name, const char* path) {
  if (record[0] == '/') return "absolute record names are refused";
  for (const char* p = record; *p;) {
    size_t len = strcspn(p, "/");
    if (len == 2 && p[0] == '.' && p[1] == '.') return "\"..\" in a record name is refused";
    p += len;
    if (*p == '/') p++;
  }
  if (strchr(name, '/')) return "\"/\" in an annotator name is refused";
  const char* base = strrchr(path, '/');
  base = base ? base + 1 : path;
  if (strcmp(base, ".") == 0 || strcmp(base, "..") == 0) return "\".\" and \"..\" are no file names";
  return nullptr;
}

char* join_path(const char* record, const char* name) {
  size_t rlen = strlen(record), nlen = strlen(name);
  char* path = (char*)alloc_zeroed(rlen + nlen + 2, 1, "annotation file name");
  if (!path) return nullptr;
  memcpy(path, record, rlen);
  path[rlen] = '.';
  memcpy(path + rlen + 1, name, nlen);
  return path;
}

// Reads the whole of the open file fd into a fresh buffer and checks it.
// Returns 0 with the buffer (released with free) or -1 with the reason.
int load_annfile(int fd, unsigned char** data, size_t* size, const char** why) {
  struct stat st;
  if (fstat(fd, &st) != 0) return *why = strerror(errno), -1;
  if (!S_ISREG(st.st_mode)) return *why = "not a regular file", -1;
  size_t n = (size_t)st.st_size;
  unsigned char* buf = (unsigned char*)alloc_zeroed(n, 1, "annotation file");
  if (!buf) return *why = "out of memory", -1;
  size_t got = 0;
  while (got < n) {
    ssize_t r = read(fd, buf + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      *why = r < 0 ? strerror(errno) : "truncated annotation file";
      free(buf);
      return -1;
    }
    got += (size_t)r;
  }
  if ((*why = check_annfile(buf, n))) {
    free(buf);
    return -1;
  }
  *data = buf;
  *size = n;
  return 0;
}

void close_input() {
  free(in.data);
  in = input{};
}

void flush_output() {
  if (out.failed || out.used == 0) return;
  out.crc = crc_bytes(out.crc, out.buf, out.used);
  for (size_t done = 0; done < out.used;) {
    ssize_t w = write(out.fd, out.buf + done, out.used - done);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) {
      out.failed = true;
      out.why = strerror(errno);
      break;
    }
    done += (size_t)w;
  }
  out.used = 0;
}

void release_output() {
  free(out.path);
  free(out.temp);
  out.open = false;
  out.path = out.temp = nullptr;
}

// Ends an output that is not to be completed: its target stays as it was.
void abandon_output() {
  if (!out.open) return;
  close(out.fd);
  unlink(out.temp);
  release_output();
}

// Finishes the file, puts it on disk and only then renames it over the target.
int complete_output() {
  unsigned char trailer[ann_trailer_size];
  flush_output();
  encode_trailer(out.count, out.crc, trailer);
  memcpy(out.buf, trailer, sizeof trailer);
  out.used = sizeof trailer;
  flush_output();
  if (!out.failed && fsync(out.fd) != 0) out.failed = true, out.why = strerror(errno);
  if (close(out.fd) != 0 && !out.failed) out.failed = true, out.why = strerror(errno);
  if (!out.failed && rename(out.temp, out.path) != 0) out.failed = true, out.why = strerror(errno);
  if (out.failed) {
    unlink(out.temp);
    fail_ann(out.path, out.why);
    release_output();
    return -1;
  }
  // The rename is durable once the directory is; a directory that cannot be
  // synced still holds the complete new file, so that is no failure.
  char* slash = strrchr(out.path, '/');
  if (slash) *slash = 0;
  int dir = open(slash ? out.path : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  release_output();
  return 0;
}

void close_all_at_exit() { abandon_output(); }

// O_NONBLOCK: a FIFO in a file's place must be refused, not waited on for a
// writer that may never come; load_annfile refuses all but regular files.
int open_input(char* path) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fail_ann(path, strerror(errno));
  size_t size = 0;
  const char* why = nullptr;
  int r = load_annfile(fd, &in.data, &size, &why);
  close(fd);
  if (r != 0) return fail_ann(path, why);
  in.open = true;
  in.end = size - ann_trailer_size;
  in.pos = ann_header_size;
  for (int i = 0; i < 8; i++) in.left |= (uint64_t)in.data[in.end + i] << (8 * i);
  init_codec(&in.codec);
  return 0;
}

// A new file never replaces one that is not an annotation file: that may be
// the damaged input of this very run, or something that is not ours at all.
int check_target(const char* path, mode_t* mode) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    mode_t mask = umask(0);
    umask(mask);
    *mode = 0666 & ~mask;
    return 0;
  }
  if (fd < 0) return fail_ann(path, strerror(errno));
  struct stat st;
  unsigned char* data = nullptr;
  size_t size = 0;
  const char* why = nullptr;
  int r = load_annfile(fd, &data, &size, &why);
  if (r == 0 && fstat(fd, &st) == 0) *mode = st.st_mode & 0777;
  close(fd);
  free(data);
  if (r != 0) return fail_ann(path, "exists and is not a valid annotation file, so it is not replaced");
  return 0;
}

// Whether a new file could be made in path's folder.
int check_folder(char* path) {
  char* slash = strrchr(path, '/');
  if (slash) *slash = 0;
  int r = faccessat(AT_FDCWD, slash ? path : ".", W_OK | X_OK, AT_EACCESS);
  if (slash) *slash = '/';
  return r == 0 ? 0 : fail_ann(path, strerror(errno));
}

int open_output(char* path) {
  mode_t mode = 0666;
  if (check_target(path, &mode) != 0) return -1;
  size_t len = strlen(path);
  char* temp = (char*)alloc_zeroed(len + 8, 1, "annotation file name");
  if (!temp) return -1;
  memcpy(temp, path, len);
  memcpy(temp + len, ".XXXXXX", 7);
  int fd = mkostemp(temp, O_CLOEXEC);
  if (fd < 0 || fchmod(fd, mode) != 0) {
    int e = errno;
    if (fd >= 0) close(fd), unlink(temp);
    free(temp);
    return fail_ann(path, strerror(e));
  }
  if (!cleanup_registered) cleanup_registered = atexit(close_all_at_exit) == 0;
  // Under a file-size limit the write must fail with EFBIG, not end the process.
  signal(SIGXFSZ, SIG_IGN);
  out.open = true;
  out.failed = false;
  out.fd = fd;
  out.path = path;
  out.temp = temp;
  out.crc = crc_bytes(0, nullptr, 0);
  out.count = 0;
  init_codec(&out.codec);
  encode_header(out.buf);
  out.used = ann_header_size;
  return 0;
}

}  // namespace

int annopen(const char* record, const annotator_info* info, unsigned count) {
  close_input();
  if (out.open) complete_output();
  if (count != 1) return fail_ann(record, "exactly one annotator must be opened");
  if (info->mode != ann_read && info->mode != ann_write)
    return fail_ann(record, "unknown annotator mode");
  char* path = join_path(record, info->name);
  if (!path) return -1;
  const char* why = check_names(record, info->name, path);
  int r = why ? fail_ann(path, why) : info->mode == ann_read ? open_input(path) : open_output(path);
  // An output keeps its path until it is completed.
  if (r != 0 || info->mode == ann_read) free(path);
  return r;
}

int check_annopen(const char* record, const annotator_info* info) {
  char* path = join_path(record, info->name);
  if (!path) return -1;
  const char* why = check_names(record, info->name, path);
  mode_t mode;
  int r = why ? fail_ann(path, why) : check_target(path, &mode);
  if (r == 0) r = check_folder(path);
  free(path);
  return r;
}

int getann(unsigned an, nesk_ann* a) {
  if (an != 0 || !in.open || in.left == 0) return -1;
  if (decode_ann(&in.codec, in.data, in.end, &in.pos, a, in.aux) != 0) return -1;
  in.left--;
  return 0;
}

int putann(unsigned an, const nesk_ann* a) {
  if (an != 0 || !out.open || out.failed) return -1;
  if (sizeof out.buf - out.used < ann_record_max) flush_output();
  if (out.failed) return -1;
  out.used += encode_ann(&out.codec, a, out.buf + out.used);
  out.count++;
  return 0;
}

int neskquit() {
  close_input();
  return out.open ? complete_output() : 0;
}
