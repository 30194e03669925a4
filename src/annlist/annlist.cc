#include "annlist.h"

#include <cstdlib>
#include <cstring>

#include "locate.h"
#include "nodes.h"

nesk_ann annot;
ann_node* aphead;
ann_node* aptail;

namespace {

// The aux is held exactly as counted, zero bytes included, with a closing zero.
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

void unlink_node(ann_node* n) {
  note_unlinking(n);
  n->prev->next = n->next;
  if (n->next)
    n->next->prev = n->prev;
  else
    aptail = n->prev;
  free(n->aux);
  release_node(n);
}

}  // namespace

int64_t make_key(int32_t time, uint8_t channel, int8_t number) {
  return ((int64_t)time << 16) + ((int64_t)channel << 8) + (number + 128);
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
  ann_node* p = find_before(n->key);
  n->prev = p;
  n->next = p->next;
  p->next = n;
  if (n->next)
    n->next->prev = n;
  else
    aptail = n;
  note_linked(n);
  return 1;
}

int delete_ann() {
  int64_t key = make_key(annot.time, annot.channel, annot.number);
  for (ann_node* p = find_last(key); p != aphead && p->key == key; p = step_back(p)) {
    if (p->type == annot.type && p->subtype == annot.subtype &&
        same_aux(p->aux, annot.aux)) {
      unlink_node(p);
      return 1;
    }
  }
  return 0;
}

void write_annlist() {
  release_index();
  for (ann_node* p = aphead->next; p; p = p->next) {
    decode_key(p->key, &annot);
    annot.type = (int8_t)p->type;
    annot.subtype = p->subtype;
    annot.aux = p->aux;
    putann(0, &annot);
    free(p->aux);
    annot.aux = nullptr;
  }
  release_nodes();
  aphead = aptail = nullptr;
}

void release_annlist() {
  release_index();
  for (ann_node* p = aphead; p; p = p->next) free(p->aux);
  release_nodes();
  aphead = aptail = nullptr;
}
