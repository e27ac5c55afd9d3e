// The entities of one collection that share items with an entity of
// another.
#pragma once

#include "core/entity/entity.h"
#include "core/evaluate/chunks.h"
#include "core/evaluate/item_index.h"

#include <cstdint>
#include <span>
#include <vector>

namespace tessellar {

struct Overlap {
    uint32_t entity;  // of the indexed collection
    uint64_t shared;  // items in common
};

// Scans entities against an index, reusing its buffers from one entity to
// the next. One per thread.
class OverlapScan {
public:
    explicit OverlapScan(const ItemIndex& index) : index_(index) {}

    // The indexed entities sharing items with `entity`, by ascending index.
    // Valid until the next scan.
    std::span<const Overlap> scan(const Entity& entity);
    // Items of the last scanned entity that some indexed entity holds.
    uint64_t found() const noexcept { return found_; }

private:
    const ItemIndex& index_;
    std::vector<Overlap> overlaps_;
    uint64_t found_ = 0;
};

}  // namespace tessellar
