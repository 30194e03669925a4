#include "format.h"

#include <zlib.h>

#include <cstring>

namespace {

const unsigned char magic[7] = {0x89, 'A', 'N', 'N', '\r', '\n', 0x1a};
const unsigned char version = 1;
const unsigned char endmark[4] = {0x89, 'E', 'N', 'D'};

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

void put_le(unsigned char* out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; i++) out[i] = (unsigned char)(v >> (8 * i));
}

uint64_t get_le(const unsigned char* in, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; i++) v |= (uint64_t)in[i] << (8 * i);
  return v;
}

}  // namespace

uint32_t crc_bytes(uint32_t crc, const unsigned char* p, size_t n) {
  return (uint32_t)crc32_z(crc, p, n);
}

void init_codec(ann_codec* c) {
  c->time = 0;
  c->type = 1;
}

void encode_header(unsigned char* out) {
  memcpy(out, magic, sizeof magic);
  out[7] = version;
}

size_t encode_ann(ann_codec* c, const nesk_ann* a, unsigned char* out) {
  unsigned char flags = 0;
  if (a->type != c->type) flags |= has_type;
  if (a->subtype) flags |= has_subtype;
  if (a->channel) flags |= has_channel;
  if (a->number) flags |= has_number;
  if (a->aux) flags |= has_aux;
  size_t n = 0;
  out[n++] = flags;
  // Times usually ascend, so the signed difference is small; zigzag folds
  // its sign into the low bit and the varint spends a byte per 7 bits.
  int64_t delta = (int64_t)a->time - c->time;
  uint64_t z = ((uint64_t)delta << 1) ^ (uint64_t)(delta >> 63);
  do {
    unsigned char b = z & 0x7f;
    z >>= 7;
    out[n++] = z ? (unsigned char)(b | 0x80) : b;
  } while (z);
  if (flags & has_type) out[n++] = (unsigned char)a->type;
  if (flags & has_subtype) out[n++] = (unsigned char)a->subtype;
  if (flags & has_channel) out[n++] = a->channel;
  if (flags & has_number) out[n++] = (unsigned char)a->number;
  if (flags & has_aux) {
    unsigned len = a->aux[0];
    out[n++] = (unsigned char)len;
    memcpy(out + n, a->aux + 1, len);
    n += len;
  }
  c->time = a->time;
  c->type = a->type;
  return n;
}

void encode_trailer(uint64_t count, uint32_t crc, unsigned char* out) {
  put_le(out, count, 8);
  put_le(out + 8, crc_bytes(crc, out, 8), 4);
  memcpy(out + 12, endmark, sizeof endmark);
}

int decode_ann(ann_codec* c, const unsigned char* data, size_t end, size_t* pos, nesk_ann* a,
               unsigned char* auxbuf) {
  size_t p = *pos;
  if (p >= end) return -1;
  unsigned char flags = data[p++];
  if (flags & ~known_flags) return -1;
  uint64_t z = 0;
  // Two 32-bit times differ by less than 2^33, so five varint bytes suffice.
  for (int shift = 0;; shift += 7) {
    if (p >= end || shift > 28) return -1;
    unsigned char b = data[p++];
    z |= (uint64_t)(b & 0x7f) << shift;
    if (!(b & 0x80)) break;
  }
  int64_t time = c->time + ((int64_t)(z >> 1) ^ -(int64_t)(z & 1));
  if (time < INT32_MIN || time > INT32_MAX) return -1;
  unsigned char field[4] = {(unsigned char)c->type, 0, 0, 0};
  for (int i = 0; i < 4; i++) {
    if (!(flags & (1 << i))) continue;
    if (p >= end) return -1;
    field[i] = data[p++];
  }
  a->time = (int32_t)time;
  a->type = (int8_t)field[0];
  a->subtype = (int8_t)field[1];
  a->channel = field[2];
  a->number = (int8_t)field[3];
  a->aux = nullptr;
  if (flags & has_aux) {
    if (p >= end) return -1;
    size_t len = data[p];
    if (end - p - 1 < len) return -1;
    memcpy(auxbuf, data + p, len + 1);
    auxbuf[len + 1] = 0;
    a->aux = auxbuf;
    p += len + 1;
  }
  c->time = a->time;
  c->type = a->type;
  *pos = p;
  return 0;
}

const char* check_annfile(const unsigned char* data, size_t size) {
  size_t head = size < sizeof magic ? size : sizeof magic;
  if (memcmp(data, magic, head) != 0) return "not an annotation file";
  if (size < ann_header_size + ann_trailer_size) return "truncated annotation file";
  if (data[7] != version) return "unsupported annotation file version";
  const unsigned char* trailer = data + size - ann_trailer_size;
  if (memcmp(trailer + 12, endmark, sizeof endmark) != 0) return "truncated or damaged annotation file";
  if (crc_bytes(crc_bytes(0, nullptr, 0), data, size - 8) != get_le(trailer + 8, 4))
    return "damaged annotation file (checksum mismatch)";
  uint64_t count = get_le(trailer, 8);
  size_t end = size - ann_trailer_size;
  // Every record takes at least two bytes: its flags and its time.
  if (count > (end - ann_header_size) / 2) return "damaged annotation file (bad count)";
  ann_codec c;
  init_codec(&c);
  nesk_ann a;
  unsigned char auxbuf[257];
  size_t pos = ann_header_size;
  for (uint64_t i = 0; i < count; i++)
    if (decode_ann(&c, data, end, &pos, &a, auxbuf) != 0)
      return "damaged annotation file (bad record)";
  if (pos != end) return "damaged annotation file (bad count)";
  return nullptr;
}
