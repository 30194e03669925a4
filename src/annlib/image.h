// The input annotator as the library holds it: the file's whole image,
// checked, and what a reader of stretches needs of it. A stretch is a run of
// records that come out of the list exactly as they lie in the file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "format.h"

// Every mark_every-th record has a mark, so that a place in a stretch is
// found by a search of the marks and a decode of fewer than that many records.
constexpr uint64_t mark_every = 16;

// Where record i * mark_every starts, the codec state before it, and the
// record's place (place_of), so that a search of the marks never reads the
// image: one cache line gives all a step needs.
struct ann_mark {
  uint64_t pos;
  ann_codec before;
  int64_t place;
};

struct ann_image {
  unsigned char* data;
  size_t begin;    // where the first record starts
  size_t end;      // where the trailer starts
  uint64_t count;  // its records
  ann_mark* marks;
  // Bit i of `eligible`: record i may lie in a stretch: it is above every
  // record before it in order of time, channel and number, the next one is
  // not at its place, and it has no empty aux (which the list drops).
  uint64_t* eligible;
  // Bit i of `joins`: record i continues a stretch from record i - 1: both
  // are eligible and record i is coded as encode_ann codes it after i - 1.
  uint64_t* joins;
};

// Reads the regular file open as fd whole into *img and checks it all, its
// own codes into *codes. Returns 0, or -1 with the reason in *why and
// nothing kept.
int load_image(int fd, ann_image* img, ann_codes* codes, const char** why);

void release_image(ann_image* img);

inline bool test_bit(const uint64_t* bits, uint64_t i) {
  return bits[i / 64] >> (i % 64) & 1;
}

// Checks the regular file open as fd, of `size` bytes, as load_image does,
// but a piece at a time and keeping nothing. Returns null or the reason.
const char* check_file(int fd, size_t size);

inline int64_t place_of(const nesk_ann* a) { return place_of(a->time, a->channel, a->number); }

// Fills *s with records [first, end) of img, record `first` starting at pos
// with the codec state `before`.
void describe_stretch(const ann_image* img, uint64_t first, uint64_t end, size_t pos,
                      ann_codec before, ann_stretch* s);
