// The run's whole annotation set, in ascending order of time, channel and
// number: a doubly linked list behind a head sentinel.
#pragma once

#include <cstdint>

#include "annlib/annlib.h"

// The current annotation, the one record every part hands the next: the
// library's reader and the edit-log reader fill it, insert_ann and delete_ann
// read it, and the write-out fills it again for the library's writer.
extern nesk_ann annot;

// A node holds one annotation, or a stretch of the input file's annotations
// that comes out as the file holds it (annlib.h). A stretch's key is that of
// its first annotation; no other node's key falls within its keys.
struct ann_node {
  int64_t key;
  int32_t type;  // the 8-bit type code, or stretch_node
  int8_t subtype;
  union {
    unsigned char* aux;    // owned; never an aux of length 0
    ann_stretch* stretch;  // owned, in a stretch node
  };
  ann_node* next;  // toward the tail, larger keys
  ann_node* prev;  // toward the head
};

// The type of a stretch node: no type code, so no entry ever matches one.
constexpr int32_t stretch_node = 0x100;

// The head sentinel sorts before every annotation and is never written out;
// aptail is the last node, aphead itself while the list is empty.
extern ann_node* aphead;
extern ann_node* aptail;

// Packs time, channel and number so that one signed comparison orders by time,
// then channel, then number: time in bits 16 and up, channel in bits 8 to 15,
// number + 128 in bits 0 to 7.
int64_t make_key(int32_t time, uint8_t channel, int8_t number);

// Unpacks a key into a->time, a->channel and a->number.
void decode_key(int64_t key, nesk_ann* a);

// Creates the empty list. Returns 1, or 0 when the sentinel could not be had.
int init_annlist();

// Adds a copy of annot before every annotation with an equal key. Returns 1,
// or 0 when memory ran out (and nothing was added).
int insert_ann();

// Loads every annotation of input annotator 0 as insert_ann would, one by
// one, but takes the stretches the library finds whole. Returns how many
// annotations it loaded.
long load_annlist();

// Removes the annotation nearest the tail whose key, type, subtype and aux all
// equal annot's. Returns 1 when one was removed, 0 when none matched.
int delete_ann();

// Queues an insertion (verdict 1) or a deletion (verdict 2) of a copy of
// annot, for a caller that reads no result: queued edits are applied a batch
// at a time in order of place, and the list comes out as if each had been
// applied at once. Returns 1, or 0 when memory ran out (and nothing was
// queued).
int queue_ann(int verdict);

// How many edits a batch holds: enough that neighbouring edits of a batch lie
// close together in a long record, few enough that the batch takes little
// memory beside the list. Tests make it small.
extern uint32_t queue_room;

// Applies every queued edit; write_annlist does so first.
void apply_queue();

// Releases the queue with what it holds, applying none of it; write_annlist
// and release_annlist do so.
void release_queue();

// Inserts (verdict 1) or deletes (verdict 2) annot at once, as the list did
// before edits were queued; the benchmark's reference builds use it.
int apply_ann(int verdict);

// Hands every annotation, head to tail, to putann for output annotator 0 and
// releases the whole list, the sentinel included.
void write_annlist();

// Releases the whole list without writing it; safe on a list never created.
void release_annlist();
