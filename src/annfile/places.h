// An annotator read place by place: its annotations in ascending order of
// time, channel and number, all those at one place together, whatever their
// order in the file. What two annotators hold alike in stretches is passed
// over as bytes, so comparing them costs little where they agree.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "annlib/annlib.h"

// What a delete entry must match of an annotation: its type, subtype and
// aux, as bytes (type, subtype, 1 and the aux's bytes, or type, subtype, 0).
std::string value_of(const nesk_ann* a, bool empty_aux_is_none);

// Fills *a from a place and a value (its aux into auxbuf, 257 bytes).
void annotation_of(int64_t place, const std::string& value, nesk_ann* a, unsigned char* auxbuf);

struct place_walk {
  struct single {
    int64_t place;
    nesk_ann ann;  // its aux left null: it lies in `auxes` at aux_at
    bool has_aux;
    size_t aux_at;
  };
  std::vector<ann_stretch> stretches;
  std::vector<single> singles;  // in ascending order of place, file order within one
  std::string auxes;
  size_t next_stretch = 0, next_single = 0;
  ann_stretch cur = {};  // the stretch being read; none when its count is 0
  bool singles_first = false;  // at a place, the singles come before a stretch's head
  // For a file: whether it holds its annotations in ascending order, and
  // when not, the first that is out of it and the place it came after.
  bool sorted = true;
  nesk_ann out_of_order = {};
  int64_t came_after = 0;
};

// Reads input annotator 0, just opened, whole into *w: its stretches as they
// lie in the file, everything else one annotation at a time.
void read_walk(place_walk* w);

// Takes the list as it stands into *w, stretches whole: the result of the
// edits applied to it.
void list_walk(place_walk* w);

// The place of w's next annotation, INT64_MAX when there is none.
int64_t next_place(const place_walk* w);

// Takes every annotation at `place` out of w, appending their values to *out:
// in file order for a file, in list order for a list.
void take_place(place_walk* w, int64_t place, bool empty_aux_is_none, std::vector<std::string>* out);

// Passes over what a and b hold alike from where both stand: places where
// each holds one annotation, the same, in a stretch. Returns how many.
uint64_t skip_shared(place_walk* a, place_walk* b);
