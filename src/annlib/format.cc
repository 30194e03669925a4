#include "format.h"

#include <zlib.h>

#include <cstring>

namespace {

const unsigned char magic[7] = {0x89, 'A', 'N', 'N', '\r', '\n', 0x1a};
const unsigned char version = 1;
const unsigned char endmark[4] = {0x89, 'E', 'N', 'D'};

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
  ann_record r;
  if (read_record(c, data, end, pos, &r) != 0) return -1;
  *a = r.ann;
  if (r.aux_len >= 0) {
    memcpy(auxbuf, data + r.aux_at, (size_t)r.aux_len + 1);
    auxbuf[r.aux_len + 1] = 0;
    a->aux = auxbuf;
  }
  return 0;
}

const char* check_ends(const unsigned char* head, const unsigned char* trailer, size_t size,
                       uint64_t* count) {
  size_t n = size < sizeof magic ? size : sizeof magic;
  if (memcmp(head, magic, n) != 0) return "not an annotation file";
  if (size < ann_header_size + ann_trailer_size) return "truncated annotation file";
  if (head[7] != version) return "unsupported annotation file version";
  if (memcmp(trailer + 12, endmark, sizeof endmark) != 0) return "truncated or damaged annotation file";
  *count = get_le(trailer, 8);
  return nullptr;
}

bool check_crc(const unsigned char* trailer, uint32_t crc) {
  return crc_bytes(crc, trailer, 8) == get_le(trailer + 8, 4);
}

const char* check_annfile(const unsigned char* data, size_t size) {
  uint64_t count;
  bool whole = size >= ann_header_size + ann_trailer_size;
  const char* why = check_ends(data, whole ? data + size - ann_trailer_size : data, size, &count);
  if (why) return why;
  size_t end = size - ann_trailer_size;
  if (!check_crc(data + end, crc_bytes(crc_bytes(0, nullptr, 0), data, end)))
    return "damaged annotation file (checksum mismatch)";
  // Every record takes at least two bytes: its flags and its time.
  if (count > (end - ann_header_size) / 2) return "damaged annotation file (bad count)";
  ann_codec c;
  init_codec(&c);
  ann_record r;
  size_t pos = ann_header_size;
  for (uint64_t i = 0; i < count; i++)
    if (read_record(&c, data, end, &pos, &r) != 0) return "damaged annotation file (bad record)";
  if (pos != end) return "damaged annotation file (bad count)";
  return nullptr;
}
