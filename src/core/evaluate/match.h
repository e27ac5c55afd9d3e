// Order-free matching of two collections: every entity is paired with the
// entity of the other collection that shares the most (dataset, record)
// items with it, whatever the positions.
#pragma once

#include "core/error.h"
#include "core/frame/frame.h"

#include <cstdint>
#include <string_view>
#include <vector>

namespace tessellar {

// How the other collection treats an entity.
enum class MatchKind : uint8_t {
    Exact,      // its best match holds exactly its items
    Split,      // two or more entities share its items, each holding nothing else
    Merged,     // one entity shares its items, holding all of them and more
    Partial,    // anything else that shares an item
    Unmatched,  // no entity shares an item
};

// For every entity of one collection, by position.
struct MatchColumns {
    std::vector<int64_t> match;    // the best match's index, -1 when nothing is shared
    std::vector<int64_t> shared;   // items it shares with the best match
    std::vector<double> jaccard;   // shared / items of the two together; 0 without a match
    std::vector<uint8_t> kind;     // a MatchKind
};

struct Matching {
    MatchColumns first;   // the first collection's entities against the second
    MatchColumns second;  // and the other way
};

// The best match is the entity sharing the most items, the lowest index
// among equals. KeyError for a missing collection.
Result<Matching> match_collections(const Frame& frame, std::string_view first, std::string_view second);

}  // namespace tessellar
