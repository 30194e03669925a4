// Edits that wait, and are then applied a batch at a time in order of place.
// An edit touches only the run of its own key, so edits at different places
// never meet and those at one place keep their order: the list comes out as
// it would have, while the lookups, the cuts of stretches and the new nodes
// go through memory in order rather than anywhere.
#include <algorithm>
#include <cstdlib>

#include "annlist.h"
#include "locate.h"

namespace {

struct queued_edit {
  int64_t key;
  unsigned char* aux;  // owned; a present but empty aux is kept, as it matches nothing
  uint32_t order;      // within the batch
  int8_t type;
  int8_t subtype;
  int8_t verdict;  // 1 inserts, 2 deletes
};

queued_edit* batch;
uint32_t queued;

bool before(const queued_edit& a, const queued_edit& b) {
  return a.key != b.key ? a.key < b.key : a.order < b.order;
}

}  // namespace

uint32_t queue_room = 1 << 16;

void apply_queue() {
  if (queued == 0) return;
  // A log in order of place, as a new record's often is, needs no sorting.
  if (!std::is_sorted(batch, batch + queued, before)) std::sort(batch, batch + queued, before);
  nesk_ann kept = annot;
  // The walks between the edits of a batch may take 16 steps for each edit
  // it has room for, a million in all: a few milliseconds, as little as the
  // sorting takes.
  expect_ascending(16 * (long)queue_room);
  for (uint32_t i = 0; i < queued; i++) {
    queued_edit& e = batch[i];
    decode_key(e.key, &annot);
    annot.type = e.type;
    annot.subtype = e.subtype;
    annot.aux = e.aux;
    if (e.verdict == 1)
      insert_ann();
    else
      delete_ann();
    free(e.aux);
  }
  expect_ascending(0);
  annot = kept;
  queued = 0;
}

int queue_ann(int verdict) {
  if (!batch && !(batch = (queued_edit*)alloc_zeroed(queue_room, sizeof *batch, "the edits")))
    return 0;
  queued_edit e = {make_key(annot.time, annot.channel, annot.number), nullptr, queued,
                   annot.type, annot.subtype, (int8_t)verdict};
  if (annot.aux && !(e.aux = copy_aux(annot.aux))) return 0;
  batch[queued++] = e;
  if (queued == queue_room) apply_queue();
  return 1;
}

void release_queue() {
  for (uint32_t i = 0; i < queued; i++) free(batch[i].aux);
  free(batch);
  batch = nullptr;
  queued = 0;
}
