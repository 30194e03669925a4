#include "csv.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

#include "tsv.h"

namespace {

const char* const column_names[csv_column_count] = {"time",    "seconds", "type",   "mnemonic",
                                                    "subtype", "channel", "number", "aux"};

// A row holds at most this many fields; more is refused before any is read.
constexpr int csv_fields_max = 32;

struct csv_field {
  char* text;
  size_t len;
  bool quoted;
};

// The length of the valid UTF-8 sequence at p (n bytes left), 0 when none
// starts there. Valid as strict decoders take it: no overlong form, no
// surrogate, nothing above U+10FFFF.
size_t utf8_sequence(const unsigned char* p, size_t n) {
  unsigned char c = p[0], lo = 0x80, hi = 0xbf;
  size_t len;
  if (c < 0x80) return 1;
  if (c >= 0xc2 && c <= 0xdf) {
    len = 2;
  } else if (c >= 0xe0 && c <= 0xef) {
    len = 3;
    if (c == 0xe0) lo = 0xa0;
    if (c == 0xed) hi = 0x9f;
  } else if (c >= 0xf0 && c <= 0xf4) {
    len = 4;
    if (c == 0xf0) lo = 0x90;
    if (c == 0xf4) hi = 0x8f;
  } else {
    return 0;
  }
  if (n < len || p[1] < lo || p[1] > hi) return 0;
  for (size_t i = 2; i < len; i++)
    if (p[i] < 0x80 || p[i] > 0xbf) return 0;
  return len;
}

char* escape_byte(unsigned char c, char* o) {
  static const char hex[] = "0123456789abcdef";
  *o++ = '\\';
  if (c == '\\' || c == '\t' || c == '\n' || c == '\r') {
    *o++ = c == '\\' ? '\\' : c == '\t' ? 't' : c == '\n' ? 'n' : 'r';
    return o;
  }
  *o++ = 'x';
  *o++ = hex[c >> 4];
  *o++ = hex[c & 15];
  return o;
}

// A field quoted when it must be: when it holds a comma or a quote, or when
// it is an empty text that must not read back as a missing one.
void write_field(FILE* f, const char* s, size_t n, bool empty_is_text) {
  putc(',', f);
  if (!memchr(s, ',', n) && !memchr(s, '"', n) && (n > 0 || !empty_is_text)) {
    fwrite(s, 1, n, f);
    return;
  }
  putc('"', f);
  for (size_t i = 0; i < n; i++) {
    if (s[i] == '"') putc('"', f);
    putc(s[i], f);
  }
  putc('"', f);
}

// Cuts a row into fields, unquoting quoted ones in place. Returns null, or
// why the row is refused.
const char* split_row(char* row, size_t len, csv_field* fields, int* n) {
  *n = 0;
  for (size_t i = 0;; i++) {
    if (*n == csv_fields_max) return "more than 32 fields";
    csv_field& f = fields[(*n)++];
    f = {row + i, 0, false};
    if (i < len && row[i] == '"') {
      f.quoted = true;
      char* out = f.text = row + ++i;
      for (;; i++) {
        if (i == len) return "a quoted field is never closed";
        if (row[i] == '"' && (i + 1 == len || row[i + 1] != '"')) break;
        if (row[i] == '"') i++;
        *out++ = row[i];
      }
      f.len = (size_t)(out - f.text);
      if (++i < len && row[i] != ',') return "a quoted field goes on after its closing quote";
    } else {
      for (; i < len && row[i] != ','; i++) {
        if (row[i] == '"') return "a quote inside a field that does not begin with one";
        if (row[i] == '\r' || row[i] == '\n') return "a line end inside a field that is not quoted";
      }
      f.len = (size_t)(row + i - f.text);
    }
    if (i == len) return nullptr;
  }
}

// A field as shown in a message: at most 40 bytes of it.
int shown(const csv_field* f) {
  return f->len < 40 ? (int)f->len : 40;
}

}  // namespace

size_t escape_csv_text(const unsigned char* p, size_t n, char* out) {
  char* o = out;
  for (size_t i = 0; i < n;) {
    size_t len = utf8_sequence(p + i, n - i);
    unsigned char c = p[i];
    // The C1 controls, U+0080 to U+009F, are C2 80 to C2 9F.
    bool control = c < 0x20 || c == 0x7f || (c == 0xc2 && len == 2 && p[i + 1] < 0xa0);
    if (len == 0 || control || c == '\\') {
      for (size_t k = 0; k < (len ? len : 1); k++) o = escape_byte(p[i + k], o);
      i += len ? len : 1;
    } else {
      memcpy(o, p + i, len);
      o += len;
      i += len;
    }
  }
  return (size_t)(o - out);
}

void write_csv_header(FILE* f, bool with_seconds) {
  fputs("time", f);
  for (int c = col_seconds; c < csv_column_count; c++)
    if (c != col_seconds || with_seconds) fprintf(f, ",%s", column_names[c]);
  putc('\n', f);
}

int write_csv_row(FILE* f, const nesk_ann* a, double sps) {
  fprintf(f, "%ld", (long)a->time);
  if (sps > 0) {
    // The shortest text that reads back as the same double.
    char seconds[64];
    auto r = std::to_chars(seconds, seconds + sizeof seconds, a->time / sps);
    fprintf(f, ",%.*s", (int)(r.ptr - seconds), seconds);
  }
  fprintf(f, ",%d", a->type);
  const char* m = annstr(a->type);
  write_field(f, m ? m : "", m ? strlen(m) : 0, false);
  fprintf(f, ",%d,%d,%d", a->subtype, a->channel, a->number);
  if (a->aux) {
    char text[4 * 255];
    write_field(f, text, escape_csv_text(a->aux + 1, a->aux[0], text), true);
  } else {
    putc(',', f);
  }
  putc('\n', f);
  return ferror(f) ? -1 : 0;
}

int read_csv_row(text_input* in, char* out, size_t cap, size_t* len, long* first) {
  size_t n = 0;
  bool quoted = false;
  *first = in->line + 1;
  for (;;) {
    size_t got;
    int r = read_text_line(in, out + n, cap - n, &got);
    if (r < 0) return r;
    // An input that ends inside a quote gives what it holds; the quote is
    // refused when the row is parsed.
    if (r == 0 && n == 0) return 0;
    if (r == 0) break;
    for (size_t i = n; i < n + got; i++)
      if (out[i] == '"') quoted = !quoted;
    n += got;
    if (!quoted) break;
    if (n == cap) return -2;
    out[n++] = '\n';
  }
  if (!quoted && n > 0 && out[n - 1] == '\r') n--;
  *len = n;
  return 1;
}

const char* parse_csv_header(char* row, size_t len, csv_columns* c, char* why) {
  // A byte order mark, which some spreadsheets write, is no part of a name.
  if (len >= 3 && memcmp(row, "\xef\xbb\xbf", 3) == 0) row += 3, len -= 3;
  if (len == 0) return "the header row is empty";
  csv_field f[csv_fields_max];
  if (const char* bad = split_row(row, len, f, &c->count))
    return snprintf(why, 200, "%s", bad), why;
  for (int& at : c->at) at = -1;
  for (int i = 0; i < c->count; i++) {
    int k = 0;
    while (k < csv_column_count &&
           (strlen(column_names[k]) != f[i].len || memcmp(column_names[k], f[i].text, f[i].len)))
      k++;
    if (k == csv_column_count)
      return snprintf(why, 200,
                      "unknown column '%.*s' (the columns are time, seconds, type, mnemonic, "
                      "subtype, channel, number and aux)",
                      shown(&f[i]), f[i].text),
             why;
    if (c->at[k] >= 0)
      return snprintf(why, 200, "column '%s' is given twice", column_names[k]), why;
    c->at[k] = i;
  }
  if (c->at[col_time] < 0) return "no column 'time'";
  if (c->at[col_type] < 0 && c->at[col_mnemonic] < 0) return "no column 'type' or 'mnemonic'";
  return nullptr;
}

const char* parse_csv_row(char* row, size_t len, const csv_columns* c, nesk_ann* a,
                          unsigned char* auxbuf, char* why) {
  static const long lo[] = {INT32_MIN, 0, -128, 0, -128, 0, -128};
  static const long hi[] = {INT32_MAX, 0, 127, 0, 127, 255, 127};
  csv_field f[csv_fields_max];
  int n;
  if (const char* bad = split_row(row, len, f, &n)) return snprintf(why, 200, "%s", bad), why;
  if (n != c->count)
    return snprintf(why, 200, "%d fields where the header has %d", n, c->count), why;
  // A column the header lacks and an empty field alike stand for 0, but for
  // the time and the aux.
  long v[csv_column_count] = {};
  const csv_field* field[csv_column_count];
  for (int k = 0; k < csv_column_count; k++) field[k] = c->at[k] >= 0 ? &f[c->at[k]] : nullptr;
  for (int k : {col_time, col_type, col_subtype, col_channel, col_number}) {
    const csv_field* x = field[k];
    if (!x || (x->len == 0 && k != col_time)) continue;
    if (parse_int(x->text, x->len, lo[k], hi[k], &v[k])) continue;
    if (k == col_type && (v[k] = code_of(x->text, x->len)) != 0) continue;
    return snprintf(why, 200, "bad %s '%.*s' (a whole number from %ld to %ld%s)", column_names[k],
                    shown(x), x->text, lo[k], hi[k], k == col_type ? ", or a mnemonic" : ""),
           why;
  }
  const csv_field* type = field[col_type];
  const csv_field* m = field[col_mnemonic];
  bool typed = type && type->len > 0;
  if (m && m->len > 0) {
    int code = code_of(m->text, m->len);
    if (code == 0) return snprintf(why, 200, "unknown mnemonic '%.*s'", shown(m), m->text), why;
    // An edit of either column must not be lost to the other.
    if (typed && code != v[col_type])
      return snprintf(why, 200, "type %ld and mnemonic '%.*s' disagree (%.*s is type %d)",
                      v[col_type], shown(m), m->text, shown(m), m->text, code),
             why;
    v[col_type] = code;
  } else if (!typed) {
    return "no type: the type and the mnemonic are both empty";
  }
  a->time = (int32_t)v[col_time];
  a->type = (int8_t)v[col_type];
  a->subtype = (int8_t)v[col_subtype];
  a->channel = (uint8_t)v[col_channel];
  a->number = (int8_t)v[col_number];
  a->aux = nullptr;
  // An empty field is no aux; a quoted empty one is an empty aux.
  const csv_field* x = field[col_aux];
  if (x && (x->len > 0 || x->quoted)) {
    if (const char* bad = unescape_aux(x->text, x->len, true, auxbuf))
      return snprintf(why, 200, "%s", bad), why;
    a->aux = auxbuf;
  }
  return nullptr;
}

int load_csv_rows(const char* prog, text_input* in) {
  static char row[text_line_max];
  csv_columns columns;
  char why[200];
  bool header = true;
  for (;;) {
    size_t len;
    long line;
    int r = read_csv_row(in, row, sizeof row, &len, &line);
    if (r == -1) {
      fprintf(stderr, "%s: can't read standard input: %s\n", prog, strerror(in->err));
      return 1;
    }
    if (r == -2) {
      fprintf(stderr, "%s: line %ld: a row longer than %zu bytes\n", prog, line, sizeof row);
      return 1;
    }
    if (r == 0 && header) {
      fprintf(stderr, "%s: the text is empty, without even a header row\n", prog);
      return 1;
    }
    if (r == 0) return 0;
    // Blank lines are no rows, as most CSV readers take them.
    if (len == 0 && !header) continue;
    nesk_ann a;
    unsigned char aux[257];
    const char* bad = header ? parse_csv_header(row, len, &columns, why)
                             : parse_csv_row(row, len, &columns, &a, aux, why);
    if (bad) {
      fprintf(stderr, "%s: line %ld: %s\n", prog, line, bad);
      return 1;
    }
    if (!header) putann(0, &a);
    header = false;
  }
}
