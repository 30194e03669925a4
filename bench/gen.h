// Records and edit logs for the benchmark.
#pragma once

#include <cstdint>
#include <string>

// Writes annotator "atr" of `record` in the working directory: n annotations
// in ascending time, a step of 150 to 250 samples apart, mostly type 1.
// Returns 0, or -1 when the file could not be written.
int generate_record(const std::string& record, int64_t n, uint64_t seed);

// What an edit log of the benchmark holds.
enum log_kind {
  // Half deletions of stored annotations anywhere in the record, half
  // insertions at random times, in random order.
  random_edits,
  // Insertions in ascending time.
  ascending_inserts,
  // Insertions and deletions at eight places of the record, of four values
  // (one never inserted): long runs of one place, with deletions that match
  // nothing and matches anywhere in the run.
  runs_at_places,
};

// Writes an edit log of `edits` entries of that kind for that record to
// `path`. Returns 0 or -1.
int generate_log(const std::string& path, const std::string& record, int64_t n, uint64_t seed,
                 int64_t edits, log_kind kind);
