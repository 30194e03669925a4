// Opening the annotation files of a record, and reading the input annotator.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "annlib.h"
#include "format.h"
#include "image.h"
#include "output.h"
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

input in;
// Whether the last read open failed because no file stands at its name.
bool missing;
// Whether the names are the user's own, which may lead anywhere.
bool user_names;

// A name from a log must not lead out of the working directory; no name may
// name a directory.
const char* check_names(const char* record, const char* name, const char* path) {
  if (!user_names && record[0] == '/') return "absolute record names are refused";
  for (const char* p = record; !user_names && *p;) {
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

// O_NONBLOCK: a FIFO in a file's place must be refused, not waited on for a
// writer that may never come; load_image refuses all but regular files.
int open_input(char* path) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    missing = errno == ENOENT;
    return fail_ann(path, strerror(errno));
  }
  const char* why = nullptr;
  static ann_codes codes;
  in.img = (ann_image*)alloc_zeroed(1, sizeof(ann_image), "annotation file");
  int r = in.img ? load_image(fd, in.img, &codes, &why) : -1;
  close(fd);
  if (r != 0) {
    free(in.img);
    in.img = nullptr;
    return fail_ann(path, why ? why : "out of memory");
  }
  set_own_codes(&codes);
  in.open = true;
  in.pos = in.img->begin;
  init_codec(&in.codec);
  return 0;
}

}  // namespace

int annopen(const char* record, const annotator_info* info, unsigned count) {
  close_input();
  if (output_open()) complete_output();
  missing = false;
  if (count != 1) return fail_ann(record, "exactly one annotator must be opened");
  int mode = info->mode;
  if (mode != ann_read && mode != ann_write && mode != ann_create)
    return fail_ann(record, "unknown annotator mode");
  char* path = join_path(record, info->name);
  if (!path) return -1;
  if (const char* why = check_names(record, info->name, path)) {
    fail_ann(path, why);
    free(path);
    return -1;
  }
  if (mode != ann_read) return open_output(path, mode == ann_create);
  // Until an annotator is read, only the built-in codes apply.
  static const ann_codes none = {};
  set_own_codes(&none);
  int r = open_input(path);
  free(path);
  return r;
}

void accept_user_names() {
  user_names = true;
}

int nesk_missing() {
  return missing;
}

int check_annopen(const char* record, const annotator_info* info) {
  char* path = join_path(record, info->name);
  if (!path) return -1;
  const char* why = check_names(record, info->name, path);
  int r = why ? fail_ann(path, why) : check_output(path, info->mode == ann_create);
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

int neskquit() {
  close_input();
  int r = output_open() ? complete_output() : 0;
  release_kept();
  return r;
}

int open_std_streams() {
  for (int fd = 0; fd <= 2; fd++) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number is fd itself, since those below it are open.
    int got = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
    if (got != fd) {
      if (got >= 0) close(got);
      return -1;
    }
  }
  return 0;
}
