#include "core/hash/dataset_id.h"

#include <blake3.h>

#include <array>

namespace tessellar {

uint32_t name_derived_dataset_id(std::string_view name) {
    blake3_hasher hasher;
    blake3_hasher_init(&hasher);
    blake3_hasher_update(&hasher, name.data(), name.size());
    std::array<uint8_t, 4> prefix;
    blake3_hasher_finalize(&hasher, prefix.data(), prefix.size());
    return uint32_t{prefix[0]} | uint32_t{prefix[1]} << 8 | uint32_t{prefix[2]} << 16 |
           uint32_t{prefix[3]} << 24;
}

}  // namespace tessellar
