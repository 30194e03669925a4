// Annotations as CSV (RFC 4180), for spreadsheets and data frames: a header
// row of column names, then one row per annotation. The aux is text that any
// UTF-8 reader takes whole, escaped as in the TSV form where it is not.
#pragma once

#include <cstddef>
#include <cstdio>

#include "annlib/annlib.h"
#include "lines.h"

// The columns a CSV text may have, in the order dump writes them.
enum csv_column {
  col_time,
  col_seconds,
  col_type,
  col_mnemonic,
  col_subtype,
  col_channel,
  col_number,
  col_aux,
  csv_column_count
};

// Where each column stands in a row, -1 for one the header lacks.
struct csv_columns {
  int at[csv_column_count];
  int count;  // the fields of every row
};

// Escapes n bytes into out (4 * n bytes) and returns the length written:
// valid UTF-8 stays as it is, but a backslash, a control character (C0, DEL,
// and C1 in its UTF-8 form) and each byte of no valid UTF-8 sequence become
// \\ \t \n \r or \xHH. unescape_aux gives the bytes back.
size_t escape_csv_text(const unsigned char* p, size_t n, char* out);

// Writes the header row; with_seconds adds the column "seconds".
void write_csv_header(FILE* f, bool with_seconds);

// Writes *a as one row, the mnemonic of its type from the run's table (an
// empty field when there is none); sps > 0 adds its time in seconds. Returns
// 0, or -1 when the stream failed.
int write_csv_row(FILE* f, const nesk_ann* a, double sps);

// Reads the next row into out (cap bytes): a line, and the lines after it
// while a quote is open, joined by "\n", with a CR before the row's end
// dropped. *first is the number of its first line. Returns as read_text_line.
int read_csv_row(text_input* in, char* out, size_t cap, size_t* len, long* first);

// Takes the header row (changed in place): every name known, none twice,
// "time" and "type" or "mnemonic" among them. Returns null, or why the row
// is refused, written into why (200 bytes).
const char* parse_csv_header(char* row, size_t len, csv_columns* c, char* why);

// Parses one row (changed in place) into *a, the aux into auxbuf (257 bytes).
// Returns null, or why the row is refused, written into why (200 bytes).
const char* parse_csv_row(char* row, size_t len, const csv_columns* c, nesk_ann* a,
                          unsigned char* auxbuf, char* why);

// Reads CSV text from in to its end and puts each row to output annotator 0.
// Returns 0, or 1 after a message that names the line.
int load_csv_rows(const char* prog, text_input* in);
