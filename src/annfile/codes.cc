// annfile codes, and the tables of own codes that load --codes and
// codes --set read: code TAB mnemonic TAB description, a row a line.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "annfile.h"
#include "annlib/annlib.h"
#include "lines.h"
#include "tsv.h"

namespace {

const ann_code* builtin(int code) {
  for (const ann_code& c : list_ann_codes())
    if (c.code == code) return &c;
  return nullptr;
}

// Checks one row of a table file, fields cut at TABs, and adds it to *t.
// Returns null or why the row is refused.
const char* add_row(ann_codes* t, char* line, size_t len) {
  static char why[200];
  if (memchr(line, 0, len)) return "the line holds a zero byte";
  line[len] = 0;
  char* field[5];
  int n = 0;
  for (char* p = line; n < 5;) {
    field[n++] = p;
    p = strchr(p, '\t');
    if (!p) break;
    *p++ = 0;
  }
  if (n < 3 || n > 4) {
    snprintf(why, sizeof why, "%d fields where 3 are needed (code, mnemonic, description)", n);
    return why;
  }
  if (n == 4 && strcmp(field[3], "own") != 0) return "a fourth field, when given, is \"own\"";
  char* end;
  errno = 0;
  long code = strtol(field[0], &end, 10);
  if (!field[0][0] || *end || errno || field[0][0] == ' ') {
    snprintf(why, sizeof why, "bad code '%.40s' (a whole number from 1 to 127)", field[0]);
    return why;
  }
  // A built-in row given again, as annfile codes prints it, changes nothing.
  if (const ann_code* b = builtin((int)code)) {
    if (n == 3 && strcmp(b->mnemonic, field[1]) == 0 && strcmp(b->description, field[2]) == 0)
      return nullptr;
    snprintf(why, sizeof why, "code %ld is built in, as %s (%s)", code, b->mnemonic,
             b->description);
    return why;
  }
  return add_own_code(t, code >= INT32_MIN && code <= INT32_MAX ? (int)code : 0, field[1],
                      field[2]);
}

// The whole table of an annotator: built-in rows and its own, by code.
void print_table(const ann_codes* own) {
  int k = 0;
  for (const ann_code& c : list_ann_codes()) {
    for (; k < own->count && own->rows[k].code < c.code; k++)
      printf("%d\t%s\t%s\town\n", own->rows[k].code, own->rows[k].mnemonic,
             own->rows[k].description);
    printf("%d\t%s\t%s\n", c.code, c.mnemonic, c.description);
  }
  for (; k < own->count; k++)
    printf("%d\t%s\t%s\town\n", own->rows[k].code, own->rows[k].mnemonic,
           own->rows[k].description);
}

// One piece of an annotator in file order: a stretch, or one annotation
// whose aux lies in `auxes`.
struct piece {
  bool is_stretch;
  ann_stretch s;
  nesk_ann a;
  size_t aux_at;
};

// Whether code is in t.
bool has_code(const ann_codes* t, int code) {
  for (int i = 0; i < t->count; i++)
    if (t->rows[i].code == code) return true;
  return false;
}

}  // namespace

int read_codes(const char* prog, const char* path, ann_codes* t) {
  *t = ann_codes{};
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    fprintf(stderr, "%s: can't read %s: %s\n", prog, path, strerror(errno));
    return 1;
  }
  static text_input in;
  init_text_input(&in, fd);
  char line[text_line_max + 1];
  size_t len;
  int status = 0;
  for (int r; status == 0 && (r = read_text_line(&in, line, text_line_max, &len)) != 0;) {
    if (r == -1) {
      fprintf(stderr, "%s: can't read %s: %s\n", prog, path, strerror(in.err));
      status = 1;
    } else if (r == -2) {
      fprintf(stderr, "%s: %s:%ld: longer than %zu bytes\n", prog, path, in.line, text_line_max);
      status = 1;
    } else {
      // Tables written on other systems end their lines in CR LF.
      if (len > 0 && line[len - 1] == '\r') len--;
      if (len == 0 || line[0] == '#') continue;
      if (const char* why = add_row(t, line, len)) {
        fprintf(stderr, "%s: %s:%ld: %s\n", prog, path, in.line, why);
        status = 1;
      }
    }
  }
  close(fd);
  return status;
}

int print_codes(const char* prog, const char* record, const char* annotator) {
  static const ann_codes none = {};
  const ann_codes* own = &none;
  if (record) {
    neskquiet();
    annotator_info ai = {annotator, ann_read};
    if (annopen(record, &ai, 1) != 0) {
      fprintf(stderr, "%s: can't read %s\n", prog, nesk_reason());
      return 1;
    }
    own = own_codes();
  }
  print_table(own);
  neskquit();
  return finish_stdout(prog);
}

int set_codes(const char* prog, const char* file, const char* record, const char* annotator) {
  static ann_codes table;
  if (read_codes(prog, file, &table) != 0) return 1;
  neskquiet();
  annotator_info ai = {annotator, ann_read};
  if (annopen(record, &ai, 1) != 0) {
    fprintf(stderr, "%s: can't read %s\n", prog, nesk_reason());
    return 1;
  }
  // The annotations pass as they lie, stretches whole; each is checked for
  // a code the new table drops.
  static ann_codes old;
  old = *own_codes();
  std::vector<piece> pieces;
  std::string auxes;
  nesk_ann a;
  ann_stretch s;
  const nesk_ann* dropped = nullptr;
  unsigned char aux[257];
  for (int r; !dropped && (r = getstretch(0, &a, &s)) >= 0;) {
    piece p = {r == 1, s, a, auxes.size()};
    if (r == 0 && a.aux) auxes.append((const char*)a.aux, a.aux[0] + 1u);
    pieces.push_back(p);
    ann_stretch rest = s;
    for (bool more = true; more && !dropped;) {
      if (r == 1) take_stretch_head(&rest, &a);
      more = r == 1 && rest.count > 0;
      if (has_code(&old, a.type) && !has_code(&table, a.type)) {
        if (a.aux) memcpy(aux, a.aux, a.aux[0] + 1u);
        if (a.aux) a.aux = aux;
        dropped = &a;
      }
    }
  }
  if (dropped) {
    fprintf(stderr, "%s: %s: the table drops code %d (%s), which %s.%s still uses: ", prog, file,
            dropped->type, annstr(dropped->type), record, annotator);
    describe_ann(stderr, dropped);
    fputc('\n', stderr);
    neskquit();
    return 1;
  }
  set_own_codes(&table);
  ai.mode = ann_write;
  if (annopen(record, &ai, 1) != 0) {
    fprintf(stderr, "%s: can't write %s\n", prog, nesk_reason());
    return 1;
  }
  for (piece& p : pieces) {
    if (p.is_stretch) {
      putstretch(0, &p.s);
      continue;
    }
    if (p.a.aux) p.a.aux = (unsigned char*)auxes.data() + p.aux_at;
    putann(0, &p.a);
  }
  if (neskquit() != 0) {
    fprintf(stderr, "%s: can't write %s\n", prog, nesk_reason());
    return 1;
  }
  return 0;
}
