// The index is an ordered map from keys to the last node of the run of that
// key, for some of the runs: every stretch's, and enough others that a
// lookup, one descent of the map to the last indexed node before its place,
// walks forward over a few nodes at most. A lookup that walks further
// indexes the place it found, so walks stay short wherever lookups go, while
// the nodes that edits add between lookups cost no entry, and a node that
// goes from within a run changes none. The index is built only when an
// operation lands far from the tail: sorted loads and edits near the end of
// the record never pay for it.
//
// A long run of one key has an index of its own, by value, so that a
// deletion in the run never walks it. An insertion goes before the whole run
// and a deletion takes the match nearest the tail, so the nodes of one value
// go first in, first out. They write the same bytes, though, so which of
// them goes matters not, only that one does: the annotation of a melted
// stretch, which ends its run, joins the index as if it were the newest.
#include <absl/container/btree_map.h>
#include <absl/container/flat_hash_map.h>
#include <absl/hash/hash.h>

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string_view>

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

using run_map = absl::btree_map<int64_t, ann_node*, std::less<int64_t>,
                                index_allocator<std::pair<const int64_t, ann_node*>>>;

// A short walk from the tail settles most operations while there is no
// index: stored annotations arrive in ascending order.
constexpr int tail_steps = 16;
// A lookup that walks further than this from its entry indexes its place.
constexpr int gap_steps = 1;
// A walk for a match that goes this far into a run indexes the run by value.
constexpr int long_run = 32;

run_map runs;
bool built;
// While lookups come in ascending order of key and there is no index, each
// walks forward from where the one before it ended, within an allowance of
// steps; lookups that spend it have the index built for the rest.
ann_node* cursor;
long allowance;
// The first entry whose key is above that of the place of the next change:
// the node the last lookup returned, the node last linked, or the node
// before the one last unlinked.
run_map::iterator at;

bool ends_run(const ann_node* n) {
  return !n->next || n->next->key != n->key;
}

void build_index() {
  int since = 0;  // nodes since the last one indexed
  for (ann_node* p = aphead->next; p; p = p->next) {
    steps_walked++;
    if (ends_run(p) && (p->type == stretch_node || since >= gap_steps)) {
      runs.emplace_hint(runs.end(), p->key, p);
      since = 0;
    } else {
      since++;
    }
  }
  built = true;
}

// Whether key k lies past `key`: above it, or with `before` not below it.
bool is_past(int64_t k, int64_t key, bool before) { return before ? k >= key : k > key; }

// The last node whose key is not past `key`, aphead when there is none.
ann_node* find_place(int64_t key, bool before) {
  if (cursor && !built) {
    // A batch of edits at the end of the record, as a log of insertions in
    // ascending order makes, walks nothing.
    if (aptail->key < key) return cursor = aptail;
    // The cursor stays at the last node below the key, so that a lookup of
    // the same key again, for a node before its run, finds it there.
    ann_node* p = cursor;
    for (; allowance > 0 && p->next && p->next->key < key; p = p->next) allowance--, steps_walked++;
    cursor = p;
    for (; allowance > 0 && !before && p->next && p->next->key == key; p = p->next)
      allowance--, steps_walked++;
    if (allowance > 0) return p;
    cursor = nullptr;
  }
  if (aptail == aphead || !is_past(aptail->key, key, before)) {
    if (built) at = runs.end();
    return aptail;
  }
  if (!built) {
    ann_node* p = aptail;
    for (int i = 0; i < tail_steps && p != aphead && is_past(p->key, key, before); i++) {
      p = p->prev;
      steps_walked++;
    }
    if (p == aphead || !is_past(p->key, key, before)) return p;
    build_index();
  }
  // The nodes between the entry before `at` and the one at it are in no
  // entry; the walk over them stops before the node of `at`, which is past
  // key.
  at = before ? runs.lower_bound(key) : runs.upper_bound(key);
  ann_node* p = at == runs.begin() ? aphead : std::prev(at)->second;
  int steps = 0;
  for (; p->next && !is_past(p->next->key, key, before); p = p->next) steps++;
  steps_walked += steps;
  // p ends its run, since the node after it is past key.
  if (steps > gap_steps) at = std::next(runs.insert(at, {p->key, p}));
  return p;
}

// The nodes of one value in one long run, nearest the tail first.
struct fifo {
  ann_node** nodes;
  size_t head, end, room;  // nodes[head, end) are in it
};

struct value_hash {
  size_t operator()(const ann_node* n) const {
    std::string_view aux;
    if (n->aux) aux = std::string_view((const char*)n->aux, n->aux[0] + 1u);
    return absl::HashOf(n->key, n->type, n->subtype, aux);
  }
};

struct same_value {
  bool operator()(const ann_node* a, const ann_node* b) const {
    return a->key == b->key && a->type == b->type && a->subtype == b->subtype &&
           same_aux(a->aux, b->aux);
  }
};

// Each fifo under its first node, which changes as its nodes go.
absl::flat_hash_map<ann_node*, fifo, value_hash, same_value,
                    index_allocator<std::pair<ann_node* const, fifo>>>
    fifos;
// The keys of the runs indexed by value, and how many nodes each has.
absl::flat_hash_map<int64_t, long, absl::Hash<int64_t>, std::equal_to<int64_t>,
                    index_allocator<std::pair<const int64_t, long>>>
    long_runs;

void push_node(fifo* f, ann_node* n) {
  if (f->end == f->room) {
    size_t kept = f->end - f->head;
    if (f->head > 0 && f->head >= kept) {
      memmove(f->nodes, f->nodes + f->head, kept * sizeof *f->nodes);
    } else {
      size_t room = f->room ? f->room * 2 : 4;
      ann_node** nodes = (ann_node**)alloc_zeroed(room, sizeof(ann_node*), "index");
      if (kept) memcpy(nodes, f->nodes + f->head, kept * sizeof *nodes);
      free(f->nodes);
      f->nodes = nodes;
      f->room = room;
    }
    f->head = 0;
    f->end = kept;
  }
  f->nodes[f->end++] = n;
}

// Adds n to the index of its run's values.
void add_to_run(ann_node* n) {
  auto it = fifos.find(n);
  if (it == fifos.end()) it = fifos.emplace(n, fifo{}).first;
  push_node(&it->second, n);
  long_runs[n->key]++;
}

// Takes n, the first node of its value, out of the index of its run.
void take_from_run(ann_node* n) {
  auto it = fifos.find(n);
  fifo f = it->second;
  fifos.erase(it);
  if (++f.head < f.end)
    fifos.emplace(f.nodes[f.head], f);
  else
    free(f.nodes);
  auto run = long_runs.find(n->key);
  if (--run->second == 0) long_runs.erase(run);
}

// Indexes by value the run of `key` whose last node is `last`: a walk from
// the tail meets each value's nodes first in, first out.
void index_run(ann_node* last, int64_t key) {
  for (ann_node* p = last; p != aphead && p->key == key; p = p->prev) {
    steps_walked++;
    add_to_run(p);
  }
}

// The first node of annot's value in the indexed run of `key`, or null.
ann_node* find_in_run(int64_t key) {
  ann_node probe = {};
  probe.key = key;
  probe.type = annot.type;
  probe.subtype = annot.subtype;
  probe.aux = annot.aux;
  auto it = fifos.find(&probe);
  return it == fifos.end() ? nullptr : it->first;
}

void release_runs() {
  for (auto& [n, f] : fifos) free(f.nodes);
  fifos.clear();
  long_runs.clear();
}

}  // namespace

ann_node* find_before(int64_t key) { return find_place(key, true); }

ann_node* find_last(int64_t key) { return find_place(key, false); }

ann_node* step_back(ann_node* p) {
  steps_walked++;
  return p->prev;
}

ann_node* find_match(ann_node* last, int64_t key) {
  if (!long_runs.empty() && long_runs.contains(key)) return find_in_run(key);
  int steps = 0;
  for (ann_node* p = last; p != aphead && p->key == key; p = step_back(p)) {
    if (matches_annot(p)) return p;
    if (++steps == long_run) {
      index_run(last, key);
      return find_in_run(key);
    }
  }
  return nullptr;
}

void note_linked(ann_node* n) {
  // n ends the run of the node before it, or goes before its run.
  bool ends = n->prev != aphead && n->prev->key == n->key;
  if (!long_runs.empty() && n->type != stretch_node && long_runs.contains(n->key)) add_to_run(n);
  if (!built) return;
  if (ends && at != runs.begin() && std::prev(at)->second == n->prev)
    std::prev(at)->second = n;
  else if (n->type == stretch_node)
    at = std::next(runs.insert(at, {n->key, n}));
  else if (at != runs.end() && at->first == n->key)
    ++at;
}

void note_unlinking(ann_node* n) {
  if (cursor == n) cursor = n->prev;
  if (!long_runs.empty() && n->type != stretch_node && long_runs.contains(n->key)) take_from_run(n);
  if (!built) return;
  bool ends = n->prev != aphead && n->prev->key == n->key;
  if (at != runs.begin() && std::prev(at)->second == n) {
    if (ends)
      std::prev(at)->second = n->prev;
    else
      at = runs.erase(std::prev(at));
  } else if (!ends && at != runs.begin() && std::prev(at)->first == n->key) {
    --at;
  }
}

ann_node* step_forward(ann_node* p) {
  static run_map::iterator ahead;
  constexpr int distance = 8;
  if (built) {
    if (p == aphead) {
      ahead = runs.begin();
      for (int i = 0; i < distance && ahead != runs.end(); i++) ++ahead;
    }
    if (ahead != runs.end()) {
      // A stretch node's stretch lies in the line after it.
      __builtin_prefetch(ahead->second);
      __builtin_prefetch((const char*)ahead->second + 64);
      ++ahead;
    }
  }
  return p->next;
}

void expect_ascending(long steps) {
  cursor = steps > 0 ? aphead : nullptr;
  allowance = steps;
}

void release_index() {
  cursor = nullptr;
  runs.clear();
  built = false;
  release_runs();
}
