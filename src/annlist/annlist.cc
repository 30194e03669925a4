#include "annlist.h"

#include <cstdlib>
#include <cstring>

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
  n->prev->next = n->next;
  if (n->next)
    n->next->prev = n->prev;
  else
    aptail = n->prev;
  free(n->aux);
  free(n);
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
  aphead = (ann_node*)alloc_zeroed(1, sizeof(ann_node), "aphead");
  aptail = aphead;
  return aphead != nullptr;
}

int insert_ann() {
  ann_node* n = (ann_node*)alloc_zeroed(1, sizeof(ann_node), "apthis");
  if (!n) return 0;
  n->key = make_key(annot.time, annot.channel, annot.number);
  n->type = annot.type;
  n->subtype = annot.subtype;
  if (annot.aux && annot.aux[0] && !(n->aux = copy_aux(annot.aux))) {
    free(n);
    return 0;
  }
  // Walk from the tail: stored annotations arrive in ascending order, so each
  // of them stops at once. The walk stops at the sentinel whatever its key,
  // so a key of 0 or below is placed like any other.
  ann_node* p = aptail;
  while (p != aphead && p->key >= n->key) p = p->prev;
  n->prev = p;
  n->next = p->next;
  p->next = n;
  if (n->next)
    n->next->prev = n;
  else
    aptail = n;
  return 1;
}

int delete_ann() {
  int64_t key = make_key(annot.time, annot.channel, annot.number);
  for (ann_node* p = aptail; p != aphead && p->key >= key; p = p->prev) {
    if (p->key == key && p->type == annot.type && p->subtype == annot.subtype &&
        same_aux(p->aux, annot.aux)) {
      unlink_node(p);
      return 1;
    }
  }
  return 0;
}

void write_annlist() {
  ann_node* done = aphead;
  for (ann_node* p = aphead->next; p; p = p->next) {
    free(done);
    decode_key(p->key, &annot);
    annot.type = (int8_t)p->type;
    annot.subtype = p->subtype;
    annot.aux = p->aux;
    putann(0, &annot);
    free(p->aux);
    annot.aux = nullptr;
    done = p;
  }
  free(done);
  aphead = aptail = nullptr;
}

void release_annlist() {
  for (ann_node* p = aphead; p;) {
    ann_node* next = p->next;
    free(p->aux);
    free(p);
    p = next;
  }
  aphead = aptail = nullptr;
}
