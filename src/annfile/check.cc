// annfile check: what an edit log would do to its record, line by line. The
// log is read, the record loaded and every entry applied exactly as annapply
// does it, with the same reader, list and library; nothing is written.
#include <fcntl.h>
#include <unistd.h>

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "annfile.h"
#include "annlib/annlib.h"
#include "annlist/annlist.h"
#include "editlog/editlog.h"
#include "tsv.h"

namespace {

struct tally {
  long lines, inserted, deleted, skipped, unmatched, warnings;
};

const char* name;  // the log as the findings name it
tally seen;

const char* plural(long n, const char* one, const char* many) {
  return n == 1 ? one : many;
}

// Prints "NAME:LINE: KIND: DETAIL" for the line last read.
void report(const char* kind, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void report(const char* kind, const char* fmt, ...) {
  printf("%s:%ld: %s: ", name, notes.line, kind);
  va_list ap;
  va_start(ap, fmt);
  vprintf(fmt, ap);
  va_end(ap);
  putchar('\n');
}

// A delete that removed nothing: the annotation it looked for, as the
// plainest entry that asks for it, control bytes escaped.
void report_unmatched() {
  char text[entry_line_max];
  size_t n = format_log_entry(text, &annot, false);
  printf("%s:%ld: unmatched: no annotation matches ", name, notes.line);
  write_escaped(stdout, (const unsigned char*)text, n - 1);
  putchar('\n');
}

// Whether a and b differ by one byte changed, added or left out.
bool one_apart(const char* a, size_t la, const char* b, size_t lb) {
  if (la > lb) std::swap(a, b), std::swap(la, lb);
  if (lb - la > 1) return false;
  size_t i = 0;
  while (i < la && a[i] == b[i]) i++;
  if (la == lb) return i < la && memcmp(a + i + 1, b + i + 1, la - i - 1) == 0;
  return memcmp(a + i, b + i + 1, la - i) == 0;
}

// The mnemonic a mistyped word most likely meant: one that differs only in
// letter case, else one a byte apart; null when none is that close.
const char* likely_mnemonic(const char* w, size_t len) {
  const char* near = nullptr;
  auto consider = [&](const char* m) {
    size_t ml = strlen(m);
    if (ml == len && strncasecmp(m, w, len) == 0) return true;
    if (!near && one_apart(w, len, m, ml)) near = m;
    return false;
  };
  for (const ann_code& c : list_ann_codes())
    if (consider(c.mnemonic)) return c.mnemonic;
  const ann_codes* own = own_codes();
  for (int i = 0; i < own->count; i++)
    if (consider(own->rows[i].mnemonic)) return own->rows[i].mnemonic;
  return near;
}

// The longest mnemonic of the run: a word no longer than that, and made of
// what a mnemonic may hold, looks like one.
size_t longest_mnemonic() {
  size_t longest = 0;
  for (const ann_code& c : list_ann_codes()) longest = std::max(longest, strlen(c.mnemonic));
  const ann_codes* own = own_codes();
  for (int i = 0; i < own->count; i++) longest = std::max(longest, strlen(own->rows[i].mnemonic));
  return longest;
}

// A type word that is no mnemonic but looks like one was most likely meant
// as one: the entry will insert (or look for) a NOTE with that text instead.
// A note written as prose holds a space, or is longer than any mnemonic.
void report_note(bool del) {
  const char* w = notes.note;
  size_t len = notes.note_len;
  if (!w || len == 0 || len > longest_mnemonic()) return;
  for (size_t i = 0; i < len; i++) {
    unsigned char c = (unsigned char)w[i];
    if (c <= ' ' || c >= 0x7f || c == ',' || c == '{') return;
  }
  const char* meant = likely_mnemonic(w, len);
  printf("%s:%ld: warning: '%.*s' is no mnemonic, so the entry %s a NOTE with that text", name,
         notes.line, (int)len, w, del ? "deletes" : "inserts");
  if (meant) printf("; did you mean %s?", meant);
  putchar('\n');
  seen.warnings++;
}

void report_warnings() {
  if (notes.end_time >= 0) report("warning", "the end time %ld is ignored", notes.end_time);
  if (notes.aux_len > 255)
    report("warning", "the aux is %zu bytes long; only its first 255 are kept", notes.aux_len);
  if (notes.dropped)
    report("warning", "the line is %zu bytes long; only its first 499 are read",
           499 + notes.dropped);
  seen.warnings += (notes.end_time >= 0) + (notes.aux_len > 255) + (notes.dropped > 0);
}

// The entry loop of annapply, reporting as it goes.
void apply_entries() {
  for (int verdict; (verdict = get_log_entry()) != 0;) {
    seen.lines++;
    if (verdict == -1) {
      seen.skipped++;
      report("skipped", "%s", notes.why);
      continue;
    }
    report_note(verdict == 2);
    if (verdict == 1) {
      insert_ann();
      seen.inserted++;
    } else if (delete_ann()) {
      seen.deleted++;
    } else {
      seen.unmatched++;
      report_unmatched();
    }
    report_warnings();
  }
}

int open_log(const char* prog, const char* log) {
  if (!log || strcmp(log, "-") == 0) return 0;
  int fd = open(log, O_RDONLY | O_CLOEXEC);
  if (fd < 0) fprintf(stderr, "%s: can't read %s: %s\n", prog, log, strerror(errno));
  return fd;
}

// Ends a check that found annapply could not do its job.
int fail_check(const char* prog, int status, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
int fail_check(const char* prog, int status, const char* fmt, ...) {
  fprintf(stderr, "%s: ", prog);
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  fprintf(stderr, " (annapply would end with status %d)\n", status);
  release_annlist();
  release_header();
  neskquit();
  return 2;
}

}  // namespace

int check_log(const char* prog, const char* log) {
  name = log && strcmp(log, "-") != 0 ? log : "<stdin>";
  seen = tally{};
  int fd = open_log(prog, log);
  if (fd < 0) return 2;
  // At a terminal, a silent wait for input would look like a hang.
  if (fd == 0 && isatty(0))
    fprintf(stderr, "%s: reading the edit log from standard input; end it with Ctrl-D\n", prog);
  reset_editlog(fd);
  quiet_warnings = true;
  if (!parse_log_header()) {
    if (int e = log_read_error())
      return fail_check(prog, 1, "can't read %s: %s", name, strerror(e));
    return fail_check(prog, 1, "%s:%ld: the header is not readable: %s", name, notes.line,
                      notes.why);
  }
  if (!init_annlist()) return 1;
  neskquiet();
  size_t len = strlen(annotator) + 2;
  char* oaname = (char*)alloc_zeroed(len, 1, "oaname");
  if (!oaname) return 1;
  snprintf(oaname, len, "%s_", annotator);

  // Loaded as annapply loads it: when the input does not exist, the result
  // goes to the annotator's own name; when it cannot be read, annapply fails.
  annotator_info ai = {annotator, ann_read};
  long stored = 0;
  char missing[512] = "";
  if (annopen(record, &ai, 1) == 0) {
    stored = load_annlist();
    ai = {oaname, ann_write};
  } else if (nesk_missing()) {
    snprintf(missing, sizeof missing, "%s", nesk_reason());
    ai.mode = ann_create;
    // A typo in the header makes a new annotator from the log alone.
    printf("%s:1: warning: %s.%s does not exist, so annapply makes it from this log alone\n", name,
           record, annotator);
    seen.warnings++;
  } else {
    int r = fail_check(prog, 2, "%s: can't read %s", name, nesk_reason());
    free(oaname);
    return r;
  }
  if (check_annopen(record, &ai) != 0) {
    int r = fail_check(prog, 2, "%s: can't write %s", name, nesk_reason());
    free(oaname);
    return r;
  }

  apply_entries();
  if (int e = log_read_error()) {
    free(oaname);
    return fail_check(prog, 1, "can't read %s: %s", name, strerror(e));
  }

  long findings = seen.skipped + seen.unmatched + seen.warnings;
  printf(
      "%s: %ld %s: %ld applied (%ld inserted, %ld deleted), %ld skipped, %ld unmatched; %ld %s\n",
      name, seen.lines, plural(seen.lines, "entry line", "entry lines"),
      seen.inserted + seen.deleted, seen.inserted, seen.deleted, seen.skipped, seen.unmatched,
      seen.warnings, plural(seen.warnings, "warning", "warnings"));
  long total = stored + seen.inserted - seen.deleted;
  printf("%s: annapply would write %s.%s with %ld %s", name, record, ai.name, total,
         plural(total, "annotation", "annotations"));
  if (ai.name == oaname)
    printf(" (%ld read from %s.%s)\n", stored, record, annotator);
  else
    printf(", from the log alone (%s)\n", missing);
  release_annlist();
  release_header();
  neskquit();
  free(oaname);
  if (finish_stdout(prog) != 0) return 2;
  return findings ? 1 : 0;
}
