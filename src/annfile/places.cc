#include "places.h"

#include <algorithm>
#include <cstring>

#include "annlist/annlist.h"

namespace {

int64_t place_of_ann(const nesk_ann* a) { return place_of(a->time, a->channel, a->number); }

void add_single(place_walk* w, int64_t place, const nesk_ann* a) {
  place_walk::single s = {place, *a, a->aux != nullptr, w->auxes.size()};
  s.ann.aux = nullptr;
  if (a->aux) w->auxes.append((const char*)a->aux, a->aux[0] + 1u);
  w->singles.push_back(s);
}

// The first stretch not yet read, into cur.
void advance(place_walk* w) {
  while (w->cur.count == 0 && w->next_stretch < w->stretches.size())
    w->cur = w->stretches[w->next_stretch++];
}

}  // namespace

std::string value_of(const nesk_ann* a, bool empty_aux_is_none) {
  std::string v = {(char)a->type, (char)a->subtype, 0};
  if (a->aux && !(empty_aux_is_none && a->aux[0] == 0)) {
    v[2] = 1;
    v.append((const char*)a->aux + 1, a->aux[0]);
  }
  return v;
}

void annotation_of(int64_t place, const std::string& value, nesk_ann* a, unsigned char* auxbuf) {
  decode_key(place, a);
  a->type = (int8_t)value[0];
  a->subtype = (int8_t)value[1];
  a->aux = nullptr;
  if (value[2]) {
    auxbuf[0] = (unsigned char)(value.size() - 3);
    memcpy(auxbuf + 1, value.data() + 3, value.size() - 3);
    auxbuf[value.size() - 2] = 0;
    a->aux = auxbuf;
  }
}

void read_walk(place_walk* w) {
  nesk_ann a;
  ann_stretch s;
  int64_t top = INT64_MIN;
  for (int r; (r = getstretch(0, &a, &s)) >= 0;) {
    const nesk_ann& first = r == 1 ? s.head : a;
    int64_t place = place_of_ann(&first);
    if (w->sorted && place < top) {
      w->sorted = false;
      w->out_of_order = first;
      w->out_of_order.aux = nullptr;
      w->came_after = top;
    }
    top = std::max(top, r == 1 ? place_of_ann(&s.tail) : place);
    if (r == 1)
      w->stretches.push_back(s);
    else
      add_single(w, place, &a);
  }
  // A stretch lies above everything before it in the file, so the
  // stretches are in order; the others may lie anywhere.
  std::stable_sort(w->singles.begin(), w->singles.end(),
                   [](const place_walk::single& x, const place_walk::single& y) {
                     return x.place < y.place;
                   });
  advance(w);
}

void list_walk(place_walk* w) {
  w->singles_first = true;
  for (const ann_node* p = aphead->next; p; p = p->next) {
    if (p->type == stretch_node) {
      w->stretches.push_back(*p->stretch);
      continue;
    }
    nesk_ann a;
    decode_key(p->key, &a);
    a.type = (int8_t)p->type;
    a.subtype = p->subtype;
    a.aux = p->aux;
    add_single(w, p->key, &a);
  }
  advance(w);
}

int64_t next_place(const place_walk* w) {
  int64_t p = INT64_MAX;
  if (w->cur.count > 0) p = place_of_ann(&w->cur.head);
  if (w->next_single < w->singles.size()) p = std::min(p, w->singles[w->next_single].place);
  return p;
}

void take_place(place_walk* w, int64_t place, bool empty_aux_is_none, std::vector<std::string>* out) {
  auto take_head = [&] {
    if (w->cur.count == 0 || place_of_ann(&w->cur.head) != place) return;
    nesk_ann a;
    take_stretch_head(&w->cur, &a);
    out->push_back(value_of(&a, empty_aux_is_none));
    advance(w);
  };
  if (!w->singles_first) take_head();
  for (; w->next_single < w->singles.size() && w->singles[w->next_single].place == place;
       w->next_single++) {
    place_walk::single& s = w->singles[w->next_single];
    nesk_ann a = s.ann;
    if (s.has_aux) a.aux = (unsigned char*)w->auxes.data() + s.aux_at;
    out->push_back(value_of(&a, empty_aux_is_none));
  }
  if (w->singles_first) take_head();
}

uint64_t skip_shared(place_walk* a, place_walk* b) {
  if (a->cur.count == 0 || b->cur.count == 0) return 0;
  int64_t limit = INT64_MAX;
  for (const place_walk* w : {a, b})
    if (w->next_single < w->singles.size()) limit = std::min(limit, w->singles[w->next_single].place);
  uint64_t k = count_shared(&a->cur, &b->cur, limit);
  if (k == 0) return 0;
  drop_stretch_head(&a->cur, k);
  drop_stretch_head(&b->cur, k);
  advance(a);
  advance(b);
  return k;
}
