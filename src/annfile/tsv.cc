#include "tsv.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

const char* unescape_aux(const char* text, size_t len, bool raw_controls, unsigned char* auxbuf) {
  size_t n = 0;
  for (size_t i = 0; i < len; i++) {
    unsigned char c = (unsigned char)text[i];
    if (!raw_controls && (c < 0x20 || c == 0x7f))
      return "a control character in the aux must be escaped";
    if (c == '\\') {
      if (++i == len) return "the aux ends in a lone backslash";
      switch (text[i]) {
        case '\\': c = '\\'; break;
        case 't': c = '\t'; break;
        case 'n': c = '\n'; break;
        case 'r': c = '\r'; break;
        case 'x': {
          int hi = i + 1 < len ? hex_digit(text[i + 1]) : -1;
          int lo = i + 2 < len ? hex_digit(text[i + 2]) : -1;
          if (hi < 0 || lo < 0) return "\\x in the aux needs two hex digits";
          c = (unsigned char)(hi * 16 + lo);
          i += 2;
          break;
        }
        default:
          return "unknown escape in the aux (known: \\\\ \\t \\n \\r \\xHH)";
      }
    }
    if (n == 255) return "the aux is longer than 255 bytes";
    auxbuf[1 + n++] = c;
  }
  auxbuf[0] = (unsigned char)n;
  auxbuf[1 + n] = 0;
  return nullptr;
}

bool parse_int(const char* text, size_t len, long lo, long hi, long* v) {
  size_t i = 0;
  bool negative = false;
  if (len > 0 && (text[0] == '-' || text[0] == '+')) negative = text[i++] == '-';
  if (i == len) return false;
  long long value = 0;
  for (; i < len; i++) {
    if (text[i] < '0' || text[i] > '9') return false;
    // Past any 32-bit value it stays there: the range check refuses it.
    if (value <= 1ll << 40) value = value * 10 + (text[i] - '0');
  }
  if (negative) value = -value;
  if (value < lo || value > hi) return false;
  *v = (long)value;
  return true;
}

int code_of(const char* text, size_t len) {
  char word[256];
  if (len >= sizeof word || memchr(text, 0, len)) return 0;
  memcpy(word, text, len);
  word[len] = 0;
  return strann(word);
}

// Control bytes, TAB and LF among them, are escaped, so a line is always one
// line of exactly the fields it has; bytes from 0x80 up pass as they are.
void write_escaped(FILE* f, const unsigned char* p, size_t n) {
  for (size_t i = 0; i < n; i++) {
    unsigned char c = p[i];
    if (c == '\\')
      fputs("\\\\", f);
    else if (c == '\t')
      fputs("\\t", f);
    else if (c == '\n')
      fputs("\\n", f);
    else if (c == '\r')
      fputs("\\r", f);
    else if (c < 0x20 || c == 0x7f)
      fprintf(f, "\\x%02x", c);
    else
      putc(c, f);
  }
}

void describe_ann(FILE* f, const nesk_ann* a) {
  fprintf(f, "time %ld, type %d, subtype %d, channel %d, number %d", (long)a->time, a->type,
          a->subtype, a->channel, a->number);
  if (!a->aux) return;
  fputs(", aux \"", f);
  write_escaped(f, a->aux + 1, a->aux[0]);
  putc('"', f);
}

int write_ann_line(FILE* f, const nesk_ann* a) {
  fprintf(f, "%ld\t%d\t%d\t%d\t%d", (long)a->time, a->type, a->subtype, a->channel, a->number);
  if (a->aux) {
    putc('\t', f);
    write_escaped(f, a->aux + 1, a->aux[0]);
  }
  putc('\n', f);
  return ferror(f) ? -1 : 0;
}

const char* parse_ann_line(const char* line, size_t len, nesk_ann* a, unsigned char* auxbuf,
                           char* why) {
  static const char* const names[] = {"time", "type", "subtype", "channel", "number"};
  static const long lo[] = {INT32_MIN, -128, -128, 0, -128};
  static const long hi[] = {INT32_MAX, 127, 127, 255, 127};
  const char* field[6];
  size_t flen[6];
  int n = 0;
  for (const char* p = line;;) {
    const char* tab = (const char*)memchr(p, '\t', line + len - p);
    if (n == 6) return snprintf(why, 200, "more than 6 fields"), why;
    field[n] = p;
    flen[n++] = (tab ? tab : line + len) - p;
    if (!tab) break;
    p = tab + 1;
  }
  if (n < 5) return snprintf(why, 200, "%d fields where 5 or 6 are needed", n), why;
  long v[5];
  for (int i = 0; i < 5; i++) {
    if (parse_int(field[i], flen[i], lo[i], hi[i], &v[i])) continue;
    if (i == 1 && (v[1] = code_of(field[1], flen[1])) != 0) continue;
    int shown = flen[i] < 40 ? (int)flen[i] : 40;
    snprintf(why, 200, "bad %s '%.*s' (a whole number from %ld to %ld%s)", names[i], shown,
             field[i], lo[i], hi[i], i == 1 ? ", or a mnemonic" : "");
    return why;
  }
  a->time = (int32_t)v[0];
  a->type = (int8_t)v[1];
  a->subtype = (int8_t)v[2];
  a->channel = (uint8_t)v[3];
  a->number = (int8_t)v[4];
  a->aux = nullptr;
  if (n == 6) {
    if (const char* bad = unescape_aux(field[5], flen[5], false, auxbuf))
      return snprintf(why, 200, "%s", bad), why;
    a->aux = auxbuf;
  }
  return nullptr;
}
