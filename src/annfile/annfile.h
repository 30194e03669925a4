// The subcommands of annfile; each returns the program's exit status.
#pragma once

int dump_annotations(const char* prog, const char* record, const char* annotator);
int load_annotations(const char* prog, const char* record, const char* annotator);
int print_codes(const char* prog);

// Checks that everything written to standard output got there; returns 0, or
// 1 after a message naming the error.
int finish_stdout(const char* prog);
