#include "format.h"

#include <zlib.h>

#include <cstring>

namespace {

const unsigned char magic[7] = {0x89, 'A', 'N', 'N', '\r', '\n', 0x1a};
// Version 2 is version 1 with a table of codes after the header; a file
// without own codes is written as version 1, byte for byte as before.
const unsigned char version = 1, version_codes = 2;
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

size_t encode_header(unsigned char* out, const ann_codes* codes) {
  memcpy(out, magic, sizeof magic);
  out[7] = version;
  if (!codes || codes->count == 0) return ann_header_size;
  out[7] = version_codes;
  size_t n = ann_header_size;
  out[n++] = (unsigned char)codes->count;
  for (int i = 0; i < codes->count; i++) {
    const own_code& r = codes->rows[i];
    out[n++] = (unsigned char)r.code;
    for (const char* text : {r.mnemonic, r.description}) {
      size_t len = strlen(text);
      out[n++] = (unsigned char)len;
      memcpy(out + n, text, len);
      n += len;
    }
  }
  return n;
}

const char* decode_codes(const unsigned char* data, size_t end, size_t* pos, ann_codes* t) {
  static const char bad[] = "damaged annotation file (bad table of codes)";
  size_t p = *pos;
  *t = ann_codes{};
  if (p >= end || data[p] == 0 || data[p] > own_codes_max) return bad;
  int count = data[p++];
  for (int i = 0; i < count; i++) {
    if (p >= end) return bad;
    int code = data[p++];
    char text[2][256];
    for (char* field : text) {
      if (p >= end || end - p - 1 < data[p]) return bad;
      size_t len = data[p++];
      memcpy(field, data + p, len);
      field[len] = 0;
      // A zero byte would cut the text short of its counted length.
      if (memchr(field, 0, len)) return bad;
      p += len;
    }
    // Rows in ascending order of code, each one add_own_code takes.
    if ((i > 0 && code <= t->rows[i - 1].code) || add_own_code(t, code, text[0], text[1]))
      return bad;
  }
  *pos = p;
  return nullptr;
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
  if (head[7] != version && head[7] != version_codes) return "unsupported annotation file version";
  if (memcmp(trailer + 12, endmark, sizeof endmark) != 0) return "truncated or damaged annotation file";
  *count = get_le(trailer, 8);
  // Every record takes at least two bytes, its flags and its time, and at
  // most ann_record_max; a table takes at most ann_codes_max.
  size_t body = size - ann_header_size - ann_trailer_size;
  size_t table = has_codes(head) ? ann_codes_max : 0;
  if (*count > body / 2 || (body > table && (body - table) / ann_record_max > *count))
    return "damaged annotation file (bad count)";
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
  size_t pos = ann_header_size;
  static ann_codes codes;
  if (has_codes(data) && (why = decode_codes(data, end, &pos, &codes))) return why;
  ann_codec c;
  init_codec(&c);
  ann_record r;
  for (uint64_t i = 0; i < count; i++)
    if (read_record(&c, data, end, &pos, &r) != 0) return "damaged annotation file (bad record)";
  if (pos != end) return "damaged annotation file (bad count)";
  return nullptr;
}
