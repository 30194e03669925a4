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
#include "image.h"
#include "report.h"

namespace {

struct input {
  bool open;
  bool lent;        // stretches of img are out, so it outlives the input
  ann_image* img;
  size_t pos;       // where record `next` starts
  uint64_t next;
  ann_codec codec;  // the codec state before record `next`
  unsigned char aux[257];
};

// An image whose stretches are out, kept until neskquit.
struct kept_image {
  kept_image* older;
  ann_image* img;
};
kept_image* kept;

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

void close_input() {
  if (in.img && in.lent) {
    kept_image* k = (kept_image*)alloc_zeroed(1, sizeof(kept_image), "annotation file");
    if (k) *k = {kept, in.img}, kept = k, in.img = nullptr;
  }
  if (in.img) release_image(in.img);
  free(in.img);
  in = input{};
}

void release_kept() {
  while (kept) {
    kept_image* k = kept;
    kept = k->older;
    release_image(k->img);
    free(k->img);
    free(k);
  }
}

// Writes n bytes at the output's end, the checksum taken as they go.
void write_bytes(const unsigned char* p, size_t n) {
  if (out.failed) return;
  out.crc = crc_bytes(out.crc, p, n);
  for (size_t done = 0; done < n;) {
    ssize_t w = write(out.fd, p + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) {
      out.failed = true;
      out.why = strerror(errno);
      return;
    }
    done += (size_t)w;
  }
}

void flush_output() {
  write_bytes(out.buf, out.used);
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
// writer that may never come; load_image refuses all but regular files.
int open_input(char* path) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fail_ann(path, strerror(errno));
  const char* why = nullptr;
  in.img = (ann_image*)alloc_zeroed(1, sizeof(ann_image), "annotation file");
  int r = in.img ? load_image(fd, in.img, &why) : -1;
  close(fd);
  if (r != 0) {
    free(in.img);
    in.img = nullptr;
    return fail_ann(path, why ? why : "out of memory");
  }
  in.open = true;
  in.pos = ann_header_size;
  init_codec(&in.codec);
  return 0;
}

// A new file never replaces one that is not an annotation file: that may be
// the damaged input of this very run, or something that is not ours at all.
// The check reads the file a piece at a time and builds nothing.
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
  bool valid = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && !check_file(fd, (size_t)st.st_size);
  if (valid) *mode = st.st_mode & 0777;
  close(fd);
  if (!valid) return fail_ann(path, "exists and is not a valid annotation file, so it is not replaced");
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
  if (an != 0 || !in.open || in.next == in.img->count) return -1;
  if (decode_ann(&in.codec, in.img->data, in.img->end, &in.pos, a, in.aux) != 0) return -1;
  in.next++;
  return 0;
}

int getstretch(unsigned an, nesk_ann* a, ann_stretch* s) {
  if (an != 0 || !in.open || in.next == in.img->count) return -1;
  const ann_image* img = in.img;
  uint64_t first = in.next;
  if (!test_bit(img->eligible, first)) return getann(an, a) == 0 ? 0 : -1;
  // The stretch runs to the first record that does not join it; words of
  // bits at a time, since a stretch is often the whole file.
  uint64_t end = first + 1;
  while (end < img->count && test_bit(img->joins, end)) {
    uint64_t word = ~img->joins[end / 64] >> (end % 64);
    end = word ? end + (uint64_t)__builtin_ctzll(word) : (end / 64 + 1) * 64;
  }
  if (end > img->count) end = img->count;
  describe_stretch(img, first, end, in.pos, in.codec, s);
  in.next = end;
  in.pos = s->end;
  in.codec = {s->tail.time, s->tail.type};
  in.lent = true;
  return 1;
}

int putann(unsigned an, const nesk_ann* a) {
  if (an != 0 || !out.open || out.failed) return -1;
  if (sizeof out.buf - out.used < ann_record_max) flush_output();
  if (out.failed) return -1;
  out.used += encode_ann(&out.codec, a, out.buf + out.used);
  out.count++;
  return 0;
}

int putstretch(unsigned an, const ann_stretch* s) {
  if (an != 0 || !out.open || out.failed) return -1;
  // The first record is coded anew against the record before it in the
  // output; the others follow their own in the file, so their bytes pass.
  const ann_image* img = s->image;
  ann_codec c = {s->before_time, s->before_type};
  size_t pos = s->begin;
  nesk_ann a;
  unsigned char aux[257];
  if (decode_ann(&c, img->data, img->end, &pos, &a, aux) != 0) return -1;
  putann(an, &a);
  const unsigned char* from = img->data + pos;
  size_t left = s->end - pos;
  while (!out.failed && left > 0) {
    if (out.used == sizeof out.buf) flush_output();
    // Large stretches go out straight from the image, past the buffer.
    if (out.used == 0 && left >= sizeof out.buf) {
      write_bytes(from, left);
      break;
    }
    size_t n = left < sizeof out.buf - out.used ? left : sizeof out.buf - out.used;
    memcpy(out.buf + out.used, from, n);
    out.used += n;
    from += n;
    left -= n;
  }
  out.count += s->count - 1;
  out.codec = {s->tail.time, s->tail.type};
  return out.failed ? -1 : 0;
}

int neskquit() {
  close_input();
  int r = out.open ? complete_output() : 0;
  release_kept();
  return r;
}
