// The annotation library: annotation files of a record, the type mnemonic
// table, the error reporter and the one allocation helper of the system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// One annotation as the library reads and writes it.
struct nesk_ann {
  int32_t time;
  int8_t type;
  int8_t subtype;
  uint8_t channel;
  int8_t number;
  // A length byte, that many bytes of any value, then a zero; or null when absent.
  unsigned char* aux;
};

// One annotator to open: its name and its mode (ann_read, ann_write or
// ann_create).
struct annotator_info {
  const char* name;
  int mode;
};

// ann_create writes a new annotator: one that never takes the place of a
// file, whatever the file is.
enum { ann_read = 0, ann_write = 1, ann_create = 2 };

// Opens annotator info[0] of `record`, the file "RECORD.NAME" below the
// working directory; count must be 1. Whatever was open before is closed
// first. A read open validates the whole file. A write open checks what
// stands at "RECORD.NAME" (a valid annotation file, or nothing; for
// ann_create, nothing) and starts a new file that takes its place only when
// neskquit completes it, and only if the place still holds what the open
// found there. Returns 0 on success, non-zero on failure (with a diagnostic
// unless quiet).
int annopen(const char* record, const annotator_info* info, unsigned count);

// Takes the names that annopen and check_annopen are given from now on as
// the user's own, typed on the command line: an absolute record name, or one
// with "..", then opens what the user named. A program that opens names from
// an edit log's header never calls this, so that those stay below the working
// directory. "/" in an annotator name, and "." or ".." as a file's own name,
// are refused either way.
void accept_user_names();

// Non-zero when the last failed annopen was a read open that found no file
// at its name (and nothing else went wrong): the one failure that means the
// annotator does not exist.
int nesk_missing();

// Whether annopen would open info[0] of `record` for writing, found without
// creating or changing anything: the names, a file in the way, and the write
// permission of its folder. Returns 0, or -1 (the reason in nesk_reason).
int check_annopen(const char* record, const annotator_info* info);

// Makes sure descriptors 0, 1 and 2 are open, so that no file a program
// opens takes their numbers: a closed one is opened on /dev/null the other
// way round (0 for writing, 1 and 2 for reading), so that reads and writes
// through it still fail as they would have. Call first thing in main.
// Returns 0, or -1 when /dev/null could not be opened.
int open_std_streams();

// Fills *a with the next annotation of input annotator `an` (only 0 exists).
// Returns 0, or -1 at the end (or when nothing is open for reading). The aux
// points into the library's memory and stays valid until the next call.
int getann(unsigned an, nesk_ann* a);

struct ann_image;

// A stretch of the input: records that come out exactly as they lie in its
// file. They are in strictly ascending order of time, channel and number,
// each above every record before it in the file, and each but the first
// coded as putann codes it after the one before. The library keeps their
// bytes until neskquit.
struct ann_stretch {
  const ann_image* image;
  uint64_t first, count;  // its records, numbered in file order
  size_t begin, end;      // their bytes
  int32_t before_time;    // the time and type of the record before its first
  int8_t before_type;
  nesk_ann head, tail;    // its first and last annotation, their aux left null
};

// Reads the next piece of input annotator `an` (only 0 exists): a stretch
// into *s when one starts here (returns 1), else one annotation into *a, as
// getann does (returns 0). Returns -1 at the end.
int getstretch(unsigned an, nesk_ann* a, ann_stretch* s);

// Cuts *s before its first annotation that is not below *at (time, channel
// and number count); *s keeps what is below and *right gets the rest. *at
// must lie above s's head and not above its tail, so that neither is empty.
void split_stretch(ann_stretch* s, const nesk_ann* at, ann_stretch* right);

// Takes the first annotation out of *s into *a (its aux lives until the
// next call); *s may be left with a count of 0.
void take_stretch_head(ann_stretch* s, nesk_ann* a);

// How many annotations stretches a and b hold alike from their heads on,
// counting only those at places below `limit`: the heads compared as
// annotations, the records after them as bytes, a block at a time.
uint64_t count_shared(const ann_stretch* a, const ann_stretch* b, int64_t limit);

// Drops the first k annotations of *s; *s may be left with a count of 0.
void drop_stretch_head(ann_stretch* s, uint64_t k);

// Appends a stretch's annotations to output annotator `an`: bytes for bytes,
// but the first, which is coded anew after the annotation before it. Returns
// as putann does.
int putstretch(unsigned an, const ann_stretch* s);

// Appends *a to output annotator `an` (only 0 exists), with the aux bytes its
// length byte counts. Returns 0, or -1 when nothing is open for writing or an
// earlier write failed; a failure also makes neskquit fail.
int putann(unsigned an, const nesk_ann* a);

// Closes every annotation file. An output is flushed to disk and renamed over
// its target. Returns 0 when every output was completed, -1 when one failed;
// a failed output leaves the target as it was and its temporary file removed.
// An exit or an ordinary signal before then removes the temporary file too.
int neskquit();

// From now on the library prints no diagnostics of its own; failures show
// only in results and in nesk_reason.
void neskquiet();

// Why the last failed call failed: "FILE: reason", or "" before any failure.
const char* nesk_reason();

// Prints a printf-style message (with "%ld" and "%s" conversions) to standard
// error, quiet or not.
void nesk_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Non-zero: an allocation failure ends the program.
int nesk_me_fatal();

// Returns `count` zero-filled elements of `size` bytes, released with free().
// On failure reports "NESK: can't allocate (COUNT*SIZE) bytes for WHAT" and,
// as nesk_me_fatal says, exits with status 1; returns null otherwise.
void* alloc_zeroed(size_t count, size_t size, const char* what);

// An annotation's place in the order the library reads and writes them:
// time, then channel, then number (signed), packed so that one signed
// comparison orders two places. The list's sort key is this number.
inline int64_t place_of(int32_t time, uint8_t channel, int8_t number) {
  return ((int64_t)time << 16) + ((int64_t)channel << 8) + (number + 128);
}

// The type code of a mnemonic, 0 when the word is none. The mnemonics are
// the built-in ones and the run's own codes (below).
int strann(const char* word);

// The mnemonic of a type code, built in or the run's own; null when the
// code has none.
const char* annstr(int code);

// One row of the built-in mnemonic table.
struct ann_code {
  int code;
  const char* mnemonic;
  const char* description;
};

// The whole built-in mnemonic table, in ascending order of code.
std::span<const ann_code> list_ann_codes();

// An annotator's own codes: codes that the built-in table does not use, each
// with a mnemonic and a description of its own, in ascending order of code.
// A mnemonic is printable ASCII without white space, "," or "{", at most
// own_mnemonic_max bytes, never a whole number, and unique among the
// built-in and own ones; a description is at most 255 bytes of text without
// control bytes.
constexpr int own_codes_max = 127;
constexpr size_t own_mnemonic_max = 16;

struct own_code {
  int8_t code;  // 1 to 127
  char mnemonic[own_mnemonic_max + 1];
  char description[256];
};

struct ann_codes {
  int count;
  own_code rows[own_codes_max];
};

// The run's own codes, those strann and annstr know besides the built-in
// ones. A read open makes them the annotator's own (none for a file without
// a table, and none when the open fails); a write open writes them into the
// new file. Valid until the next open or set_own_codes.
const ann_codes* own_codes();

// Makes *t the run's own codes; t must hold only rows add_own_code took.
void set_own_codes(const ann_codes* t);

// Adds a row to *t, keeping its order. Returns null, or why the row is
// refused (then *t is unchanged): a code outside 1 to 127 or one the built-in
// table or *t already has, a mnemonic that breaks a rule above or that is
// already taken, a description too long or with a control byte.
const char* add_own_code(ann_codes* t, int code, const char* mnemonic, const char* description);
