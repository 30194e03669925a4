// Records and edit logs for the benchmark.
#pragma once

#include <cstdint>
#include <string>

// Writes annotator "atr" of `record` in the working directory: n annotations
// in ascending time, a step of 150 to 250 samples apart, mostly type 1.
// With `own`, the annotator has a table of every code the built-in table
// leaves free, and its annotations' types are spread over those codes.
// Returns 0, or -1 when the file could not be written.
int generate_record(const std::string& record, int64_t n, uint64_t seed, bool own = false);

// Writes an edit log for that record to `path`: `edits` entries, half of
// them deletions of stored annotations anywhere in the record, half
// insertions at random times, in random order. With `ascending`, instead,
// `edits` insertions in ascending time. With `typed`, every entry names a
// type: of the record's own table when it has one (`own`), else built in.
// Returns 0 or -1.
// A different `salt` gives a different log of the same record.
int generate_log(const std::string& path, const std::string& record, int64_t n, uint64_t seed,
                 int64_t edits, bool ascending, bool typed = false, bool own = false,
                 uint64_t salt = 0);
