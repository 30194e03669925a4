// The annotation file's byte layout: an 8-byte header (magic and version),
// one record per annotation, and a 16-byte trailer (count, checksum, end mark).
// The reader and the writer live side by side in format.cc.
#pragma once

#include <cstddef>
#include <cstdint>

#include "annlib.h"

constexpr size_t ann_header_size = 8;
constexpr size_t ann_trailer_size = 16;
constexpr size_t ann_record_max = 1 + 5 + 4 + 1 + 255;

// What a record is coded against: the time and type of the record before it.
struct ann_codec {
  int32_t time;
  int8_t type;
};

void init_codec(ann_codec* c);

// Writes the header into out[0, ann_header_size).
void encode_header(unsigned char* out);

// Writes one record into out (at most ann_record_max bytes) and returns its size.
size_t encode_ann(ann_codec* c, const nesk_ann* a, unsigned char* out);

// Writes the trailer into out[0, ann_trailer_size). `crc` covers everything
// written before the trailer; the trailer's own count is added to it here.
void encode_trailer(uint64_t count, uint32_t crc, unsigned char* out);

// Checks a whole file image: header, trailer, checksum and every record.
// Returns null when it is a valid annotation file, else the reason.
const char* check_annfile(const unsigned char* data, size_t size);

// Decodes the record at data[*pos] into *a, never reading at or past `end`.
// The aux is copied into auxbuf (257 bytes) with a closing zero. Returns 0 and
// advances *pos, or -1 when the record is malformed.
int decode_ann(ann_codec* c, const unsigned char* data, size_t end, size_t* pos, nesk_ann* a,
               unsigned char* auxbuf);

// The running checksum of a file's bytes (CRC-32); start with crc_bytes(0, nullptr, 0).
uint32_t crc_bytes(uint32_t crc, const unsigned char* p, size_t n);
