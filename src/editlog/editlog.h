// The edit log on standard input: its two-line header and its entry lines.
#pragma once

#include <cstddef>

#include "annlib/annlib.h"

// The line buffer every read of the log goes through: at most 499 bytes and a
// closing zero.
extern char logtext[500];
// The record and annotator named by an accepted header (owned; null before).
extern char* record;
extern char* annotator;
// The header's sampling frequency, and its text as the header gives it
// (at most 499 bytes, cut at its first zero byte).
extern double sps;
extern char freqtext[500];

// What the reader saw besides its results, for a report on the log line by
// line; get_log_entry and parse_log_header set it afresh each time.
struct log_notes {
  long line;        // the line last read, 1-based, the header's two lines counted
  const char* why;  // why the header or the line was refused, in words; else null
  long end_time;    // the entry's end time, -1 when it had none
  size_t aux_len;   // the length of the entry's stored text; above 255 when cut
  size_t dropped;   // bytes of the line past its first 499, the line end not counted
  // The entry's type word when it is no mnemonic (it became a note), else
  // null; it lies in the line just read.
  const char* note;
  size_t note_len;
};
extern log_notes notes;

// While set, get_log_entry prints no warnings; notes still tell of them.
extern bool quiet_warnings;

// Reads the next piece of the log into logtext: up to and including the next
// "\n", but at most 499 bytes. Returns its length (it may hold zero bytes),
// 0 when nothing more could be read.
size_t read_log_line();

// Reads and checks the two header lines. Returns 1 with record, annotator and
// sps set, or 0 with record and annotator released.
int parse_log_header();

// Releases record and annotator.
void release_header();

// Makes the log be read from fd from now on and forgets the header; each test
// starts here.
void reset_editlog(int fd);

// Discards the rest of the current line, its "\n" included. Returns how many
// bytes it discarded besides the line end; *zero tells whether they held a
// zero byte.
size_t skip_log_line(bool* zero);

// The errno of a failed read of the log, 0 while none has failed.
int log_read_error();

// The program's name for the warnings of the entry reader.
extern const char* progname;

constexpr size_t header_text_max = 512;

// The longest entry line that format_log_entry writes, its "\n" included.
constexpr size_t entry_line_max = 300;

// Writes *a as the plainest entry line that reads back as *a (a mnemonic, the
// attributes when not all 0, the aux after a comma), with a leading "-" when
// del and with its "\n", into out (entry_line_max bytes). Returns its length.
// Only an annotation that check_entry_text passes reads back as itself.
size_t format_log_entry(char* out, const nesk_ann* a, bool del);

// Null when an entry line can carry *a exactly, else why not.
const char* check_entry_text(const nesk_ann* a);

// Writes the two header lines that name record and annotator, with the
// frequency text freq, into out (header_text_max bytes). Returns null, or why no header
// can carry them (then out is unspecified).
const char* format_log_header(char* out, const char* record, const char* annotator,
                              const char* freq);

// Reads the next entry line into annot. Returns 1 for an insert entry, 2 for
// a delete entry, -1 for a malformed line (annot unspecified) and 0 at the
// end of the log. An aux it makes is its own and lives until the next call.
int get_log_entry();
