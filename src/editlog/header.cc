#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "annlib/annlib.h"
#include "editlog.h"

char* record;
char* annotator;
double sps;

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

int reject_header() {
  release_header();
  return 0;
}

}  // namespace

void release_header() {
  free(record);
  free(annotator);
  record = annotator = nullptr;
}

int parse_log_header() {
  if (read_log_line() == 0) return reject_header();
  if (strncmp(logtext, magic, magic_len) != 0) return reject_header();
  char* comma = strchr(logtext + magic_len, ',');
  if (!comma || strncmp(comma + 1, " annotator ", 11) != 0) return reject_header();
  if (!replace_string(&record, logtext + magic_len, comma - logtext - magic_len, "record"))
    return reject_header();
  char* name = comma + 12;
  char* space = strchr(name, ' ');
  if (!space || space[1] != '(') return reject_header();
  if (!replace_string(&annotator, name, space - name, "annotator")) return reject_header();
  char* freq = space + 2;
  char* end = strchr(freq, ' ');
  if (!end || strncmp(end + 1, "samples/second)", 15) != 0) return reject_header();
  // A frequency that is not a number leaves sps as it was.
  *end = 0;
  sscanf(freq, "%lf", &sps);
  if (read_log_line() == 0 || (logtext[0] != '\r' && logtext[0] != '\n')) return reject_header();
  return 1;
}
