// Writing an annotator: into a temporary file beside its target, which takes
// the target's place only when it is complete, on disk, and the target is
// still what the open found there. No exit, failure or ordinary signal
// leaves the temporary file behind.
#include "output.h"

#include <fcntl.h>
#include <limits.h>
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

// What stood at the target when the output was opened.
struct target_id {
  bool exists;
  dev_t dev;
  ino_t ino;
  off_t size;
  timespec mtime, ctime;
};

struct output {
  bool open;
  bool failed;
  bool create;  // a new annotator, which never takes the place of a file
  const char* why;
  int fd;  // -1 until the temporary file is made
  mode_t mode;
  target_id target;
  char* path;
  char* temp;  // the temporary file's name; a pattern until it is made
  uint32_t crc;
  uint64_t count;
  ann_codec codec;
  size_t used;
  unsigned char buf[1 << 16];
};

output out;
bool cleanup_registered;

// Signals whose default action ends the process. While a temporary file
// exists, their handler removes it and then ends the process by the same
// signal. A signal that is ignored, or that the program handles itself,
// is left as it is.
const int ending_signals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM,   SIGPIPE, SIGALRM,
                              SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF};

// The handler may read only these: a copy of the name and a flag.
char live_temp[PATH_MAX];
volatile sig_atomic_t temp_live;

void remove_and_reraise(int sig) {
  if (temp_live) unlink(live_temp);
  temp_live = 0;
  // SA_RESETHAND has restored the default, and SA_NODEFER lets it act now.
  raise(sig);
}

void install_handlers() {
  static bool installed;
  if (installed) return;
  installed = true;
  for (int sig : ending_signals) {
    struct sigaction old;
    if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
    struct sigaction sa = {};
    sa.sa_handler = remove_and_reraise;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND | SA_NODEFER;
    sigaction(sig, &sa, nullptr);
  }
}

// The temporary file's name and the flag change together: no signal may
// come between the file's making or removal and the flag's.
sigset_t block_signals() {
  sigset_t set, old;
  sigemptyset(&set);
  for (int sig : ending_signals) sigaddset(&set, sig);
  sigprocmask(SIG_BLOCK, &set, &old);
  return old;
}

void restore_signals(const sigset_t* old) {
  sigprocmask(SIG_SETMASK, old, nullptr);
}

void remove_temp() {
  sigset_t old = block_signals();
  unlink(out.temp);
  temp_live = 0;
  restore_signals(&old);
}

void fail_write(int e) {
  out.failed = true;
  out.why = strerror(e);
}

// Makes the temporary file, with the mode the target will have.
void make_temp() {
  sigset_t old = block_signals();
  int fd = mkostemp(out.temp, O_CLOEXEC);
  int e = errno;
  size_t len = strlen(out.temp);
  if (fd >= 0 && len < sizeof live_temp) {
    memcpy(live_temp, out.temp, len + 1);
    temp_live = 1;
  }
  restore_signals(&old);
  if (fd < 0) return fail_write(e);
  out.fd = fd;
  if (fchmod(fd, out.mode) != 0) fail_write(errno);
}

// Writes n bytes at the output's end, the checksum taken as they go.
void write_bytes(const unsigned char* p, size_t n) {
  if (!out.failed && out.fd < 0) make_temp();
  if (out.failed) return;
  out.crc = crc_bytes(out.crc, p, n);
  for (size_t done = 0; done < n;) {
    ssize_t w = write(out.fd, p + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return fail_write(errno);
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

bool same_file(const struct stat* st, const target_id* t) {
  return st->st_dev == t->dev && st->st_ino == t->ino && st->st_size == t->size &&
         st->st_mtim.tv_sec == t->mtime.tv_sec && st->st_mtim.tv_nsec == t->mtime.tv_nsec &&
         st->st_ctim.tv_sec == t->ctime.tv_sec && st->st_ctim.tv_nsec == t->ctime.tv_nsec;
}

const char appeared[] = "appeared while the output was written, so it is not replaced";

// Renames from to `to` where no file stands, never over one.
const char* rename_new(const char* from, const char* to) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return nullptr;
  if (errno == EEXIST) return appeared;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return strerror(errno);
  // A file system without that rename: a link is never made over a file either.
  if (link(from, to) != 0) return errno == EEXIST ? appeared : strerror(errno);
  unlink(from);
  return nullptr;
}

// Puts the complete temporary file in the target's place. A target that is
// not what the open found (it appeared or changed since) is never replaced:
// it is another program's, or another run's.
const char* place_output() {
  sigset_t old = block_signals();
  const char* why = nullptr;
  struct stat st;
  if (out.create || !out.target.exists) {
    why = rename_new(out.temp, out.path);
  } else if (stat(out.path, &st) != 0) {
    why = errno == ENOENT ? rename_new(out.temp, out.path) : strerror(errno);
  } else if (!same_file(&st, &out.target)) {
    why = "changed while the output was written, so it is not replaced";
  } else if (rename(out.temp, out.path) != 0) {
    why = strerror(errno);
  }
  if (!why) temp_live = 0;
  restore_signals(&old);
  return why;
}

// A new file never replaces one that is not an annotation file: that may be
// the damaged input of this very run, or something that is not ours at all.
// The check reads the file a piece at a time and builds nothing.
int check_target(const char* path, bool create, mode_t* mode, target_id* id) {
  *id = target_id{};
  struct stat st;
  if (create) {
    if (lstat(path, &st) == 0)
      return fail_ann(path, "exists, and a new annotator never replaces a file");
    if (errno != ENOENT) return fail_ann(path, strerror(errno));
  }
  int fd = create ? -1 : open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (create || (fd < 0 && errno == ENOENT)) {
    mode_t mask = umask(0);
    umask(mask);
    *mode = 0666 & ~mask;
    return 0;
  }
  if (fd < 0) return fail_ann(path, strerror(errno));
  bool valid = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && !check_file(fd, (size_t)st.st_size);
  close(fd);
  if (!valid)
    return fail_ann(path, "exists and is not a valid annotation file, so it is not replaced");
  *mode = st.st_mode & 0777;
  *id = {true, st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
  return 0;
}

// The folder of path's file: "." for a bare name, "/" for one right below
// the root, else path cut at its last "/", which *slash = '/' puts back.
const char* cut_folder(char* path, char** slash) {
  *slash = strrchr(path, '/');
  if (!*slash) return ".";
  if (*slash == path) {
    *slash = nullptr;
    return "/";
  }
  **slash = 0;
  return path;
}

// Whether a new file can be made in path's folder.
int check_folder(char* path) {
  char* slash;
  int r = faccessat(AT_FDCWD, cut_folder(path, &slash), W_OK | X_OK, AT_EACCESS);
  int e = errno;
  if (slash) *slash = '/';
  return r == 0 ? 0 : fail_ann(path, strerror(e));
}

// The temporary file's name pattern: the target's name and ".XXXXXX", or,
// where the folder takes no name that long, the target's name with its last
// 7 bytes so replaced. It never needs more room than the target's name.
char* temp_pattern(char* path) {
  size_t len = strlen(path);
  const char* last = strrchr(path, '/');
  size_t base = last ? len - (size_t)(last + 1 - path) : len;
  long name_max = NAME_MAX;
  char* slash;
  long limit = pathconf(cut_folder(path, &slash), _PC_NAME_MAX);
  if (slash) *slash = '/';
  if (limit > 0) name_max = limit;
  bool room = base + 7 <= (size_t)name_max && len + 7 < PATH_MAX;
  size_t n = room || base < 7 ? len + 7 : len;
  char* temp = (char*)alloc_zeroed(n + 1, 1, "annotation file name");
  if (!temp) return nullptr;
  memcpy(temp, path, n - 7);
  memcpy(temp + n - 7, ".XXXXXX", 7);
  return temp;
}

void close_all_at_exit() {
  abandon_output();
}

}  // namespace

int open_output(char* path, bool create) {
  mode_t mode = 0666;
  target_id id;
  char* temp = nullptr;
  if (check_target(path, create, &mode, &id) != 0 || check_folder(path) != 0 ||
      !(temp = temp_pattern(path))) {
    free(path);
    return -1;
  }
  if (!cleanup_registered) cleanup_registered = atexit(close_all_at_exit) == 0;
  install_handlers();
  // Under a file-size limit the write must fail with EFBIG, not end the process.
  signal(SIGXFSZ, SIG_IGN);
  out.open = true;
  out.failed = false;
  out.create = create;
  out.fd = -1;
  out.mode = mode;
  out.target = id;
  out.path = path;
  out.temp = temp;
  out.crc = crc_bytes(0, nullptr, 0);
  out.count = 0;
  init_codec(&out.codec);
  // The new file carries the run's own codes.
  out.used = encode_header(out.buf, own_codes());
  return 0;
}

int check_output(char* path, bool create) {
  mode_t mode;
  target_id id;
  return check_target(path, create, &mode, &id) != 0 || check_folder(path) != 0 ? -1 : 0;
}

bool output_open() {
  return out.open;
}

void abandon_output() {
  if (!out.open) return;
  if (out.fd >= 0) {
    close(out.fd);
    remove_temp();
  }
  release_output();
}

int complete_output() {
  unsigned char trailer[ann_trailer_size];
  flush_output();
  encode_trailer(out.count, out.crc, trailer);
  memcpy(out.buf, trailer, sizeof trailer);
  out.used = sizeof trailer;
  flush_output();
  if (!out.failed && fsync(out.fd) != 0) fail_write(errno);
  if (out.fd >= 0 && close(out.fd) != 0 && !out.failed) fail_write(errno);
  if (!out.failed) {
    if (const char* why = place_output()) out.failed = true, out.why = why;
  }
  if (out.failed) {
    if (out.fd >= 0) remove_temp();
    fail_ann(out.path, out.why);
    release_output();
    return -1;
  }
  // The rename is durable once the directory is; a directory that cannot be
  // synced still holds the complete new file, so that is no failure.
  char* slash;
  int dir = open(cut_folder(out.path, &slash), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  release_output();
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
