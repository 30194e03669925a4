// Stretches of the input: found by getstretch, cut by the list where an edit
// lands in one, and written out as bytes by putstretch. A place in a stretch
// is found through the image's marks, never by decoding it from its start.
#include <cstring>

#include "annlib.h"
#include "image.h"

namespace {

// Where a walk through a stretch stands: record `index`, starting at `pos`
// with the codec state `codec`.
struct place {
  uint64_t index;
  size_t pos;
  ann_codec codec;
};

// Reads the record at p into *r and steps past it. The image was checked
// whole when it was loaded, so the record is well formed.
__attribute__((always_inline)) inline void step(const ann_image* img, place* p, ann_record* r) {
  read_record(&p->codec, img->data, img->end, &p->pos, r);
  p->index++;
}

// The last of marks lo to hi whose place lies below target, lo - 1 when none
// does. The search starts at `share` of the way from lo to hi, where the
// target would lie were the places even, and widens from there: they seldom
// lie far from even, so few marks are read.
uint64_t find_mark(const ann_mark* marks, uint64_t lo, uint64_t hi, int64_t target, double share) {
  if (lo > hi) return lo - 1;
  uint64_t k = lo + (uint64_t)(share * (double)(hi - lo));
  if (k > hi) k = hi;
  uint64_t below = lo - 1, above = hi + 1;  // marks[below] < target <= marks[above]
  uint64_t step = 1;
  if (marks[k].place < target) {
    for (below = k; below + step <= hi && marks[below + step].place < target; step *= 2)
      below += step;
    if (below + step <= hi) above = below + step;
  } else {
    for (above = k; above - lo >= step && marks[above - step].place >= target; step *= 2)
      above -= step;
    if (above - lo >= step) below = above - step;
  }
  while (above - below > 1) {
    uint64_t mid = below + (above - below) / 2;
    if (marks[mid].place < target)
      below = mid;
    else
      above = mid;
  }
  return below;
}

place at_mark(const ann_image* img, uint64_t k) {
  return {k * mark_every, img->marks[k].pos, img->marks[k].before};
}

}  // namespace

void describe_stretch(const ann_image* img, uint64_t first, uint64_t end, size_t pos,
                      ann_codec before, ann_stretch* s) {
  place p = {first, pos, before};
  ann_record r = {};
  step(img, &p, &r);
  *s = {img, first, end - first, pos, 0, before.time, before.type, r.ann, r.ann};
  // The last record is reached from the last mark before it, when that
  // lies inside the stretch.
  uint64_t k = (end - 1) / mark_every;
  if (k * mark_every > first) p = at_mark(img, k);
  while (p.index < end) step(img, &p, &r);
  s->tail = r.ann;
  s->end = p.pos;
}

void split_stretch(ann_stretch* s, const nesk_ann* at, ann_stretch* right) {
  const ann_image* img = s->image;
  // The walk starts at the last mark inside the stretch whose record lies
  // below *at, or at its head.
  place from = {s->first, s->begin, {s->before_time, s->before_type}};
  int64_t target = place_of(at), head = place_of(&s->head), tail = place_of(&s->tail);
  // Where the record lies if the places were even: fetched from memory while
  // the marks are searched, it is often already there when the walk comes.
  double share = tail > head ? (double)(target - head) / (double)(tail - head) : 0;
  const unsigned char* guess = img->data + s->begin + (size_t)(share * (double)(s->end - s->begin));
  __builtin_prefetch(guess - 64);
  __builtin_prefetch(guess);
  uint64_t lo = s->first / mark_every + 1, hi = (s->first + s->count - 1) / mark_every;
  uint64_t k = find_mark(img->marks, lo, hi, target, share);
  if (k >= lo) from = at_mark(img, k);
  ann_record r = {};
  nesk_ann below = {};
  for (place p = from;;) {
    place here = p;
    step(img, &p, &r);
    if (place_of(&r.ann) >= target) {
      *right = {img,
                here.index,
                s->first + s->count - here.index,
                here.pos,
                s->end,
                here.codec.time,
                here.codec.type,
                r.ann,
                s->tail};
      s->count = here.index - s->first;
      s->end = here.pos;
      s->tail = below;
      return;
    }
    below = r.ann;
  }
}

void take_stretch_head(ann_stretch* s, nesk_ann* a) {
  static unsigned char aux[257];
  ann_codec c = {s->before_time, s->before_type};
  size_t pos = s->begin;
  decode_ann(&c, s->image->data, s->image->end, &pos, a, aux);
  s->first++;
  s->count--;
  s->begin = pos;
  s->before_time = c.time;
  s->before_type = c.type;
  if (s->count == 0) return;
  ann_record r = {};
  read_record(&c, s->image->data, s->image->end, &pos, &r);
  s->head = r.ann;
}

namespace {

// The record before which `index` stands in s, found from the last mark
// inside s before it: its position and the codec state before it.
place find_record(const ann_stretch* s, uint64_t index) {
  const ann_image* img = s->image;
  place p = {s->first, s->begin, {s->before_time, s->before_type}};
  uint64_t k = index / mark_every;
  if (k * mark_every > s->first) p = at_mark(img, k);
  ann_record r = {};
  while (p.index < index) step(img, &p, &r);
  return p;
}

// How many records of s from its head on lie whole within the first `bytes`
// bytes that follow its head, and below place `limit`.
uint64_t count_within(const ann_stretch* s, size_t head_end, size_t bytes, int64_t limit) {
  const ann_image* img = s->image;
  size_t stop = head_end + bytes;
  // The last mark inside s whose record starts within the bytes and lies
  // below the limit, by halving: both grow along a stretch. The walk goes
  // on from there.
  uint64_t lo = s->first / mark_every + 1, hi = (s->first + s->count - 1) / mark_every + 1;
  auto inside = [&](uint64_t k) { return img->marks[k].pos <= stop && img->marks[k].place < limit; };
  while (lo < hi) {
    uint64_t mid = lo + (hi - lo) / 2;
    if (inside(mid))
      lo = mid + 1;
    else
      hi = mid;
  }
  place p = {s->first, s->begin, {s->before_time, s->before_type}};
  if (lo > s->first / mark_every + 1) p = at_mark(img, lo - 1);
  ann_record r = {};
  for (uint64_t end = s->first + s->count; p.index < end;) {
    place here = p;
    step(img, &p, &r);
    if (p.pos > stop || place_of(&r.ann) >= limit) return here.index - s->first;
  }
  return s->count;
}

}  // namespace

uint64_t count_shared(const ann_stretch* a, const ann_stretch* b, int64_t limit) {
  if (a->count == 0 || b->count == 0 || place_of(&a->head) >= limit) return 0;
  ann_codec ca = {a->before_time, a->before_type}, cb = {b->before_time, b->before_type};
  size_t pa = a->begin, pb = b->begin;
  ann_record ra = {}, rb = {};
  const unsigned char *da = a->image->data, *db = b->image->data;
  read_record(&ca, da, a->image->end, &pa, &ra);
  read_record(&cb, db, b->image->end, &pb, &rb);
  // The heads may be coded against different records before them, so they
  // are compared as annotations; what follows them is coded against them.
  const nesk_ann &x = ra.ann, &y = rb.ann;
  if (x.time != y.time || x.type != y.type || x.subtype != y.subtype ||
      x.channel != y.channel || x.number != y.number || ra.aux_len != rb.aux_len ||
      (ra.aux_len > 0 && memcmp(da + ra.aux_at + 1, db + rb.aux_at + 1, (size_t)ra.aux_len) != 0))
    return 0;
  size_t n = a->end - pa < b->end - pb ? a->end - pa : b->end - pb;
  size_t same = 0;
  if (da + pa == db + pb) {
    same = n;
  } else {
    // A block at a time with memcmp, then the byte where they part.
    for (const size_t block = 4096; same + block <= n && memcmp(da + pa + same, db + pb + same, block) == 0;)
      same += block;
    while (same < n && da[pa + same] == db[pb + same]) same++;
  }
  uint64_t k = count_within(a, pa, same, limit);
  return k < b->count ? k : b->count;
}

void drop_stretch_head(ann_stretch* s, uint64_t k) {
  if (k == 0) return;
  if (k >= s->count) {
    s->first += s->count;
    s->begin = s->end;
    s->count = 0;
    return;
  }
  place p = find_record(s, s->first + k);
  ann_record r = {};
  place here = p;
  step(s->image, &p, &r);
  s->first = here.index;
  s->count -= k;
  s->begin = here.pos;
  s->before_time = here.codec.time;
  s->before_type = here.codec.type;
  s->head = r.ann;
}
