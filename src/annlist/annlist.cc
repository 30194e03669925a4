#include "annlist.h"

#include <cstdlib>
#include <cstring>

#include "locate.h"
#include "nodes.h"

nesk_ann annot;
ann_node* aphead;
ann_node* aptail;
long steps_walked;

namespace {

bool is_stretch(const ann_node* p) { return p->type == stretch_node; }

int64_t key_of(const nesk_ann* a) { return make_key(a->time, a->channel, a->number); }

// The largest key within p.
int64_t last_key(const ann_node* p) { return is_stretch(p) ? key_of(&p->stretch->tail) : p->key; }

// A stretch is its node's and goes with it.
void release_item(ann_node* p) {
  if (!is_stretch(p)) free(p->aux);
}

void unlink_node(ann_node* n) {
  note_unlinking(n);
  n->prev->next = n->next;
  if (n->next)
    n->next->prev = n->prev;
  else
    aptail = n->prev;
  release_item(n);
  release_node(n);
}

// Links n right after p, which the last lookup of the index returned or the
// last link linked.
void link_after(ann_node* p, ann_node* n) {
  n->prev = p;
  n->next = p->next;
  p->next = n;
  if (n->next)
    n->next->prev = n;
  else
    aptail = n;
  note_linked(n);
}

// Links a node holding a copy of *s right after p, as link_after does.
void link_stretch(ann_node* p, const ann_stretch* s) {
  ann_node* n = new_stretch_node();
  if (!n) return;
  *n->stretch = *s;
  n->key = key_of(&s->head);
  link_after(p, n);
}

// A stretch of at most this many annotations becomes a node for each when
// an edit lands in it: three nodes take less memory than a stretch, and an
// edit among nodes cuts nothing and decodes nothing.
constexpr uint64_t melt_count = 3;

// Replaces stretch node p by a node for each of its annotations, in order.
// Returns false, changing nothing, when memory ran out.
bool melt_stretch(ann_node* p) {
  ann_node* made[melt_count] = {};
  ann_stretch rest = *p->stretch;
  uint64_t count = rest.count;
  for (uint64_t i = 0; i < count; i++) {
    nesk_ann a;
    take_stretch_head(&rest, &a);
    ann_node* n = made[i] = new_node("apthis");
    if (!n || (a.aux && !(n->aux = copy_aux(a.aux)))) {
      for (ann_node* m : made)
        if (m) free(m->aux), release_node(m);
      return false;
    }
    n->key = key_of(&a);
    n->type = a.type;
    n->subtype = a.subtype;
  }
  ann_node* before = p->prev;
  unlink_node(p);
  for (uint64_t i = 0; i < count; i++) link_after(i ? made[i - 1] : before, made[i]);
  return true;
}

// Takes the first annotation out of *s when it is the one annot asks to
// delete. A stretch never holds an empty aux, as the list holds none.
bool take_match(ann_stretch* s) {
  ann_stretch rest = *s;
  nesk_ann a;
  take_stretch_head(&rest, &a);
  if (a.type != annot.type || a.subtype != annot.subtype || !same_aux(a.aux, annot.aux))
    return false;
  *s = rest;
  return true;
}

// Removes the first node from p back over the run of `key` that annot
// matches. Returns 1, or 0 when none does.
int delete_walking_back(ann_node* p, int64_t key) {
  ann_node* n = find_match(p, key);
  if (!n) return 0;
  unlink_node(n);
  return 1;
}

// A delete whose key lies within the stretch p, which the last lookup
// returned. A stretch holds at most one annotation of a key, and it is the
// last of its key in the list: whatever else the list gained of that key
// went before it, and cut the stretch there.
int delete_in_stretch(ann_node* p, int64_t key) {
  ann_stretch* s = p->stretch;
  if (p->key < key) {
    ann_stretch left = *s, right;
    split_stretch(&left, &annot, &right);
    if (key_of(&right.head) != key || !take_match(&right)) return 0;
    *s = left;
    if (right.count > 0) link_stretch(p, &right);
    return 1;
  }
  ann_stretch rest = *s;
  if (take_match(&rest)) {
    ann_node* before = p->prev;
    unlink_node(p);
    if (rest.count > 0) link_stretch(before, &rest);
    return 1;
  }
  return delete_walking_back(step_back(p), key);
}

}  // namespace

unsigned char* copy_aux(const unsigned char* aux) {
  size_t len = aux[0];
  unsigned char* copy = (unsigned char*)alloc_zeroed(len + 2, 1, "apthis->aux");
  if (copy) memcpy(copy, aux, len + 1);
  return copy;
}

bool same_aux(const unsigned char* a, const unsigned char* b) {
  if (!a || !b) return a == b;
  return a[0] == b[0] && memcmp(a + 1, b + 1, a[0]) == 0;
}

bool matches_annot(const ann_node* p) {
  return p->type == annot.type && p->subtype == annot.subtype && same_aux(p->aux, annot.aux);
}

int64_t make_key(int32_t time, uint8_t channel, int8_t number) {
  return place_of(time, channel, number);
}

void decode_key(int64_t key, nesk_ann* a) {
  a->time = (int32_t)(key >> 16);
  a->channel = (uint8_t)(key >> 8);
  a->number = (int8_t)((key & 0xff) - 128);
}

int init_annlist() {
  aphead = new_node("aphead");
  aptail = aphead;
  return aphead != nullptr;
}

int insert_ann() {
  ann_node* n = new_node("apthis");
  if (!n) return 0;
  n->key = make_key(annot.time, annot.channel, annot.number);
  n->type = annot.type;
  n->subtype = annot.subtype;
  if (annot.aux && annot.aux[0] && !(n->aux = copy_aux(annot.aux))) {
    release_node(n);
    return 0;
  }
  // The sentinel sorts before every key, a key of 0 or below included.
  // Where the place lies within a stretch, the stretch is cut there and its
  // rest linked after the new node; a stretch of a few is melted first.
  ann_node* p = find_before(n->key);
  bool within = is_stretch(p) && last_key(p) >= n->key;
  if (within && p->stretch->count <= melt_count && melt_stretch(p)) p = find_before(n->key);
  ann_stretch right;
  bool cut = is_stretch(p) && last_key(p) >= n->key;
  if (cut) split_stretch(p->stretch, &annot, &right);
  link_after(p, n);
  if (cut) link_stretch(n, &right);
  return 1;
}

int delete_ann() {
  int64_t key = make_key(annot.time, annot.channel, annot.number);
  ann_node* p = find_last(key);
  if (is_stretch(p) && last_key(p) >= key) {
    if (p->stretch->count > melt_count || !melt_stretch(p)) return delete_in_stretch(p, key);
    p = find_last(key);
  }
  return delete_walking_back(p, key);
}

int apply_ann(int verdict) { return verdict == 1 ? insert_ann() : delete_ann(); }

long load_annlist() {
  long loaded = 0;
  ann_stretch s;
  for (int r; (r = getstretch(0, &annot, &s)) >= 0;) {
    if (r == 0) {
      insert_ann();
      loaded++;
      continue;
    }
    // A stretch lies above everything loaded before it: it goes at the tail.
    link_stretch(find_before(key_of(&s.head)), &s);
    loaded += (long)s.count;
  }
  return loaded;
}

void write_annlist() {
  apply_queue();
  release_queue();
  for (ann_node* p = step_forward(aphead); p; p = step_forward(p)) {
    if (is_stretch(p)) {
      putstretch(0, p->stretch);
      continue;
    }
    decode_key(p->key, &annot);
    annot.type = (int8_t)p->type;
    annot.subtype = p->subtype;
    annot.aux = p->aux;
    putann(0, &annot);
    free(p->aux);
    annot.aux = nullptr;
  }
  release_index();
  release_nodes();
  aphead = aptail = nullptr;
}

void release_annlist() {
  release_queue();
  if (aphead) {
    for (ann_node* p = aphead; p; p = step_forward(p)) release_item(p);
  }
  release_index();
  release_nodes();
  aphead = aptail = nullptr;
}
