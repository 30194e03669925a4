// The subcommands of annfile; each returns the program's exit status.
#pragma once

int dump_annotations(const char* prog, const char* record, const char* annotator);
int load_annotations(const char* prog, const char* record, const char* annotator);
int print_codes(const char* prog);
