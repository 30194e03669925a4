#include "nodes.h"

#include <cstdlib>

namespace {

constexpr size_t chunk_nodes = 4096;

struct chunk {
  chunk* older;
  ann_node nodes[chunk_nodes];
};

chunk* chunks;
size_t used = chunk_nodes;  // nodes handed out of the newest chunk
ann_node* spare;            // released nodes, linked through next

}  // namespace

ann_node* new_node(const char* what) {
  if (spare) {
    ann_node* n = spare;
    spare = n->next;
    *n = ann_node{};
    return n;
  }
  if (used == chunk_nodes) {
    chunk* c = (chunk*)alloc_zeroed(1, sizeof(chunk), what);
    if (!c) return nullptr;
    c->older = chunks;
    chunks = c;
    used = 0;
  }
  return &chunks->nodes[used++];
}

void release_node(ann_node* n) {
  n->next = spare;
  spare = n;
}

void release_nodes() {
  while (chunks) {
    chunk* c = chunks;
    chunks = c->older;
    free(c);
  }
  used = chunk_nodes;
  spare = nullptr;
}
