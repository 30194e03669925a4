// List nodes come from large zero-filled chunks: one allocation for thousands
// of nodes, nodes close together in memory in the order they were made, and
// the whole list released at once.
#pragma once

#include "annlist.h"

// A zero-filled node, or null when memory ran out (reported as `what`).
ann_node* new_node(const char* what);

// Gives n back for reuse; its aux is the caller's to release.
void release_node(ann_node* n);

// Releases every node at once.
void release_nodes();
