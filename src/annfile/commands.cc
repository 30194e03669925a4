#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "annfile.h"
#include "annlib/annlib.h"
#include "csv.h"
#include "lines.h"
#include "tsv.h"

// Standard output is checked before success is claimed: a full disk or a
// closed pipe must not pass for a complete listing.
int finish_stdout(const char* prog) {
  if (fflush(stdout) == 0 && !ferror(stdout)) return 0;
  fprintf(stderr, "%s: can't write standard output: %s\n", prog, strerror(errno));
  return 1;
}

int dump_annotations(const char* prog, bool csv, double sps, const char* record,
                     const char* annotator) {
  neskquiet();
  annotator_info ai = {annotator, ann_read};
  if (annopen(record, &ai, 1) != 0) {
    fprintf(stderr, "%s: can't read %s\n", prog, nesk_reason());
    return 1;
  }
  if (csv) write_csv_header(stdout, sps > 0);
  nesk_ann a;
  while (getann(0, &a) == 0)
    if ((csv ? write_csv_row(stdout, &a, sps) : write_ann_line(stdout, &a)) != 0) break;
  neskquit();
  return finish_stdout(prog);
}

namespace {

// Reads annotation text, a line each, and puts each to output annotator 0.
// Returns 0, or 1 after a message that names the line.
int load_lines(const char* prog, text_input* in) {
  char line[text_line_max];
  size_t len;
  for (int r; (r = read_text_line(in, line, sizeof line, &len)) != 0;) {
    if (r == -1) {
      fprintf(stderr, "%s: can't read standard input: %s\n", prog, strerror(in->err));
      return 1;
    }
    if (r == -2) {
      fprintf(stderr, "%s: line %ld: longer than %zu bytes\n", prog, in->line, sizeof line);
      return 1;
    }
    // Text written on other systems ends its lines in CR LF; a CR in the
    // aux is always escaped, so this one is no part of the line.
    if (len > 0 && line[len - 1] == '\r') len--;
    if (len == 0 || line[0] == '#') continue;
    nesk_ann a;
    unsigned char aux[257];
    char why[200];
    if (parse_ann_line(line, len, &a, aux, why)) {
      fprintf(stderr, "%s: line %ld: %s\n", prog, in->line, why);
      return 1;
    }
    putann(0, &a);
  }
  return 0;
}

}  // namespace

int load_annotations(const char* prog, const char* codes, bool csv, const char* record,
                     const char* annotator) {
  neskquiet();
  // The annotator keeps the own codes it had, unless a table is given; the
  // text may use their mnemonics.
  static ann_codes table;
  if (codes && read_codes(prog, codes, &table) != 0) return 1;
  annotator_info ai = {annotator, ann_read};
  if (!codes && annopen(record, &ai, 1) == 0) table = *own_codes();
  set_own_codes(&table);
  ai.mode = ann_write;
  if (annopen(record, &ai, 1) != 0) {
    fprintf(stderr, "%s: can't write %s\n", prog, nesk_reason());
    return 1;
  }
  static text_input in;
  init_text_input(&in, 0);
  // A bad line or a failed read ends the run before neskquit, so the new
  // file is never completed and the old one stays as it was.
  if ((csv ? load_csv_rows(prog, &in) : load_lines(prog, &in)) != 0) return 1;
  if (neskquit() != 0) {
    fprintf(stderr, "%s: can't write %s\n", prog, nesk_reason());
    return 1;
  }
  return 0;
}
