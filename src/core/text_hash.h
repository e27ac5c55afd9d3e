// Hashing and comparing the short texts the core looks up by the million:
// record IDs, dataset and collection names.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace tessellar {

// A hash made for short keys.
inline uint64_t hash_text(std::string_view text) noexcept { return XXH3_64bits(text.data(), text.size()); }

// Byte equality without a call for the texts of up to 16 bytes most lookups
// compare: two loads that overlap in the middle, never past either end.
inline bool equal_text(std::string_view a, std::string_view b) noexcept {
    const size_t size = a.size();
    if (size != b.size()) return false;
    const auto load8 = [](const char* p) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        return word;
    };
    const auto load4 = [](const char* p) {
        uint32_t word;
        std::memcpy(&word, p, 4);
        return word;
    };
    if (size >= 8 && size <= 16) {
        return load8(a.data()) == load8(b.data()) && load8(a.data() + size - 8) == load8(b.data() + size - 8);
    }
    if (size >= 4 && size < 8) {
        return load4(a.data()) == load4(b.data()) && load4(a.data() + size - 4) == load4(b.data() + size - 4);
    }
    return a == b;
}

}  // namespace tessellar
