// What changed between two fingerprinted versions of a resolution: the
// entities whose digest the other version lacks, both ways, whatever the
// order of the entities.
#pragma once

#include "core/collection/batch_hash.h"
#include "core/error.h"
#include "core/frame/frame.h"

#include <cstdint>
#include <string_view>
#include <vector>

namespace tessellar {

struct DigestDiff {
    std::vector<int64_t> added;    // positions in the newer list whose digest the older lacks
    std::vector<int64_t> removed;  // positions in the older list whose digest the newer lacks
};

// Bytes per digest; ValueError for an unsupported name.
Result<size_t> digest_size_of(std::string_view algorithm);

// Digests compare by their bytes; lists of different digest sizes share none.
DigestDiff diff_digests(const DigestList& newer, const DigestList& older);

// The digests of `collection` (as hash_all_entities computes them) against
// those of `other`, or against a list kept from an earlier run.
Result<DigestDiff> diff_collections(const Frame& frame, std::string_view collection, std::string_view other,
                                    std::string_view algorithm);
Result<DigestDiff> diff_against(const Frame& frame, std::string_view collection, const DigestList& older,
                                std::string_view algorithm);

}  // namespace tessellar
