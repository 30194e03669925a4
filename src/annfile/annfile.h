// The subcommands of annfile; each returns the program's exit status.
#pragma once

#include "annlib/annlib.h"

// Prints the annotations of RECORD.ANNOTATOR as lines of text, or as CSV
// (with the time in seconds as well when sps > 0).
int dump_annotations(const char* prog, bool csv, double sps, const char* record,
                     const char* annotator);

// Writes RECORD.ANNOTATOR from annotation text, or CSV, on standard input.
// The new file has the own codes listed in the file `codes`, or, without
// one, those of the annotator it replaces.
int load_annotations(const char* prog, const char* codes, bool csv, const char* record,
                     const char* annotator);

// Prints the built-in mnemonic table, or with a record and annotator (both
// or neither), that annotator's whole table, its own codes marked.
int print_codes(const char* prog, const char* record, const char* annotator);

// Gives annotator `annotator` of `record` the own codes listed in file
// `file`, its annotations unchanged; refuses a table that drops a code
// still in use.
int set_codes(const char* prog, const char* file, const char* record, const char* annotator);

// Reads a table of own codes from file `path` into *t: code TAB mnemonic TAB
// description a line, "#" lines and empty ones skipped, a built-in row
// accepted when it is the built-in one. Returns 0, or 1 after a message that
// names the file and the line.
int read_codes(const char* prog, const char* path, ann_codes* t);

// Reports what each edit log in files `logs` (standard input when there are
// none, or for "-") would do to its record, and where two of them would
// write the same file. The worst status of the logs': 0: every entry takes
// full effect; 1: findings; 2: annapply could not do its job, or the check
// itself failed.
int check_logs(const char* prog, int count, char** logs);

// Merges the edit logs in files `logs`, all of one record and annotator: on
// standard output one log against the stored annotator with every change
// the logs agree on, groups of places at most `window` samples apart taken
// together. 0: merged; 1: merged, conflicts left as stored; 2: trouble, and
// then nothing on standard output.
int merge_logs(const char* prog, long window, int count, char** logs);

// The file descriptor of edit log `log`: standard input (0) for null or
// "-", else the file opened, or -1 after a message.
int open_log(const char* prog, const char* log);

// How findings name log `log`: its path, or "<stdin>".
const char* log_name(const char* log);

// Prints an edit log that turns annotator `from` of `record` into `to`, with
// the frequency text sps in its header: by default the changes at each
// place, its annotations taken as a multiset; with `exact`, the fewest
// entries after which annapply writes `to` byte for byte. 0: no entries;
// 1: entries; 2: trouble, and then nothing on standard output.
int diff_annotators(const char* prog, const char* sps, bool exact, const char* record,
                    const char* from, const char* to);

// Checks that everything written to standard output got there; returns 0, or
// 1 after a message naming the error.
int finish_stdout(const char* prog);
