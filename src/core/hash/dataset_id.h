// Dataset IDs derived from dataset names, independent of any interner.
#pragma once

#include <cstdint>
#include <string_view>

namespace tessellar {

// The first four bytes of the unkeyed BLAKE3 digest of the name's UTF-8
// bytes, read little-endian. Distinct names may collide.
uint32_t name_derived_dataset_id(std::string_view name);

}  // namespace tessellar
