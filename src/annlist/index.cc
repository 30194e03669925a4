// The index is an ordered map of every node of the list by key, in list
// order: a lookup is one descent of the map, never a walk of the list,
// whose nodes may lie anywhere in memory once edits have cut its stretches.
// It is built only when an operation lands far from the tail: sorted loads
// and edits near the end of the record never pay for it.
#include <absl/container/btree_map.h>

#include <cstdlib>
#include <iterator>

#include "locate.h"

namespace {

// Every allocation of the index goes through the system's one helper, so
// running out of memory ends the run with its message, never an exception.
template <typename T>
struct index_allocator {
  using value_type = T;
  index_allocator() = default;
  template <typename U>
  index_allocator(const index_allocator<U>&) {}
  T* allocate(size_t n) { return (T*)alloc_zeroed(n, sizeof(T), "index"); }
  void deallocate(T* p, size_t) { free(p); }
  bool operator==(const index_allocator&) const { return true; }
};

// Keys repeat in runs of equal keys; a multimap keeps them in the order of
// the hints they were inserted with, which is list order.
using node_map = absl::btree_multimap<int64_t, ann_node*, std::less<int64_t>,
                                      index_allocator<std::pair<const int64_t, ann_node*>>>;

// A short walk from the tail settles most operations while there is no
// index: stored annotations arrive in ascending order.
constexpr int tail_steps = 16;
// Below every key a node can have, so the sentinel comes first.
constexpr int64_t head_key = INT64_MIN;

node_map nodes_by_key;
bool built;
// The entry of the node the last lookup returned, of the node a deletion
// stepped back to, of the node last linked, or of the one before the node
// last unlinked: where the next change of the list takes place.
node_map::iterator at;

void build_index() {
  for (ann_node* p = aphead; p; p = p->next)
    nodes_by_key.emplace_hint(nodes_by_key.end(), p == aphead ? head_key : p->key, p);
  built = true;
}

// Whether key k lies past `key`: above it, or with `before` not below it.
bool is_past(int64_t k, int64_t key, bool before) { return before ? k >= key : k > key; }

// The last node whose key is not past `key`, aphead when there is none.
ann_node* find_place(int64_t key, bool before) {
  if (aptail == aphead || !is_past(aptail->key, key, before)) {
    if (built) at = std::prev(nodes_by_key.end());
    return aptail;
  }
  if (!built) {
    ann_node* p = aptail;
    for (int i = 0; i < tail_steps && p != aphead && is_past(p->key, key, before); i++) p = p->prev;
    if (p == aphead || !is_past(p->key, key, before)) return p;
    build_index();
  }
  at = std::prev(before ? nodes_by_key.lower_bound(key) : nodes_by_key.upper_bound(key));
  return at->second;
}

}  // namespace

ann_node* find_before(int64_t key) { return find_place(key, true); }

ann_node* find_last(int64_t key) { return find_place(key, false); }

ann_node* step_back(ann_node* p) {
  if (built) --at;
  return p->prev;
}

void note_linked(ann_node* n) {
  if (built) at = nodes_by_key.insert(std::next(at), {n->key, n});
}

void note_unlinking(ann_node*) {
  if (built) at = std::prev(nodes_by_key.erase(at));
}

ann_node* step_forward(ann_node* p) {
  static node_map::iterator ahead;
  constexpr int distance = 8;
  if (built) {
    if (p == aphead) {
      ahead = nodes_by_key.begin();
      for (int i = 0; i < distance && ahead != nodes_by_key.end(); i++) ++ahead;
    }
    if (ahead != nodes_by_key.end()) {
      // A stretch node's stretch lies in the line after it.
      __builtin_prefetch(ahead->second);
      __builtin_prefetch((const char*)ahead->second + 64);
      ++ahead;
    }
  }
  return p->next;
}

void release_index() {
  nodes_by_key.clear();
  built = false;
}
