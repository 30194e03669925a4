#include "nodes.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t chunk_slots = 4096;

// A stretch node and its stretch together: a lookup that lands on the node
// finds the stretch in the next cache line rather than anywhere in memory.
struct stretch_node_item {
  ann_node node;
  ann_stretch stretch;
};

// A stretch node takes this many node slots side by side, and gives them
// back as slots for nodes: where edits cut stretches to pieces and then
// delete them, the nodes they insert reuse what the pieces took.
constexpr size_t stretch_slots =
    (sizeof(stretch_node_item) + sizeof(ann_node) - 1) / sizeof(ann_node);

struct chunk {
  chunk* older;
  ann_node slots[chunk_slots];
};

chunk* chunks;
size_t used = chunk_slots;  // slots handed out of the newest chunk
// Slots given back, reused last in, first out, linked through their first bytes.
ann_node* spare;

void give_slot(ann_node* slot) {
  memcpy((void*)slot, &spare, sizeof spare);
  spare = slot;
}

// `count` zero-filled slots side by side, or null when memory ran out.
ann_node* take_slots(size_t count, const char* what) {
  if (count == 1 && spare) {
    ann_node* slot = spare;
    memcpy(&spare, (void*)slot, sizeof spare);
    memset((void*)slot, 0, sizeof *slot);
    return slot;
  }
  if (chunk_slots - used < count) {
    chunk* c = (chunk*)alloc_zeroed(1, sizeof(chunk), what);
    if (!c) return nullptr;
    while (chunks && used < chunk_slots) give_slot(&chunks->slots[used++]);
    c->older = chunks;
    chunks = c;
    used = 0;
  }
  used += count;
  return &chunks->slots[used - count];
}

}  // namespace

ann_node* new_node(const char* what) {
  return take_slots(1, what);
}

ann_node* new_stretch_node() {
  stretch_node_item* item = (stretch_node_item*)(void*)take_slots(stretch_slots, "apthis");
  if (!item) return nullptr;
  item->node.type = stretch_node;
  item->node.stretch = &item->stretch;
  return &item->node;
}

void release_node(ann_node* n) {
  size_t count = n->type == stretch_node ? stretch_slots : 1;
  for (size_t i = 0; i < count; i++) give_slot(n + i);
}

void release_nodes() {
  while (chunks) {
    chunk* c = chunks;
    chunks = c->older;
    free(c);
  }
  used = chunk_slots;
  spare = nullptr;
}
