// Records and edit logs for the benchmark.
#pragma once

#include <cstdint>
#include <string>

// Writes annotator "atr" of `record` in the working directory: n annotations
// in ascending time, a step of 150 to 250 samples apart, mostly type 1.
// Returns 0, or -1 when the file could not be written.
int generate_record(const std::string& record, int64_t n, uint64_t seed);

// Writes an edit log for that record to `path`: `edits` entries, half of
// them deletions of stored annotations anywhere in the record, half
// insertions at random times, in random order. With `ascending`, instead,
// `edits` insertions in ascending time. Returns 0 or -1.
int generate_log(const std::string& path, const std::string& record, int64_t n, uint64_t seed,
                 int64_t edits, bool ascending);
