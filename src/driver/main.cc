// annapply: applies the edit log on standard input to the stored annotations
// of its record and writes the result as a new annotator.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "annlib/annlib.h"
#include "annlist/annlist.h"
#include "editlog/editlog.h"

namespace {

char* oaname;

[[noreturn]] void finish(int status) {
  free(oaname);
  release_header();
  exit(status);
}

[[noreturn]] void fail_output(const char* name) {
  fprintf(stderr, "%s: can't write output annotation file '%s.%s\n", progname, record, name);
  free(oaname);
  oaname = nullptr;
  release_header();
  neskquit();
  exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  progname = argc > 0 && argv[0] ? argv[0] : "annapply";
  // No file of this run may take the number of a closed standard stream:
  // the warnings would go into it, or the log be read from it.
  if (open_std_streams() != 0) exit(1);
  // At a terminal, a silent wait for input would look like a hang.
  if (isatty(0))
    fprintf(stderr, "%s: reading the edit log from standard input; end it with Ctrl-D\n", progname);
  if (!parse_log_header()) {
    if (int e = log_read_error())
      fprintf(stderr, "%s: can't read the edit log: %s\n", progname, strerror(e));
    else
      fprintf(stderr, "%s: can't parse input file (format error)\n", progname);
    exit(1);
  }
  if (!init_annlist()) finish(1);
  neskquiet();
  size_t len = strlen(annotator) + 2;
  if (!(oaname = (char*)alloc_zeroed(len, 1, "oaname"))) finish(1);
  snprintf(oaname, len, "%s_", annotator);

  // When the input annotator does not exist, the result goes to its own
  // name: the run then creates that annotator from the log alone, and never
  // in the place of a file. An input that exists but cannot be read or is
  // damaged is never taken for a missing one: nothing is written then.
  annotator_info ai = {annotator, ann_read};
  if (annopen(record, &ai, 1) == 0) {
    load_annlist();
    ai = {oaname, ann_write};
  } else if (nesk_missing()) {
    ai.mode = ann_create;
  } else {
    fail_output(annotator);
  }
  if (annopen(record, &ai, 1) != 0) fail_output(ai.name);

  // Nothing reads what an edit did, so the edits may wait and be applied in
  // order of place, which is kinder to memory.
  for (int verdict; (verdict = get_log_entry()) != 0;)
    if (verdict == 1 || verdict == 2) queue_ann(verdict);
  // A log cut short by a read error must not pass for the whole log.
  if (int e = log_read_error()) {
    fprintf(stderr, "%s: can't read the edit log: %s\n", progname, strerror(e));
    finish(1);
  }

  write_annlist();
  // A write that failed anywhere shows here, and then the old file stays.
  if (neskquit() != 0) fail_output(ai.name);
  finish(0);
}
