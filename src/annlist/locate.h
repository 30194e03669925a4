// Where in the list an insertion or a deletion takes place. The list calls
// these; index.cc answers them through an ordered index of the list, and a
// plain tail walk can stand in for it (the benchmark compares the two).
#pragma once

#include <cstdint>

#include "annlist.h"

// The last node whose key is below `key` (aphead when there is none): a new
// node with that key goes right after it, before every equal key.
ann_node* find_before(int64_t key);

// The last node whose key is not above `key` (aphead when there is none): a
// deletion walks back from it over the run of equal keys.
ann_node* find_last(int64_t key);

// The node before p, on a deletion's walk back from find_last.
ann_node* step_back(ann_node* p);

// The node of the run of `key` nearest the tail that annot matches, or null:
// `last` is the last node of the run that may match, as find_last or a step
// back from a stretch gave it.
ann_node* find_match(ann_node* last, int64_t key);

// Whether annot asks to delete the annotation of node p (its key aside).
bool matches_annot(const ann_node* p);

// A copy of a counted aux, held exactly as counted, zero bytes included,
// with a closing zero; null when memory ran out.
unsigned char* copy_aux(const unsigned char* aux);

// Whether two counted aux texts, or null for none, are the same.
bool same_aux(const unsigned char* a, const unsigned char* b);

// Keeps the index up to date: n has just been linked in right after what
// the last lookup returned or the last note_linked was told of, or is about
// to be unlinked after the lookup that found its run (find_last, then
// find_match or a step back); the next link then goes right after the node
// before it.
void note_linked(ann_node* n);
void note_unlinking(ann_node* n);

// The node after p, on a walk of the whole list from aphead, in order and
// changing nothing: with an index, the nodes a few steps further on are
// asked of memory early, since they may lie anywhere.
ann_node* step_forward(ann_node* p);

// Tells that the lookups to come, until expect_ascending(0), come in
// ascending order of key, so that each may walk on from where the one before
// it ended while the list has no index; once the walks have taken `steps`
// steps in all, the index is built and used instead. So a batch of queued
// edits builds no index where walking over the nodes between them costs
// little.
void expect_ascending(long steps);

// Forgets the whole index; the list may then be released or rebuilt.
void release_index();

// Nodes stepped over by the walks of lookups, of the index's building and
// of matches: the work the list did, which tests read.
extern long steps_walked;
