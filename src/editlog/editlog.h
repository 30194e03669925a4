// The edit log on standard input: its two-line header and its entry lines.
#pragma once

#include <cstddef>

// The line buffer every read of the log goes through: at most 499 bytes and a
// closing zero.
extern char logtext[500];
// The record and annotator named by an accepted header (owned; null before).
extern char* record;
extern char* annotator;
// The header's sampling frequency; nothing else reads it.
extern double sps;

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

// Discards the rest of the current line, its "\n" included. Returns 1 when
// what it discarded held a zero byte, else 0.
int skip_log_line();

// The errno of a failed read of the log, 0 while none has failed.
int log_read_error();

// The program's name for the warnings of the entry reader.
extern const char* progname;

// Reads the next entry line into annot. Returns 1 for an insert entry, 2 for
// a delete entry, -1 for a malformed line (annot unspecified) and 0 at the
// end of the log. An aux it makes is its own and lives until the next call.
int get_log_entry();
