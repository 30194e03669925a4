// The fewest entries that turn one run of equal keys into another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// A run is a sequence of value ids (equal ids: equal type, subtype and aux;
// small numbers, since arrays are indexed by them); `from` as the list holds
// it after loading,
// `to` as it must end. An entry inserts before the whole run or deletes the
// last equal annotation, so what stays of `from` is, of each value, its first
// occurrences, and it must be what ends `to`. Returns the length of the
// longest such end of `to`: the fewest entries are then
// from.size() + to.size() - 2 * that length.
size_t find_kept_suffix(std::span<const uint32_t> from, std::span<const uint32_t> to);
