#include <cstring>

#include "annlib.h"

namespace {

// A mnemonic is never empty, never all digits and holds no white space, ","
// or "{", so that an edit log's type word can always be told from a number
// and from the fields around it.
const ann_code codes[] = {
    {1, "N", "normal event"},
    {2, "ART", "artifact"},
    {3, "NOISE", "noise on the signal"},
    {4, "ON", "onset of an episode"},
    {5, "OFF", "end of an episode"},
    {6, "PEAK", "local peak of the signal"},
    {7, "TROUGH", "local trough of the signal"},
    {8, "MARK", "marker set by a reviewer"},
    {9, "CAL", "calibration pulse"},
    {10, "EXT", "external event"},
    {11, "GAP", "gap in the signal"},
    {12, "START", "start of a recorded segment"},
    {13, "STOP", "end of a recorded segment"},
    {22, "NOTE", "free-text note (the text is in the aux)"},
};

}  // namespace

std::span<const ann_code> list_ann_codes() { return codes; }

int strann(const char* word) {
  for (const ann_code& c : codes)
    if (strcmp(word, c.mnemonic) == 0) return c.code;
  return 0;
}

const char* annstr(int code) {
  for (const ann_code& c : codes)
    if (c.code == code) return c.mnemonic;
  return nullptr;
}
