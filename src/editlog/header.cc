#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "annlib/annlib.h"
#include "editlog.h"

char* record;
char* annotator;
double sps;
char freqtext[500];

namespace {

const char magic[] = "[RQEditLog-1.0] Record ";
const size_t magic_len = sizeof magic - 1;

// Replaces *field with an exact-size copy of text[0, len).
bool replace_string(char** field, const char* text, size_t len, const char* what) {
  free(*field);
  *field = (char*)alloc_zeroed(len + 1, 1, what);
  if (!*field) return false;
  memcpy(*field, text, len);
  return true;
}

int reject_header(const char* why) {
  release_header();
  notes.why = why;
  return 0;
}

}  // namespace

void release_header() {
  free(record);
  free(annotator);
  record = annotator = nullptr;
}

int parse_log_header() {
  notes.why = nullptr;
  if (read_log_line() == 0) return reject_header("the log is empty");
  // Some editors begin a UTF-8 file with a byte order mark, which hides the
  // header from annapply; say so, since it does not show.
  if (strncmp(logtext, "\xef\xbb\xbf", 3) == 0)
    return reject_header("the log begins with a UTF-8 byte order mark; save it without one");
  if (strncmp(logtext, magic, magic_len) != 0)
    return reject_header("the log does not begin with \"[RQEditLog-1.0] Record \"");
  char* comma = strchr(logtext + magic_len, ',');
  if (!comma || strncmp(comma + 1, " annotator ", 11) != 0)
    return reject_header("no \", annotator \" follows the record name");
  if (!replace_string(&record, logtext + magic_len, comma - logtext - magic_len, "record"))
    return reject_header("out of memory");
  char* name = comma + 12;
  char* space = strchr(name, ' ');
  if (!space || space[1] != '(') return reject_header("no \" (\" follows the annotator name");
  if (!replace_string(&annotator, name, space - name, "annotator"))
    return reject_header("out of memory");
  char* freq = space + 2;
  char* end = strchr(freq, ' ');
  if (!end || strncmp(end + 1, "samples/second)", 15) != 0)
    return reject_header("no \" samples/second)\" follows the frequency");
  // A frequency that is not a number leaves sps as it was.
  *end = 0;
  sscanf(freq, "%lf", &sps);
  snprintf(freqtext, sizeof freqtext, "%s", freq);
  if (read_log_line() == 0) return reject_header("the log ends after its first line");
  if (logtext[0] != '\r' && logtext[0] != '\n') return reject_header("line 2 is not empty");
  return 1;
}

const char* format_log_header(char* out, const char* record, const char* annotator,
                              const char* freq) {
  // The record runs to the first ",", the annotator and the frequency each to
  // the next space; the line must fit one read, "\n" included.
  if (strpbrk(record, ",\n")) return "a record name with \",\" or a line feed";
  if (strpbrk(annotator, " \n")) return "an annotator name with a space or a line feed";
  if (!freq[0] || strpbrk(freq, " \n")) return "a frequency that is empty or holds a space";
  int n = snprintf(out, header_text_max, "%s%s, annotator %s (%s samples/second)\n\n", magic,
                   record, annotator, freq);
  if (n < 0 || (size_t)n - 1 > sizeof logtext - 1) return "a header line longer than 499 bytes";
  return nullptr;
}
