#include "image.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "annlib.h"

namespace {

void set_bit(uint64_t* bits, uint64_t i) {
  bits[i / 64] |= (uint64_t)1 << (i % 64);
}

// Reads exactly n bytes at the file's current offset; false on a short read.
bool read_all(int fd, unsigned char* buf, size_t n, const char** why) {
  for (size_t got = 0; got < n;) {
    ssize_t r = read(fd, buf + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return *why = r < 0 ? strerror(errno) : "truncated annotation file", false;
    got += (size_t)r;
  }
  return true;
}

// Checks the header and the trailer of the regular file open as fd, of
// `size` bytes, and that `size` fits the count of records the trailer gives;
// reads nothing else. Returns null with *count set, or the reason.
const char* check_file_ends(int fd, size_t size, uint64_t* count) {
  unsigned char head[ann_header_size] = {}, trailer[ann_trailer_size] = {};
  size_t n = size < ann_header_size ? size : ann_header_size;
  ssize_t got = pread(fd, head, n, 0);
  if (got < 0) return strerror(errno);
  if ((size_t)got != n) return "truncated annotation file";
  if (size >= ann_header_size + ann_trailer_size) {
    got = pread(fd, trailer, ann_trailer_size, (off_t)(size - ann_trailer_size));
    if (got < 0) return strerror(errno);
    if (got != (ssize_t)ann_trailer_size) return "truncated annotation file";
  }
  return check_ends(head, trailer, size, count);
}

// Reads every record of the image, checks it, marks it and classifies it.
// This runs for every record of every input, so it keeps to plain values.
const char* scan_image(ann_image* img) {
  ann_codec c;
  init_codec(&c);
  ann_record r;
  int64_t top = INT64_MIN;  // the highest place so far
  int64_t prev_place = 0;
  bool prev_may = false;  // record i - 1 may lie in a stretch, its next one aside
  bool prev_canonical = false;
  bool prev_eligible = false;  // record i - 2 is eligible
  size_t pos = img->begin;
  for (uint64_t i = 0; i < img->count; i++) {
    ann_codec before = c;
    size_t at = pos;
    if (read_record(&c, img->data, img->end, &pos, &r) != 0)
      return "damaged annotation file (bad record)";
    int64_t place = place_of(&r.ann);
    if (i % mark_every == 0) img->marks[i / mark_every] = {at, before, place};
    if (i > 0) {
      // Loading reverses two records at one place, so neither may pass whole.
      bool eligible = prev_may && place != prev_place;
      uint64_t bit = (uint64_t)1 << ((i - 1) % 64);
      if (eligible) img->eligible[(i - 1) / 64] |= bit;
      if (eligible && prev_eligible && prev_canonical) img->joins[(i - 1) / 64] |= bit;
      prev_eligible = eligible;
    }
    bool above = place > top;
    if (above) top = place;
    prev_may = above && r.aux_len != 0;
    prev_place = place;
    prev_canonical = r.canonical;
  }
  if (img->count > 0) {
    uint64_t last = img->count - 1;
    if (prev_may) set_bit(img->eligible, last);
    if (prev_may && prev_eligible && prev_canonical) set_bit(img->joins, last);
  }
  if (pos != img->end) return "damaged annotation file (bad count)";
  return nullptr;
}

}  // namespace

void release_image(ann_image* img) {
  free(img->data);
  free(img->marks);
  free(img->eligible);
  free(img->joins);
  *img = ann_image{};
}

int load_image(int fd, ann_image* img, ann_codes* codes, const char** why) {
  *img = ann_image{};
  struct stat st;
  if (fstat(fd, &st) != 0) return *why = strerror(errno), -1;
  if (!S_ISREG(st.st_mode)) return *why = "not a regular file", -1;
  size_t size = (size_t)st.st_size;
  // The ends first: a file that is none of ours costs two small reads, not
  // its whole size in memory and time.
  uint64_t count = 0;
  if ((*why = check_file_ends(fd, size, &count))) return -1;
  img->data = (unsigned char*)alloc_zeroed(size, 1, "annotation file");
  if (!img->data) return *why = "out of memory", -1;
  img->end = size - ann_trailer_size;
  img->count = count;
  img->begin = ann_header_size;
  *codes = ann_codes{};
  if (!read_all(fd, img->data, size, why)) {
  } else if (!check_crc(img->data + img->end,
                        crc_bytes(crc_bytes(0, nullptr, 0), img->data, img->end))) {
    *why = "damaged annotation file (checksum mismatch)";
  } else if (has_codes(img->data) &&
             (*why = decode_codes(img->data, img->end, &img->begin, codes))) {
  } else if (!(img->marks =
                   (ann_mark*)alloc_zeroed(count / mark_every + 1, sizeof(ann_mark), "marks")) ||
             !(img->eligible = (uint64_t*)alloc_zeroed(count / 64 + 1, 8, "marks")) ||
             !(img->joins = (uint64_t*)alloc_zeroed(count / 64 + 1, 8, "marks"))) {
    *why = "out of memory";
  } else {
    *why = scan_image(img);
  }
  if (*why) {
    release_image(img);
    return -1;
  }
  return 0;
}

const char* check_file(int fd, size_t size) {
  uint64_t count;
  if (const char* why = check_file_ends(fd, size, &count)) return why;
  size_t end = size - ann_trailer_size;
  unsigned char trailer[ann_trailer_size];
  if (pread(fd, trailer, ann_trailer_size, (off_t)end) != ann_trailer_size)
    return "truncated annotation file";

  // A piece at a time: a record is at most ann_record_max bytes, so the
  // records that start that far before a piece's end lie whole in it.
  const size_t piece = 1 << 20;
  unsigned char* buf = (unsigned char*)alloc_zeroed(piece + ann_record_max, 1, "annotation file");
  if (!buf) return "out of memory";
  uint32_t crc = crc_bytes(0, nullptr, 0);
  size_t base = 0, have = 0;  // buf holds the file's bytes [base, base + have)
  size_t pos = ann_header_size;
  uint64_t records = 0;
  ann_codec c;
  init_codec(&c);
  ann_record r;
  const char* why = nullptr;
  if (lseek(fd, 0, SEEK_SET) != 0) why = strerror(errno);
  while (!why && base + have < end) {
    // What is read but not yet taken as records moves to the front.
    size_t keep = pos < base + have ? pos : base + have;
    memmove(buf, buf + (keep - base), base + have - keep);
    have = base + have - keep;
    base = keep;
    size_t want = piece + ann_record_max - have;
    if (want > end - (base + have)) want = end - (base + have);
    if (!read_all(fd, buf + have, want, &why)) break;
    crc = crc_bytes(crc, buf + have, want);
    have += want;
    // The table lies whole in the first piece, which holds far more than it.
    if (base == 0 && pos == ann_header_size && has_codes(buf)) {
      static ann_codes codes;
      if ((why = decode_codes(buf, have, &pos, &codes))) break;
    }
    size_t limit = base + have == end ? end : base + have - ann_record_max;
    while (pos < limit) {
      size_t p = pos - base;
      if (read_record(&c, buf, have, &p, &r) != 0) {
        why = "damaged annotation file (bad record)";
        break;
      }
      pos = base + p;
      records++;
    }
  }
  free(buf);
  if (why) return why;
  if (!check_crc(trailer, crc)) return "damaged annotation file (checksum mismatch)";
  if (records != count || pos != end) return "damaged annotation file (bad count)";
  return nullptr;
}
