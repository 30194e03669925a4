// List nodes, and the stretches that nodes hold, come from large zero-filled
// chunks: one allocation for thousands of them, close together in memory in
// the order they were made, and all of them released at once.
#pragma once

#include "annlist.h"

// A zero-filled node, or null when memory ran out (reported as `what`).
ann_node* new_node(const char* what);

// A zero-filled stretch node, its stretch beside it in memory, or null
// when memory ran out.
ann_node* new_stretch_node();

// Gives n back for reuse, a stretch node with its stretch; an aux is the
// caller's to release.
void release_node(ann_node* n);

// Releases every node and every stretch at once.
void release_nodes();
