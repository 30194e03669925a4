// The list without its index: every place is found by walking from the tail.
// Linked only into the benchmark's annapply_tailwalk, to measure the index.
#include "annlist/locate.h"

ann_node* find_before(int64_t key) {
  ann_node* p = aptail;
  while (p != aphead && p->key >= key) p = step_back(p);
  return p;
}

ann_node* find_last(int64_t key) {
  ann_node* p = aptail;
  while (p != aphead && p->key > key) p = step_back(p);
  return p;
}

ann_node* step_back(ann_node* p) {
  steps_walked++;
  return p->prev;
}

ann_node* find_match(ann_node* last, int64_t key) {
  for (ann_node* p = last; p != aphead && p->key == key; p = step_back(p))
    if (matches_annot(p)) return p;
  return nullptr;
}

ann_node* step_forward(ann_node* p) { return p->next; }

void note_linked(ann_node*) {}
void note_unlinking(ann_node*) {}
void expect_ascending(long) {}
void release_index() {}
