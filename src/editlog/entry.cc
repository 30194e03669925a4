// Entry lines of the edit log:
//   [-]TIME[-ENDTIME][SEP TYPEWORD[{SUBTYPE/CHANNEL/NUMBER}][,AUX]]
// where SEP is "," after the time, and any character after an end time.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "annlib/annlib.h"
#include "annlist/annlist.h"
#include "editlog.h"

const char* progname = "annapply";
bool quiet_warnings;

namespace {

// The aux of the last entry; released when the next one is read.
unsigned char* entry_aux;

// The entry text: the line without its line end ("\n", "\r\n", or a "\r"
// at the very end of the text), cut at its end with a zero. What follows a field is read through follow(), for which
// the end of the text is a line end, whether the line had one or not.
char* text;
size_t text_len;

char follow(size_t i) { return i < text_len ? text[i] : '\n'; }

bool is_line_end(char c) { return c == '\r' || c == '\n'; }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int reject(const char* why) {
  notes.why = why;
  return -1;
}

// Reads the run of digits at *i. Returns 0, or 1 when it is empty, 2 when its
// value does not fit a signed 32-bit time.
int read_time(size_t* i, long* value) {
  size_t j = *i;
  long v = 0;
  for (; is_digit(text[j]); j++)
    if (v <= INT32_MAX) v = v * 10 + (text[j] - '0');
  if (j == *i) return 1;
  if (v > INT32_MAX) return 2;
  *i = j;
  *value = v;
  return 0;
}

// Why a line whose time is followed by c is refused: c shown as it is when
// printable, else as \xHH.
int reject_after_time(unsigned char c) {
  static char why[64];
  if (c >= 0x20 && c < 0x7f)
    snprintf(why, sizeof why, "the time is followed by '%c', not by ',' or '-'", c);
  else
    snprintf(why, sizeof why, "the time is followed by '\\x%02x', not by ',' or '-'", c);
  return reject(why);
}

// The low 8 bits of the decimal integer at the start of [p, end): optional
// white space and sign, then digits up to the first other character. Kept
// modulo 256 as it is read, so that a number of any length comes out exact.
unsigned low_bits(const char* p, const char* end) {
  while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) p++;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  unsigned v = 0;
  for (; p < end && is_digit(*p); p++) v = (v * 10 + (unsigned)(*p - '0')) & 0xff;
  return negative ? (0x100 - v) & 0xff : v;
}

// Reads "SUBTYPE/CHANNEL/NUMBER}" at *i into annot. False, with the reason
// in notes, when the text ends before one of the three terminators.
bool read_attributes(size_t* i) {
  const char* end = text + text_len;
  const char* field = text + *i;
  unsigned value[3];
  const char stops[] = "//}";
  static const char* const missing[] = {"no / follows the subtype", "no / follows the channel",
                                        "no } closes the attributes"};
  for (int k = 0; k < 3; k++) {
    const char* stop = (const char*)memchr(field, stops[k], end - field);
    if (!stop) return reject(missing[k]), false;
    value[k] = low_bits(field, stop);
    field = stop + 1;
  }
  annot.subtype = (int8_t)value[0];
  annot.channel = (uint8_t)value[1];
  annot.number = (int8_t)value[2];
  *i = field - text;
  return true;
}

// Makes annot's aux from the note (a type word that is no mnemonic) and the
// aux text, joined by ":" when there are both. Only 255 bytes are counted.
void make_aux(const char* note, size_t note_len, const char* aux, size_t aux_len, bool has_aux) {
  size_t len = (note ? note_len : 0) + (note && has_aux ? 1 : 0) + (has_aux ? aux_len : 0);
  notes.aux_len = len;
  if (len > 255 && !quiet_warnings)
    fprintf(stderr, "%s(warning): aux will be truncated at %ld", progname, (long)annot.time);
  unsigned char* buf = (unsigned char*)alloc_zeroed(len + 2, 1, "annot.aux");
  if (!buf) return;
  buf[0] = (unsigned char)(len > 255 ? 255 : len);
  size_t n = 1;
  if (note) memcpy(buf + n, note, note_len), n += note_len;
  if (note && has_aux) buf[n++] = ':';
  if (has_aux) memcpy(buf + n, aux, aux_len);
  entry_aux = annot.aux = buf;
}

// Parses the entry text into annot; returns the verdict.
int parse_entry() {
  if (text_len == 0) return reject("the line is empty");
  int verdict = 1;
  size_t i = 0;
  if (text[0] == '-') verdict = 2, i = 1;
  long time;
  if (int bad = read_time(&i, &time))
    return reject(bad == 1 ? "the time is missing" : "the time is above 2147483647");
  annot.time = (int32_t)time;

  size_t sep = i;
  if (follow(i) == '-') {
    size_t j = i + 1;
    long end_time;
    if (int bad = read_time(&j, &end_time))
      return reject(bad == 1 ? "the end time is missing" : "the end time is above 2147483647");
    if (end_time < time) return reject("the end time is before the time");
    notes.end_time = end_time;
    if (!quiet_warnings) fprintf(stderr, "%s(warning): no support for tf at %ld", progname, time);
    // After an end time any character separates the type word.
    sep = j;
  } else if (follow(i) != ',' && !is_line_end(follow(i))) {
    return reject_after_time((unsigned char)follow(i));
  }
  if (is_line_end(follow(sep))) return verdict;

  // The word's first character belongs to it whatever it is; from the second
  // on it runs to the next "," or "{" or the end of the text.
  size_t word = sep + 1, word_end = word;
  if (word < text_len) word_end = word + 1 + strcspn(text + word + 1, ",{");
  char ended_at = text[word_end];
  text[word_end] = 0;
  int code = strann(text + word);
  annot.type = (int8_t)(code ? code : 22);
  const char* note = code ? nullptr : text + word;
  size_t note_len = word_end - word;
  notes.note = note;
  notes.note_len = note_len;

  // next: the "," that opens the aux text, when there is one.
  size_t next = word_end;
  bool has_aux = ended_at == ',';
  if (ended_at == '{') {
    next++;
    if (!read_attributes(&next)) return -1;
    has_aux = follow(next) == ',';
  }
  if (note || has_aux)
    make_aux(note, note_len, text + next + 1, has_aux ? text_len - next - 1 : 0, has_aux);
  return verdict;
}

}  // namespace

int get_log_entry() {
  free(entry_aux);
  entry_aux = annot.aux = nullptr;
  size_t n = read_log_line();
  notes.why = nullptr;
  notes.end_time = -1;
  notes.aux_len = notes.dropped = 0;
  notes.note = nullptr;
  if (n == 0) return 0;
  annot.type = 1;
  annot.subtype = 0;
  annot.channel = 0;
  annot.number = 0;
  // Beyond its first 499 bytes a line is never read as entries of its own.
  bool zero = memchr(logtext, 0, n) != nullptr, zero_dropped = false;
  if (logtext[n - 1] != '\n' && n == sizeof logtext - 1) notes.dropped = skip_log_line(&zero_dropped);
  if (zero || zero_dropped) return reject("the line holds a zero byte");
  text = logtext;
  text_len = n;
  // A piece without "\n" (the last line, or the first 499 bytes of a longer
  // one) ends as if it had one, so a "\r" before its end goes as well.
  if (text[text_len - 1] == '\n') text_len--;
  if (text_len && text[text_len - 1] == '\r') text_len--;
  text[text_len] = 0;
  return parse_entry();
}

size_t format_log_entry(char* out, const nesk_ann* a, bool del) {
  char code[8];
  const char* word = annstr(a->type);
  if (!word) snprintf(code, sizeof code, "%d", a->type), word = code;
  int n = snprintf(out, entry_line_max, "%s%ld,%s", del ? "-" : "", (long)a->time, word);
  if (a->subtype || a->channel || a->number)
    n += snprintf(out + n, entry_line_max - n, "{%d/%d/%d}", a->subtype, a->channel, a->number);
  if (a->aux) {
    out[n++] = ',';
    memcpy(out + n, a->aux + 1, a->aux[0]);
    n += a->aux[0];
  }
  out[n++] = '\n';
  return (size_t)n;
}

const char* check_entry_text(const nesk_ann* a) {
  if (a->time < 0) return "its time is negative";
  if (!annstr(a->type)) return "its type has no mnemonic";
  if (!a->aux) return nullptr;
  size_t len = a->aux[0];
  const unsigned char* t = a->aux + 1;
  // An empty aux is never stored, so no entry can ask for one.
  if (len == 0) return "its aux is present but empty";
  if (memchr(t, '\n', len)) return "its aux holds a line feed";
  if (memchr(t, 0, len)) return "its aux holds a zero byte";
  // A CR right before the line end is taken as part of the line end.
  if (t[len - 1] == '\r') return "its aux ends in a carriage return";
  return nullptr;
}
