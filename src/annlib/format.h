// The annotation file's byte layout: an 8-byte header (magic and version),
// in version 2 a table of the annotator's own codes, one record per
// annotation, and a 16-byte trailer (count, checksum, end mark).
// The record's reader is inline below, beside the writer's declaration: every
// check of a file runs it for every record; the rest is in format.cc.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "annlib.h"

constexpr size_t ann_header_size = 8;
constexpr size_t ann_trailer_size = 16;
constexpr size_t ann_record_max = 1 + 5 + 4 + 1 + 255;
// A table of own codes: a count, then per row its code, and its mnemonic
// and its description, each after a length byte.
constexpr size_t ann_codes_max = 1 + own_codes_max * (3 + own_mnemonic_max + 255);

// The flag byte that opens each record says which fields follow the time.
// A field without its flag is 0, except the type, which repeats the record before.
enum : unsigned char {
  has_type = 1,
  has_subtype = 2,
  has_channel = 4,
  has_number = 8,
  has_aux = 16,
  known_flags = 31,
};

// What a record is coded against: the time and type of the record before it.
struct ann_codec {
  int32_t time;
  int8_t type;
};

void init_codec(ann_codec* c);

// Writes the header into out and returns its size: version 1 when codes is
// null or has no rows, else version 2 and the table (at most
// ann_header_size + ann_codes_max bytes).
size_t encode_header(unsigned char* out, const ann_codes* codes = nullptr);

// Whether a header that check_ends passed is followed by a table of codes.
inline bool has_codes(const unsigned char* head) { return head[7] == 2; }

// Reads the table of codes at data[*pos, end) into *t, every row checked as
// add_own_code checks it. Returns null and advances *pos, or the reason.
const char* decode_codes(const unsigned char* data, size_t end, size_t* pos, ann_codes* t);

// Writes one record into out (at most ann_record_max bytes) and returns its size.
size_t encode_ann(ann_codec* c, const nesk_ann* a, unsigned char* out);

// Writes the trailer into out[0, ann_trailer_size). `crc` covers everything
// written before the trailer; the trailer's own count is added to it here.
void encode_trailer(uint64_t count, uint32_t crc, unsigned char* out);

// Checks a whole file image: header, trailer, checksum and every record.
// Returns null when it is a valid annotation file, else the reason.
const char* check_annfile(const unsigned char* data, size_t size);

// The parts of that check: the header and the trailer of a file of `size`
// bytes, given its first 8 (or fewer) and its last 16 bytes, and, on success,
// the count of records the trailer gives, checked against the size. Returns
// null or the reason.
const char* check_ends(const unsigned char* head, const unsigned char* trailer, size_t size,
                       uint64_t* count);
// Whether the trailer's checksum is crc, the checksum of everything before it.
bool check_crc(const unsigned char* trailer, uint32_t crc);

// One record as it lies in a file, read without copying its aux.
struct ann_record {
  nesk_ann ann;      // its aux left null
  int aux_len;       // -1 when it has no aux
  size_t aux_at;     // where its aux's length byte lies
  bool canonical;    // coded exactly as encode_ann codes it after the record before
};

// Reads the record at data[*pos] into *r, never reading at or past `end`.
// Returns 0 and advances *pos and the codec, or -1 when the record is
// malformed.
__attribute__((always_inline)) inline int read_record(ann_codec* c, const unsigned char* data,
                                                      size_t end, size_t* pos, ann_record* r) {
  size_t p = *pos;
  if (p >= end) return -1;
  unsigned char flags = data[p++];
  if (flags & ~known_flags) return -1;
  uint64_t z = 0;
  size_t first = p;
  // Two 32-bit times differ by less than 2^33, so five varint bytes suffice.
  if (end - p >= 8) {
    // All five at once: where the records lie, each waits for the one before.
    uint64_t w;
    memcpy(&w, data + p, 8);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    uint64_t stops = ~w & 0x8080808080;
    if (!stops) return -1;
    size_t len = (size_t)(__builtin_ctzll(stops) >> 3) + 1;
    uint64_t v = w & (~(uint64_t)0 >> (64 - 8 * len));
    z = (v & 0x7f) | (v >> 1 & 0x3f80) | (v >> 2 & 0x1fc000) | (v >> 3 & 0xfe00000) |
        (v >> 4 & 0x7f0000000);
    p += len;
  } else {
    for (int shift = 0;; shift += 7) {
      if (p >= end || shift > 28) return -1;
      unsigned char b = data[p++];
      z |= (uint64_t)(b & 0x7f) << shift;
      if (!(b & 0x80)) break;
    }
  }
  // encode_ann never ends a time step with a byte of nothing but zeros.
  bool shortest = p - first == 1 || data[p - 1] != 0;
  int64_t time = c->time + ((int64_t)(z >> 1) ^ -(int64_t)(z & 1));
  if (time < INT32_MIN || time > INT32_MAX) return -1;
  // Each field its own variable: bytes gathered in an array and read back
  // whole stall the processor, and this runs for every record.
  unsigned char type = (unsigned char)c->type, subtype = 0, channel = 0, number = 0;
  if (flags & (has_type | has_subtype | has_channel | has_number)) {
    size_t need = (flags & 1) + (flags >> 1 & 1) + (flags >> 2 & 1) + (flags >> 3 & 1);
    if (end - p < need) return -1;
    if (flags & has_type) type = data[p++];
    if (flags & has_subtype) subtype = data[p++];
    if (flags & has_channel) channel = data[p++];
    if (flags & has_number) number = data[p++];
  }
  r->aux_len = -1;
  if (flags & has_aux) {
    if (p >= end) return -1;
    size_t len = data[p];
    if (end - p - 1 < len) return -1;
    r->aux_len = (int)len;
    r->aux_at = p;
    p += len + 1;
  }
  nesk_ann* a = &r->ann;
  a->time = (int32_t)time;
  a->type = (int8_t)type;
  a->subtype = (int8_t)subtype;
  a->channel = channel;
  a->number = (int8_t)number;
  a->aux = nullptr;
  // The flags encode_ann would have set: a type only when it changes, the
  // other fields only when they are not 0.
  bool type_flag = a->type != c->type;
  r->canonical = shortest && ((flags & has_type) != 0) == type_flag &&
                 ((flags & has_subtype) != 0) == (a->subtype != 0) &&
                 ((flags & has_channel) != 0) == (a->channel != 0) &&
                 ((flags & has_number) != 0) == (a->number != 0);
  c->time = a->time;
  c->type = a->type;
  *pos = p;
  return 0;
}


// Decodes the record at data[*pos] into *a, never reading at or past `end`.
// The aux is copied into auxbuf (257 bytes) with a closing zero. Returns 0 and
// advances *pos, or -1 when the record is malformed.
int decode_ann(ann_codec* c, const unsigned char* data, size_t end, size_t* pos, nesk_ann* a,
               unsigned char* auxbuf);

// The running checksum of a file's bytes (CRC-32); start with crc_bytes(0, nullptr, 0).
uint32_t crc_bytes(uint32_t crc, const unsigned char* p, size_t n);
