// annfile check: what an edit log would do to its record, line by line. The
// log is read, the record loaded and every entry applied exactly as annapply
// does it, with the same reader, list and library; nothing is written.
#include <fcntl.h>
#include <unistd.h>

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <string>
#include <vector>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "annfile.h"
#include "annlib/annlib.h"
#include "annlist/annlist.h"
#include "editlog/editlog.h"
#include "places.h"
#include "tsv.h"

namespace {

struct tally {
  long lines, inserted, deleted, skipped, unmatched, warnings;
};

const char* name;  // the log as the findings name it
tally seen;
// The findings of the entry lines, kept until those of line 1 are known.
FILE* out;
std::string first;  // the findings of line 1

const char* plural(long n, const char* one, const char* many) {
  return n == 1 ? one : many;
}

// Prints "NAME:LINE: KIND: DETAIL" for the line last read.
void report(const char* kind, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void report(const char* kind, const char* fmt, ...) {
  fprintf(out, "%s:%ld: %s: ", name, notes.line, kind);
  va_list ap;
  va_start(ap, fmt);
  vfprintf(out, fmt, ap);
  va_end(ap);
  fputc('\n', out);
}

// Adds a warning on line 1, about the log as a whole.
void warn_first(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void warn_first(const char* fmt, ...) {
  char buf[2048];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  first += std::string(name) + ":1: warning: " + buf + "\n";
  seen.warnings++;
}

// A delete that removed nothing: the annotation it looked for, as the
// plainest entry that asks for it, control bytes escaped.
void report_unmatched() {
  char text[entry_line_max];
  size_t n = format_log_entry(text, &annot, false);
  fprintf(out, "%s:%ld: unmatched: no annotation matches ", name, notes.line);
  write_escaped(out, (const unsigned char*)text, n - 1);
  fputc('\n', out);
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
  fprintf(out, "%s:%ld: warning: '%.*s' is no mnemonic, so the entry %s a NOTE with that text",
          name, notes.line, (int)len, w, del ? "deletes" : "inserts");
  if (meant) fprintf(out, "; did you mean %s?", meant);
  fputc('\n', out);
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

// How many annotations the file the output would replace holds that the
// log's result, in the list, does not: by place, as multisets.
long count_replaced(const char* record, const char* output) {
  static place_walk result, old;
  result = place_walk{};
  old = place_walk{};
  list_walk(&result);
  annotator_info ai = {output, ann_read};
  if (annopen(record, &ai, 1) != 0) return 0;
  read_walk(&old);
  long gone = 0;
  std::vector<std::string> a, b, left;
  for (;;) {
    skip_shared(&old, &result);
    int64_t place = std::min(next_place(&old), next_place(&result));
    if (place == INT64_MAX) return gone;
    a.clear(), b.clear(), left.clear();
    take_place(&old, place, true, &a);
    take_place(&result, place, true, &b);
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(left));
    gone += (long)left.size();
  }
}

// A file's name as a path compares: without "./" and repeated "/".
std::string plain_path(const std::string& path) {
  std::string p;
  for (size_t i = 0; i < path.size();) {
    if (path.compare(i, 2, "./") == 0 && (i == 0 || path[i - 1] == '/')) {
      i += 2;
    } else if (path[i] == '/' && !p.empty() && p.back() == '/') {
      i++;
    } else {
      p += path[i++];
    }
  }
  return p;
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

int open_log(const char* prog, const char* log) {
  if (!log || strcmp(log, "-") == 0) return 0;
  int fd = open(log, O_RDONLY | O_CLOEXEC);
  if (fd < 0) fprintf(stderr, "%s: can't read %s: %s\n", prog, log, strerror(errno));
  return fd;
}

const char* log_name(const char* log) { return log && strcmp(log, "-") != 0 ? log : "<stdin>"; }

namespace {

// Checks one log, and notes the file it writes in *writers (the file's
// path to the first log that writes it).
int check_one(const char* prog, const char* log, std::map<std::string, std::string>* writers) {
  name = log_name(log);
  seen = tally{};
  first.clear();
  int fd = open_log(prog, log);
  if (fd < 0) return 2;
  // At a terminal, a silent wait for input would look like a hang.
  if (fd == 0 && isatty(0))
    fprintf(stderr, "%s: reading the edit log from standard input; end it with Ctrl-D\n", prog);
  reset_editlog(fd);
  quiet_warnings = true;
  if (!parse_log_header()) {
    if (fd > 0) close(fd);
    if (int e = log_read_error())
      return fail_check(prog, 1, "can't read %s: %s", name, strerror(e));
    return fail_check(prog, 1, "%s:%ld: the header is not readable: %s", name, notes.line,
                      notes.why);
  }
  if (!init_annlist()) return 1;
  neskquiet();
  std::string oaname = std::string(annotator) + "_";

  // Loaded as annapply loads it: when the input does not exist, the result
  // goes to the annotator's own name; when it cannot be read, annapply fails.
  annotator_info ai = {annotator, ann_read};
  long stored = 0;
  char missing[512] = "";
  if (annopen(record, &ai, 1) == 0) {
    stored = load_annlist();
    ai = {oaname.c_str(), ann_write};
  } else if (nesk_missing()) {
    snprintf(missing, sizeof missing, "%s", nesk_reason());
    ai.mode = ann_create;
    // A typo in the header makes a new annotator from the log alone.
    warn_first("%s.%s does not exist, so annapply makes it from this log alone", record,
               annotator);
  } else {
    if (fd > 0) close(fd);
    return fail_check(prog, 2, "%s: can't read %s", name, nesk_reason());
  }
  if (check_annopen(record, &ai) != 0) {
    if (fd > 0) close(fd);
    return fail_check(prog, 2, "%s: can't write %s", name, nesk_reason());
  }
  // Two logs of one annotator each write its result from the stored one.
  std::string target = std::string(record) + "." + ai.name;
  auto [writer, unique] = writers->emplace(plain_path(target), name);
  if (!unique)
    warn_first("annapply writes %s for this log and for %s, and keeps only the one run last; "
               "annfile merge combines them",
               target.c_str(), writer->second.c_str());

  char* buf = nullptr;
  size_t len = 0;
  out = open_memstream(&buf, &len);
  if (!out) {
    if (fd > 0) close(fd);
    return fail_check(prog, 2, "%s: out of memory", name);
  }
  apply_entries();
  fclose(out);
  int e = log_read_error();
  if (fd > 0) close(fd);
  if (e) {
    free(buf);
    return fail_check(prog, 1, "can't read %s: %s", name, strerror(e));
  }
  // The result replaces an earlier one; what only that holds is lost then.
  if (ai.mode == ann_write) {
    if (long gone = count_replaced(record, ai.name))
      warn_first("%s exists and holds %ld %s that this log's result does not: annapply would "
                 "replace it, and %s would be gone",
                 target.c_str(), gone, plural(gone, "annotation", "annotations"),
                 plural(gone, "it", "they"));
  }

  fputs(first.c_str(), stdout);
  fwrite(buf, 1, len, stdout);
  free(buf);
  long findings = seen.skipped + seen.unmatched + seen.warnings;
  printf(
      "%s: %ld %s: %ld applied (%ld inserted, %ld deleted), %ld skipped, %ld unmatched; %ld %s\n",
      name, seen.lines, plural(seen.lines, "entry line", "entry lines"),
      seen.inserted + seen.deleted, seen.inserted, seen.deleted, seen.skipped, seen.unmatched,
      seen.warnings, plural(seen.warnings, "warning", "warnings"));
  long total = stored + seen.inserted - seen.deleted;
  printf("%s: annapply would write %s with %ld %s", name, target.c_str(), total,
         plural(total, "annotation", "annotations"));
  if (ai.mode == ann_write)
    printf(" (%ld read from %s.%s)\n", stored, record, annotator);
  else
    printf(", from the log alone (%s)\n", missing);
  release_annlist();
  release_header();
  neskquit();
  return findings ? 1 : 0;
}

}  // namespace

int check_logs(const char* prog, int count, char** logs) {
  std::map<std::string, std::string> writers;
  int worst = 0;
  for (int i = 0; i < (count ? count : 1); i++)
    worst = std::max(worst, check_one(prog, count ? logs[i] : nullptr, &writers));
  if (finish_stdout(prog) != 0) return 2;
  return worst;
}
