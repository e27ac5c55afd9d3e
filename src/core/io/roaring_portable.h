// Sets of 32-bit IDs in the Roaring portable serialization, the format
// every Roaring implementation reads and writes. Written and read here, not
// through the library: a reader that validates everything it is given, so
// that no file can hand the library a malformed bitmap.
#pragma once

#include "core/io/bytes.h"

#include <cstdint>
#include <span>
#include <vector>

namespace tessellar {

// Appends the serialization of `values` (ascending, no repeats). Each 2^16
// block of IDs takes the smallest container: an array, a bitset or runs.
void write_portable(std::span<const uint32_t> values, ByteWriter& out);

// Reads one serialization that fills `in` exactly, replacing `values` with
// its values in ascending order; a failure on `in` when it is malformed.
// Runs make a few bytes stand for many IDs: `budget` bounds the IDs a file
// may decode to, and is charged with each set's count before decoding.
void read_portable(ByteReader& in, std::vector<uint32_t>& values, uint64_t& budget);

}  // namespace tessellar
