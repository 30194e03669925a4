// The edit-log header reader over arbitrary bytes: it either accepts, with a
// record name and an annotator name cut where the layout says, or refuses and
// keeps nothing. Memory errors and leaks are the sanitizers' to find.
#include <cstring>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  feed_log(data, size);
  if (parse_log_header()) {
    FUZZ_CHECK(record && annotator);
    // The record ends at the first ",", the annotator at the first space.
    FUZZ_CHECK(!strchr(record, ','));
    FUZZ_CHECK(!strchr(annotator, ' '));
    FUZZ_CHECK(strlen(record) + strlen(annotator) < sizeof logtext);
  } else {
    FUZZ_CHECK(!record && !annotator);
  }
  release_header();
  return 0;
}
