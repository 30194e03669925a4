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
// `path`. With `typed`, every inserted random edit names a type: of the
// record's own table when it has one (`own`), else built in. A different
// `salt` gives a different log of the same record. Returns 0 or -1.
int generate_log(const std::string& path, const std::string& record, int64_t n, uint64_t seed,
                 int64_t edits, log_kind kind, bool typed = false, bool own = false,
                 uint64_t salt = 0);
