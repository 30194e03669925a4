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
