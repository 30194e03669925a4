// The subcommands of annfile; each returns the program's exit status.
#pragma once

int dump_annotations(const char* prog, const char* record, const char* annotator);
int load_annotations(const char* prog, const char* record, const char* annotator);
int print_codes(const char* prog);

// Reports what the edit log in file `log` (standard input when null or "-")
// would do to its record. 0: every entry takes full effect; 1: findings;
// 2: annapply could not do its job, or the check itself failed.
int check_log(const char* prog, const char* log);

// Prints an edit log that turns annotator `from` of `record` into `to`, with
// the frequency text sps in its header. 0: no entries; 1: entries; 2: trouble,
// and then nothing on standard output.
int diff_annotators(const char* prog, const char* sps, const char* record, const char* from,
                    const char* to);

// Checks that everything written to standard output got there; returns 0, or
// 1 after a message naming the error.
int finish_stdout(const char* prog);
