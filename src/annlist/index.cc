// The index cuts the list into segments of a few dozen nodes and keeps, in
// an ordered map, a fence per segment: its first node, that node's key and
// the segment's length. A lookup finds the fence in the map, small enough to
// stay in the cache, then walks at most one segment. The index is built only
// when an operation lands far from the tail: sorted loads and edits near the
// end of the record never pay for it.
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

struct fence {
  ann_node* node;  // the segment's first node; the head fence holds aphead
  int32_t count;   // nodes from `node` up to the next fence's node
};

// Fences in list order. Keys may repeat where a run of equal keys spans
// segments; a multimap keeps them in the order of their insertion hints.
using fence_map = absl::btree_multimap<int64_t, fence, std::less<int64_t>,
                                       index_allocator<std::pair<const int64_t, fence>>>;

constexpr int32_t segment_nodes = 16;      // a segment's length when made
constexpr int32_t segment_max = 2 * segment_nodes;
// A short walk from the tail settles most operations while there is no
// index: stored annotations arrive in ascending order.
constexpr int tail_steps = 16;
// Below every key a node can have, so the head fence comes first.
constexpr int64_t head_key = INT64_MIN;

fence_map fences;
bool built;
// The segment of the node the last lookup returned, and of the nodes a
// deletion then steps back to; valid until the index changes.
fence_map::iterator seg;

// The fences that prefetch_place found, for the lookups that follow a few
// entries later: they are reused while the map has not changed since (each
// change bumps the version), which saves a descent of the map per entry.
struct early_find {
  int64_t time_key;  // the key of (time, channel 0, number -128)
  uint64_t version;
  fence_map::iterator it;
};
constexpr unsigned early_finds = 16;  // more than the reader looks ahead
early_find early[early_finds];
unsigned early_next;
uint64_t version = 1;

void build_index() {
  auto last = fences.emplace_hint(fences.end(), head_key, fence{aphead, 0});
  int32_t count = 0;
  for (ann_node* p = aphead; p; p = p->next, count++) {
    if (count < segment_nodes) continue;
    last->second.count = count;
    last = fences.emplace_hint(fences.end(), p->key, fence{p, 0});
    count = 0;
  }
  last->second.count = count;
  built = true;
}

// Whether key k lies past `key`: above it, or with `before` not below it.
bool is_past(int64_t k, int64_t key, bool before) { return before ? k >= key : k > key; }

// Sets seg from an early find for the key's time, when one is still the
// fence that a lookup of `key` would find.
bool reuse_early(int64_t key, bool before) {
  int64_t time_key = key & ~(int64_t)0xffff;
  for (const early_find& e : early) {
    if (e.version != version || e.time_key != time_key) continue;
    auto next = std::next(e.it);
    if (!is_past(e.it->first, key, before) &&
        (next == fences.end() || is_past(next->first, key, before))) {
      seg = e.it;
      return true;
    }
  }
  return false;
}

// The last node whose key is not past `key`. The fence before that node is
// found in the map; the walk from it stops before the next fence, whose key
// is past `key`.
ann_node* walk_segment(int64_t key, bool before) {
  if (!built) build_index();
  if (!reuse_early(key, before))
    seg = std::prev(before ? fences.lower_bound(key) : fences.upper_bound(key));
  ann_node* p = seg->second.node;
  while (p->next && !is_past(p->next->key, key, before)) p = p->next;
  return p;
}

// The last node whose key is not past `key`, aphead when there is none.
ann_node* find_place(int64_t key, bool before) {
  if (aptail == aphead || !is_past(aptail->key, key, before)) {
    if (built) seg = std::prev(fences.end());
    return aptail;
  }
  if (!built) {
    ann_node* p = aptail;
    for (int i = 0; i < tail_steps && p != aphead && is_past(p->key, key, before); i++) p = p->prev;
    if (p == aphead || !is_past(p->key, key, before)) return p;
  }
  return walk_segment(key, before);
}

void split_segment(fence_map::iterator it) {
  ann_node* middle = it->second.node;
  for (int32_t i = 0; i < segment_nodes; i++) middle = middle->next;
  int32_t rest = it->second.count - segment_nodes;
  it->second.count = segment_nodes;
  fences.insert(std::next(it), {middle->key, fence{middle, rest}});
  version++;
}

}  // namespace

ann_node* find_before(int64_t key) { return find_place(key, true); }

ann_node* find_last(int64_t key) { return find_place(key, false); }

ann_node* step_back(ann_node* p) {
  if (built && p == seg->second.node) --seg;
  return p->prev;
}

void prefetch_place(int64_t key) {
  if (!built) return;
  auto it = std::prev(fences.lower_bound(key));
  early[early_next++ % early_finds] = {key & ~(int64_t)0xffff, version, it};
  // A segment's nodes mostly lie side by side in memory.
  const char* p = (const char*)it->second.node;
  for (size_t i = 0; i < segment_nodes * sizeof(ann_node); i += 64) __builtin_prefetch(p + i);
}

void note_linked(ann_node*) {
  if (!built) return;
  // The new node went right after the node that find_before returned.
  if (++seg->second.count > segment_max) split_segment(seg);
}

void note_unlinking(ann_node* n) {
  if (!built) return;
  int32_t left = --seg->second.count;
  if (n != seg->second.node) return;
  // The segment's first node goes: the next one heads it, if it has one.
  version++;
  auto next = fences.erase(seg);
  if (left > 0) fences.insert(next, {n->next->key, fence{n->next, left}});
}

void release_index() {
  version++;
  fences.clear();
  built = false;
}
