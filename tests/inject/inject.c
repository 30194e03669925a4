// A fault injector for the end-to-end tests, preloaded into the one program a
// test starts. It fails the Nth call of one operation with a given errno and
// notes in a report file that it did, so that a test can try every N of a run
// until the injector no longer fires.
//
//   INJECT_CALL    the operation: open read pread write fstat stat fsync close
//                  rename link unlink mkstemp fchmod alloc
//   INJECT_NTH     the call to fail, counted from 1
//   INJECT_ERRNO   the errno it fails with, as a number
//   INJECT_PATH    when set, only calls on this name count, and calls on
//                  descriptors opened from it
//   INJECT_REPORT  the file that gets the line "OP N" when the call failed
//
// Calls are counted from the start of main: what the loader and the runtime
// do before it is no part of the program's run. Writes to standard error are
// never failed, so that a program can always say what went wrong. The stdio
// calls count as read or write, since stdio reaches the kernel through
// glibc's inner functions, which cannot be interposed.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

enum op {
  op_none,
  op_open,
  op_read,
  op_pread,
  op_write,
  op_fstat,
  op_stat,
  op_fsync,
  op_close,
  op_rename,
  op_link,
  op_unlink,
  op_mkstemp,
  op_fchmod,
  op_alloc
};

static const char* const op_names[] = {"",      "open",   "read",    "pread",  "write",
                                       "fstat", "stat",   "fsync",   "close",  "rename",
                                       "link",  "unlink", "mkstemp", "fchmod", "alloc"};

static int armed;  // main has started and the settings are read
static enum op target_op;
static long target_nth;
static int target_errno;
static const char* only_path;
static const char* report_path;
static long calls;
static unsigned char tracked[4096];  // descriptors opened from only_path

static void read_settings(void) {
  const char* call = getenv("INJECT_CALL");
  const char* nth = getenv("INJECT_NTH");
  const char* err = getenv("INJECT_ERRNO");
  if (!call || !nth || !err) return;
  for (int i = 1; i < (int)(sizeof op_names / sizeof op_names[0]); i++)
    if (strcmp(call, op_names[i]) == 0) target_op = (enum op)i;
  target_nth = strtol(nth, NULL, 10);
  target_errno = (int)strtol(err, NULL, 10);
  only_path = getenv("INJECT_PATH");
  report_path = getenv("INJECT_REPORT");
}

// The report goes straight to the kernel: through libc it would count as the
// program's own calls.
static void report_fired(void) {
  if (!report_path) return;
  char line[64];
  int n = snprintf(line, sizeof line, "%s %ld\n", op_names[target_op], target_nth);
  long fd =
      syscall(SYS_openat, AT_FDCWD, report_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  syscall(SYS_write, fd, line, (size_t)n);
  syscall(SYS_close, fd);
}

// Whether this call is the one to fail; counts it when it is of the operation.
static int should_fail(enum op o) {
  if (!armed || o != target_op) return 0;
  if (++calls != target_nth) return 0;
  report_fired();
  return 1;
}

static int path_counts(const char* path) {
  return !only_path || (path && strcmp(path, only_path) == 0);
}

static int fd_counts(int fd) {
  return !only_path || (fd >= 0 && fd < (int)sizeof tracked && tracked[fd]);
}

static void track_open(const char* path, int fd) {
  if (only_path && fd >= 0 && fd < (int)sizeof tracked && strcmp(path, only_path) == 0)
    tracked[fd] = 1;
}

static int fail_path_call(enum op o, const char* path) {
  return path_counts(path) && should_fail(o);
}

static int fail_fd_call(enum op o, int fd) {
  return fd_counts(fd) && should_fail(o);
}

// Only calls of the whole program count, never those that a filter names.
static int fail_any_call(enum op o) {
  return !only_path && should_fail(o);
}

static int fail_stream_write(FILE* f) {
  if (f == stderr || (f && fileno(f) == 2) || !fail_fd_call(op_write, f ? fileno(f) : -1)) return 0;
  f->_flags |= _IO_ERR_SEEN;
  errno = target_errno;
  return 1;
}

static int fail_stream_read(FILE* f) {
  if (!fail_fd_call(op_read, fileno(f))) return 0;
  f->_flags |= _IO_ERR_SEEN;
  errno = target_errno;
  return 1;
}

// The function that the call would have reached, found on first use.
static void* find_next(void** slot, const char* name) {
  if (!*slot) *slot = dlsym(RTLD_NEXT, name);
  return *slot;
}

#define NEXT(name) ((__typeof__(real_##name))find_next((void**)&real_##name, #name))
#define FAIL(value) return errno = target_errno, (value)

typedef int main_fn(int, char**, char**);
static main_fn* real_main;

static int start_main(int argc, char** argv, char** envp) {
  read_settings();
  armed = target_op != op_none;
  return real_main(argc, argv, envp);
}

int __libc_start_main(main_fn* main, int argc, char** argv, void (*init)(void), void (*fini)(void),
                      void (*rtld_fini)(void), void* stack_end) {
  int (*next)(main_fn*, int, char**, void (*)(void), void (*)(void), void (*)(void), void*) =
      (__typeof__(next))dlsym(RTLD_NEXT, "__libc_start_main");
  real_main = main;
  return next(start_main, argc, argv, init, fini, rtld_fini, stack_end);
}

// open, in all its names. A mode is passed on only when the flags take one.
static mode_t mode_of(int flags, va_list ap) {
  return (flags & O_CREAT) || (flags & __O_TMPFILE) == __O_TMPFILE ? va_arg(ap, mode_t) : 0;
}

#define DEFINE_OPEN(name)                           \
  static int (*real_##name)(const char*, int, ...); \
  int name(const char* path, int flags, ...) {      \
    va_list ap;                                     \
    va_start(ap, flags);                            \
    mode_t mode = mode_of(flags, ap);               \
    va_end(ap);                                     \
    if (fail_path_call(op_open, path)) FAIL(-1);    \
    int fd = NEXT(name)(path, flags, mode);         \
    track_open(path, fd);                           \
    return fd;                                      \
  }
DEFINE_OPEN(open)
DEFINE_OPEN(open64)

#define DEFINE_OPENAT(name)                              \
  static int (*real_##name)(int, const char*, int, ...); \
  int name(int dir, const char* path, int flags, ...) {  \
    va_list ap;                                          \
    va_start(ap, flags);                                 \
    mode_t mode = mode_of(flags, ap);                    \
    va_end(ap);                                          \
    if (fail_path_call(op_open, path)) FAIL(-1);         \
    int fd = NEXT(name)(dir, path, flags, mode);         \
    track_open(path, fd);                                \
    return fd;                                           \
  }
DEFINE_OPENAT(openat)
DEFINE_OPENAT(openat64)

#define DEFINE_OPEN_2(name)                      \
  int name(const char* path, int flags);         \
  static int (*real_##name)(const char*, int);   \
  int name(const char* path, int flags) {        \
    if (fail_path_call(op_open, path)) FAIL(-1); \
    int fd = NEXT(name)(path, flags);            \
    track_open(path, fd);                        \
    return fd;                                   \
  }
DEFINE_OPEN_2(__open_2)
DEFINE_OPEN_2(__open64_2)

#define DEFINE_FOPEN(name)                               \
  static FILE* (*real_##name)(const char*, const char*); \
  FILE* name(const char* path, const char* mode) {       \
    if (fail_path_call(op_open, path)) FAIL(NULL);       \
    FILE* f = NEXT(name)(path, mode);                    \
    if (f) track_open(path, fileno(f));                  \
    return f;                                            \
  }
DEFINE_FOPEN(fopen)
DEFINE_FOPEN(fopen64)

static int (*real_close)(int);
int close(int fd) {
  int fail = fail_fd_call(op_close, fd);
  if (fd >= 0 && fd < (int)sizeof tracked) tracked[fd] = 0;
  // Linux releases the descriptor even when close reports an error.
  int r = NEXT(close)(fd);
  if (fail) FAIL(-1);
  return r;
}

static ssize_t (*real_read)(int, void*, size_t);
ssize_t read(int fd, void* buf, size_t n) {
  if (fail_fd_call(op_read, fd)) FAIL(-1);
  return NEXT(read)(fd, buf, n);
}

#define DEFINE_PREAD(name)                                  \
  static ssize_t (*real_##name)(int, void*, size_t, off_t); \
  ssize_t name(int fd, void* buf, size_t n, off_t at) {     \
    if (fail_fd_call(op_pread, fd)) FAIL(-1);               \
    return NEXT(name)(fd, buf, n, at);                      \
  }
DEFINE_PREAD(pread)
DEFINE_PREAD(pread64)

static ssize_t (*real_write)(int, const void*, size_t);
ssize_t write(int fd, const void* buf, size_t n) {
  if (fd != 2 && fail_fd_call(op_write, fd)) FAIL(-1);
  return NEXT(write)(fd, buf, n);
}

static ssize_t (*real_writev)(int, const struct iovec*, int);
ssize_t writev(int fd, const struct iovec* v, int n) {
  if (fd != 2 && fail_fd_call(op_write, fd)) FAIL(-1);
  return NEXT(writev)(fd, v, n);
}

#define DEFINE_PWRITE(name)                                       \
  static ssize_t (*real_##name)(int, const void*, size_t, off_t); \
  ssize_t name(int fd, const void* buf, size_t n, off_t at) {     \
    if (fd != 2 && fail_fd_call(op_write, fd)) FAIL(-1);          \
    return NEXT(name)(fd, buf, n, at);                            \
  }
DEFINE_PWRITE(pwrite)
DEFINE_PWRITE(pwrite64)

// stdio input: a failed call leaves the stream's error flag set, as a failed
// read of its descriptor would.
ssize_t __getdelim(char** line, size_t* cap, int delim, FILE* f);
static ssize_t (*real___getdelim)(char**, size_t*, int, FILE*);
ssize_t __getdelim(char** line, size_t* cap, int delim, FILE* f) {
  if (fail_stream_read(f)) return -1;
  return NEXT(__getdelim)(line, cap, delim, f);
}

static ssize_t (*real_getdelim)(char**, size_t*, int, FILE*);
ssize_t getdelim(char** line, size_t* cap, int delim, FILE* f) {
  if (fail_stream_read(f)) return -1;
  return NEXT(getdelim)(line, cap, delim, f);
}

static ssize_t (*real_getline)(char**, size_t*, FILE*);
ssize_t getline(char** line, size_t* cap, FILE* f) {
  if (fail_stream_read(f)) return -1;
  return NEXT(getline)(line, cap, f);
}

static char* (*real_fgets)(char*, int, FILE*);
char* fgets(char* s, int n, FILE* f) {
  if (fail_stream_read(f)) return NULL;
  return NEXT(fgets)(s, n, f);
}

static size_t (*real_fread)(void*, size_t, size_t, FILE*);
size_t fread(void* p, size_t size, size_t n, FILE* f) {
  if (fail_stream_read(f)) return 0;
  return NEXT(fread)(p, size, n, f);
}

static int (*real_fgetc)(FILE*);
int fgetc(FILE* f) {
  if (fail_stream_read(f)) return EOF;
  return NEXT(fgetc)(f);
}

static int (*real_getc)(FILE*);
int getc(FILE* f) {
  if (fail_stream_read(f)) return EOF;
  return NEXT(getc)(f);
}

// stdio output, except to standard error.
static size_t (*real_fwrite)(const void*, size_t, size_t, FILE*);
size_t fwrite(const void* p, size_t size, size_t n, FILE* f) {
  if (fail_stream_write(f)) return 0;
  return NEXT(fwrite)(p, size, n, f);
}

static int (*real_fputs)(const char*, FILE*);
int fputs(const char* s, FILE* f) {
  if (fail_stream_write(f)) return EOF;
  return NEXT(fputs)(s, f);
}

static int (*real_puts)(const char*);
int puts(const char* s) {
  if (fail_stream_write(stdout)) return EOF;
  return NEXT(puts)(s);
}

static int (*real_fputc)(int, FILE*);
int fputc(int c, FILE* f) {
  if (fail_stream_write(f)) return EOF;
  return NEXT(fputc)(c, f);
}

static int (*real_putc)(int, FILE*);
int putc(int c, FILE* f) {
  if (fail_stream_write(f)) return EOF;
  return NEXT(putc)(c, f);
}

static int (*real_putchar)(int);
int putchar(int c) {
  if (fail_stream_write(stdout)) return EOF;
  return NEXT(putchar)(c);
}

static int (*real_vfprintf)(FILE*, const char*, va_list);
int vfprintf(FILE* f, const char* fmt, va_list ap) {
  if (fail_stream_write(f)) return -1;
  return NEXT(vfprintf)(f, fmt, ap);
}

int vprintf(const char* fmt, va_list ap) {
  return vfprintf(stdout, fmt, ap);
}

int fprintf(FILE* f, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int r = vfprintf(f, fmt, ap);
  va_end(ap);
  return r;
}

int printf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int r = vfprintf(stdout, fmt, ap);
  va_end(ap);
  return r;
}

static int (*real_fflush)(FILE*);
int fflush(FILE* f) {
  if (f && fail_stream_write(f)) return EOF;
  return NEXT(fflush)(f);
}

#define DEFINE_FSTAT(name, type)                \
  static int (*real_##name)(int, struct type*); \
  int name(int fd, struct type* st) {           \
    if (fail_fd_call(op_fstat, fd)) FAIL(-1);   \
    return NEXT(name)(fd, st);                  \
  }
DEFINE_FSTAT(fstat, stat)
DEFINE_FSTAT(fstat64, stat64)

#define DEFINE_STAT(name, type)                         \
  static int (*real_##name)(const char*, struct type*); \
  int name(const char* path, struct type* st) {         \
    if (fail_path_call(op_stat, path)) FAIL(-1);        \
    return NEXT(name)(path, st);                        \
  }
DEFINE_STAT(stat, stat)
DEFINE_STAT(stat64, stat64)
DEFINE_STAT(lstat, stat)
DEFINE_STAT(lstat64, stat64)

#define DEFINE_FSTATAT(name, type)                                  \
  static int (*real_##name)(int, const char*, struct type*, int);   \
  int name(int dir, const char* path, struct type* st, int flags) { \
    if (fail_path_call(op_stat, path)) FAIL(-1);                    \
    return NEXT(name)(dir, path, st, flags);                        \
  }
DEFINE_FSTATAT(fstatat, stat)
DEFINE_FSTATAT(fstatat64, stat64)

static int (*real_statx)(int, const char*, int, unsigned, struct statx*);
int statx(int dir, const char* path, int flags, unsigned mask, struct statx* st) {
  if (fail_path_call(op_stat, path)) FAIL(-1);
  return NEXT(statx)(dir, path, flags, mask, st);
}

static int (*real_fsync)(int);
int fsync(int fd) {
  if (fail_fd_call(op_fsync, fd)) FAIL(-1);
  return NEXT(fsync)(fd);
}

static int (*real_fdatasync)(int);
int fdatasync(int fd) {
  if (fail_fd_call(op_fsync, fd)) FAIL(-1);
  return NEXT(fdatasync)(fd);
}

static int either_counts(const char* a, const char* b) {
  return path_counts(a) || path_counts(b);
}

static int (*real_rename)(const char*, const char*);
int rename(const char* from, const char* to) {
  if (either_counts(from, to) && should_fail(op_rename)) FAIL(-1);
  return NEXT(rename)(from, to);
}

static int (*real_renameat)(int, const char*, int, const char*);
int renameat(int fd1, const char* from, int fd2, const char* to) {
  if (either_counts(from, to) && should_fail(op_rename)) FAIL(-1);
  return NEXT(renameat)(fd1, from, fd2, to);
}

static int (*real_renameat2)(int, const char*, int, const char*, unsigned);
int renameat2(int fd1, const char* from, int fd2, const char* to, unsigned flags) {
  if (either_counts(from, to) && should_fail(op_rename)) FAIL(-1);
  return NEXT(renameat2)(fd1, from, fd2, to, flags);
}

static int (*real_link)(const char*, const char*);
int link(const char* from, const char* to) {
  if (either_counts(from, to) && should_fail(op_link)) FAIL(-1);
  return NEXT(link)(from, to);
}

static int (*real_linkat)(int, const char*, int, const char*, int);
int linkat(int fd1, const char* from, int fd2, const char* to, int flags) {
  if (either_counts(from, to) && should_fail(op_link)) FAIL(-1);
  return NEXT(linkat)(fd1, from, fd2, to, flags);
}

static int (*real_unlink)(const char*);
int unlink(const char* path) {
  if (fail_path_call(op_unlink, path)) FAIL(-1);
  return NEXT(unlink)(path);
}

static int (*real_unlinkat)(int, const char*, int);
int unlinkat(int dir, const char* path, int flags) {
  if (fail_path_call(op_unlink, path)) FAIL(-1);
  return NEXT(unlinkat)(dir, path, flags);
}

static int (*real_remove)(const char*);
int remove(const char* path) {
  if (fail_path_call(op_unlink, path)) FAIL(-1);
  return NEXT(remove)(path);
}

#define DEFINE_MKSTEMP(name)                 \
  static int (*real_##name)(char*);          \
  int name(char* pattern) {                  \
    if (fail_any_call(op_mkstemp)) FAIL(-1); \
    return NEXT(name)(pattern);              \
  }
DEFINE_MKSTEMP(mkstemp)
DEFINE_MKSTEMP(mkstemp64)

#define DEFINE_MKOSTEMP(name)                \
  static int (*real_##name)(char*, int);     \
  int name(char* pattern, int flags) {       \
    if (fail_any_call(op_mkstemp)) FAIL(-1); \
    return NEXT(name)(pattern, flags);       \
  }
DEFINE_MKOSTEMP(mkostemp)
DEFINE_MKOSTEMP(mkostemp64)

#define DEFINE_MKSTEMPS(name)                \
  static int (*real_##name)(char*, int);     \
  int name(char* pattern, int suffix) {      \
    if (fail_any_call(op_mkstemp)) FAIL(-1); \
    return NEXT(name)(pattern, suffix);      \
  }
DEFINE_MKSTEMPS(mkstemps)
DEFINE_MKSTEMPS(mkstemps64)

#define DEFINE_MKOSTEMPS(name)                     \
  static int (*real_##name)(char*, int, int);      \
  int name(char* pattern, int suffix, int flags) { \
    if (fail_any_call(op_mkstemp)) FAIL(-1);       \
    return NEXT(name)(pattern, suffix, flags);     \
  }
DEFINE_MKOSTEMPS(mkostemps)
DEFINE_MKOSTEMPS(mkostemps64)

static int (*real_fchmod)(int, mode_t);
int fchmod(int fd, mode_t mode) {
  if (fail_fd_call(op_fchmod, fd)) FAIL(-1);
  return NEXT(fchmod)(fd, mode);
}

static int (*real_fchmodat)(int, const char*, mode_t, int);
int fchmodat(int dir, const char* path, mode_t mode, int flags) {
  if (fail_path_call(op_fchmod, path)) FAIL(-1);
  return NEXT(fchmodat)(dir, path, mode, flags);
}

static int (*real_chmod)(const char*, mode_t);
int chmod(const char* path, mode_t mode) {
  if (fail_path_call(op_fchmod, path)) FAIL(-1);
  return NEXT(chmod)(path, mode);
}

// The allocators forward to glibc's own entry points: dlsym itself may
// allocate, and would come back here. Under AddressSanitizer the program's
// allocator is the sanitizer's, and these are never called.
void* __libc_malloc(size_t n);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t n);

void* malloc(size_t n) {
  if (fail_any_call(op_alloc)) FAIL(NULL);
  return __libc_malloc(n);
}

void* calloc(size_t count, size_t size) {
  if (fail_any_call(op_alloc)) FAIL(NULL);
  return __libc_calloc(count, size);
}

void* realloc(void* p, size_t n) {
  if (fail_any_call(op_alloc)) FAIL(NULL);
  return __libc_realloc(p, n);
}
