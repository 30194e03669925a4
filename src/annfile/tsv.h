// The text form of annotations: one line each, fields separated by TAB:
// time, type, subtype, channel, number and, when present, the escaped aux.
#pragma once

#include <cstddef>
#include <cstdio>

#include "annlib/annlib.h"

// Writes n bytes with a backslash, TAB, LF, CR and the other control bytes
// escaped as \\ \t \n \r and \xHH, so that they stay on one line.
void write_escaped(FILE* f, const unsigned char* p, size_t n);

// Unescapes text[0, len) into auxbuf (257 bytes) as a counted string: \\ \t
// \n \r and \xHH stand for their bytes, every other byte for itself, but a
// control byte only when raw_controls. Returns null, or why the text is refused.
const char* unescape_aux(const char* text, size_t len, bool raw_controls, unsigned char* auxbuf);

// Whether text[0, len) is a whole field of decimal digits with an optional
// sign, within [lo, hi]; then *v is its value. Leading zeros are as many as
// the field holds.
bool parse_int(const char* text, size_t len, long lo, long hi, long* v);

// The code of a mnemonic field, 0 when it is none.
int code_of(const char* text, size_t len);

// Writes *a as one line, "\n" included. Returns 0, or -1 when the stream failed.
int write_ann_line(FILE* f, const nesk_ann* a);

// Writes "time T, type Y, subtype S, channel C, number N[, aux "..."]", the
// aux escaped as in write_escaped.
void describe_ann(FILE* f, const nesk_ann* a);

// Parses one line (without its "\n"; it may hold zero bytes) into *a, the aux
// into auxbuf (257 bytes). The type may be a number or a mnemonic. Returns
// null, or what is wrong with the line, written into why (200 bytes).
const char* parse_ann_line(const char* line, size_t len, nesk_ann* a, unsigned char* auxbuf,
                           char* why);
