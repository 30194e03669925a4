#include "nodes.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t chunk_items = 4096;

// Items of one kind, handed out of chunks; released ones are reused last in,
// first out, linked through their first bytes.
template <typename T>
struct pool {
  struct chunk {
    chunk* older;
    T items[chunk_items];
  };
  chunk* chunks;
  size_t used = chunk_items;  // items handed out of the newest chunk
  T* spare;

  T* take(const char* what) {
    if (spare) {
      T* item = spare;
      memcpy(&spare, (void*)item, sizeof spare);
      *item = T{};
      return item;
    }
    if (used == chunk_items) {
      chunk* c = (chunk*)alloc_zeroed(1, sizeof(chunk), what);
      if (!c) return nullptr;
      c->older = chunks;
      chunks = c;
      used = 0;
    }
    return &chunks->items[used++];
  }

  void give(T* item) {
    memcpy((void*)item, &spare, sizeof spare);
    spare = item;
  }

  void release() {
    while (chunks) {
      chunk* c = chunks;
      chunks = c->older;
      free(c);
    }
    used = chunk_items;
    spare = nullptr;
  }
};

// A stretch node and its stretch together: a lookup that lands on the node
// finds the stretch in the next cache line rather than anywhere in memory.
struct stretch_node_item {
  ann_node node;
  ann_stretch stretch;
};

pool<ann_node> nodes;
pool<stretch_node_item> stretch_nodes;

}  // namespace

ann_node* new_node(const char* what) { return nodes.take(what); }

ann_node* new_stretch_node() {
  stretch_node_item* item = stretch_nodes.take("apthis");
  if (!item) return nullptr;
  item->node.type = stretch_node;
  item->node.stretch = &item->stretch;
  return &item->node;
}

void release_node(ann_node* n) {
  if (n->type == stretch_node)
    stretch_nodes.give((stretch_node_item*)n);
  else
    nodes.give(n);
}

void release_nodes() {
  nodes.release();
  stretch_nodes.release();
}
