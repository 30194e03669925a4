// The mnemonic table: the built-in codes and the run's own, and the rules
// every mnemonic keeps.
#include <cstdio>
#include <cstring>

#include "annlib.h"

namespace {

// A mnemonic is never empty, never all digits and holds no white space, ","
// or "{", so that an edit log's type word can always be told from a number
// and from the fields around it.
const ann_code codes[] = {
    {1, "N", "normal event"},
    {2, "ART", "artifact"},
    {3, "NOISE", "noise on the signal"},
    {4, "ON", "onset of an episode"},
    {5, "OFF", "end of an episode"},
    {6, "PEAK", "local peak of the signal"},
    {7, "TROUGH", "local trough of the signal"},
    {8, "MARK", "marker set by a reviewer"},
    {9, "CAL", "calibration pulse"},
    {10, "EXT", "external event"},
    {11, "GAP", "gap in the signal"},
    {12, "START", "start of a recorded segment"},
    {13, "STOP", "end of a recorded segment"},
    {22, "NOTE", "free-text note (the text is in the aux)"},
};

ann_codes own;

// Every mnemonic of the run by its code, and by a hash of its word: open
// addressing, at most 141 words in 512 slots, so a probe is nearly always
// one step, and a word that is none (a note) usually meets an empty slot.
const char* by_code[256];
struct slot {
  const char* word;
  int code;
};
constexpr unsigned slots = 512;
slot by_word[slots];
bool ready;

unsigned hash_word(const char* w, size_t len) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < len; i++) h = (h ^ (unsigned char)w[i]) * 16777619u;
  return h;
}

void add_word(const char* word, int code) {
  by_code[(unsigned char)code] = word;
  unsigned i = hash_word(word, strlen(word)) % slots;
  while (by_word[i].word) i = (i + 1) % slots;
  by_word[i] = {word, code};
}

void build_lookup() {
  memset(by_code, 0, sizeof by_code);
  memset(by_word, 0, sizeof by_word);
  for (const ann_code& c : codes) add_word(c.mnemonic, c.code);
  for (int i = 0; i < own.count; i++) add_word(own.rows[i].mnemonic, own.rows[i].code);
  ready = true;
}

const ann_code* builtin_by_code(int code) {
  for (const ann_code& c : codes)
    if (c.code == code) return &c;
  return nullptr;
}

const ann_code* builtin_by_word(const char* word) {
  for (const ann_code& c : codes)
    if (strcmp(c.mnemonic, word) == 0) return &c;
  return nullptr;
}

// Whether text reads as a whole number: an optional sign, then digits.
bool is_number(const char* text) {
  if (*text == '+' || *text == '-') text++;
  return *text && strspn(text, "0123456789") == strlen(text);
}

const char* check_mnemonic(const char* m) {
  size_t len = strlen(m);
  if (len == 0) return "a mnemonic is never empty";
  if (len > own_mnemonic_max) return "a mnemonic is at most 16 bytes long";
  for (const char* p = m; *p; p++) {
    unsigned char c = (unsigned char)*p;
    if (c <= ' ' || c >= 0x7f || c == ',' || c == '{')
      return "a mnemonic is printable ASCII without white space, \",\" or \"{\"";
  }
  if (is_number(m)) return "a mnemonic is never a whole number";
  return nullptr;
}

const char* check_description(const char* d) {
  if (strlen(d) > 255) return "a description is at most 255 bytes long";
  for (const char* p = d; *p; p++)
    if ((unsigned char)*p < ' ' || *p == 0x7f) return "a description holds no control byte";
  return nullptr;
}

}  // namespace

std::span<const ann_code> list_ann_codes() { return codes; }

int strann(const char* word) {
  if (!ready) build_lookup();
  // A word longer than any mnemonic is a note; its length is not even taken.
  size_t len = strnlen(word, own_mnemonic_max + 1);
  if (len > own_mnemonic_max) return 0;
  for (unsigned i = hash_word(word, len) % slots; by_word[i].word; i = (i + 1) % slots)
    if (strcmp(by_word[i].word, word) == 0) return by_word[i].code;
  return 0;
}

const char* annstr(int code) {
  if (!ready) build_lookup();
  return code >= -128 && code <= 255 ? by_code[(unsigned char)code] : nullptr;
}

const ann_codes* own_codes() { return &own; }

void set_own_codes(const ann_codes* t) {
  if (t != &own) own = *t;
  ready = false;
}

const char* add_own_code(ann_codes* t, int code, const char* mnemonic, const char* description) {
  static char why[128];
  if (code < 1 || code > own_codes_max) {
    snprintf(why, sizeof why, "code %d is outside 1 to %d", code, own_codes_max);
    return why;
  }
  if (const ann_code* b = builtin_by_code(code)) {
    snprintf(why, sizeof why, "code %d is built in, as %s", code, b->mnemonic);
    return why;
  }
  if (const char* bad = check_mnemonic(mnemonic)) return bad;
  if (const char* bad = check_description(description)) return bad;
  if (const ann_code* b = builtin_by_word(mnemonic)) {
    snprintf(why, sizeof why, "mnemonic %s is built in, for code %d", mnemonic, b->code);
    return why;
  }
  int at = 0;
  for (int i = 0; i < t->count; i++) {
    if (t->rows[i].code == code) {
      snprintf(why, sizeof why, "code %d is given twice", code);
      return why;
    }
    if (strcmp(t->rows[i].mnemonic, mnemonic) == 0) {
      snprintf(why, sizeof why, "mnemonic %s is given twice", mnemonic);
      return why;
    }
    if (t->rows[i].code < code) at = i + 1;
  }
  memmove(&t->rows[at + 1], &t->rows[at], (size_t)(t->count - at) * sizeof t->rows[0]);
  own_code* r = &t->rows[at];
  r->code = (int8_t)code;
  snprintf(r->mnemonic, sizeof r->mnemonic, "%s", mnemonic);
  snprintf(r->description, sizeof r->description, "%s", description);
  t->count++;
  if (t == &own) ready = false;
  return nullptr;
}
