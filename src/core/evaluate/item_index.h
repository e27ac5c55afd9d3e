// Which entities of a collection hold each (dataset, record) item.
//
// Record IDs are interner IDs, so a flat table indexed by record ID finds
// an item's holder with one memory access; in a partition nearly every
// record ID has a single holder, which the table keeps inline together with
// its dataset. Record IDs with several holders (the same string in two
// datasets, or an item in two entities) and IDs past the table go to a map.
#pragma once

#include "core/collection/collection.h"

#include <boost/container/small_vector.hpp>
#include <boost/unordered/unordered_flat_map.hpp>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace tessellar {

// An item held by two entities: `first` and `second`, first < second.
struct SharedItem {
    uint32_t dataset_id;
    uint32_t record_id;
    uint32_t first;
    uint32_t second;
};

class ItemIndex {
public:
    // Indexes every item of `collection`; record IDs below `table_size` (the
    // interner's size) use the flat table. Overflow when the collection has
    // 2^32 - 2 entities or more.
    static Result<ItemIndex> build(const Collection& collection, size_t table_size);

    size_t entity_count() const noexcept { return sizes_.size(); }
    // Items of an entity: its records summed over its datasets.
    uint64_t entity_size(uint32_t entity) const noexcept { return sizes_[entity]; }
    uint64_t item_count() const noexcept { return item_count_; }
    // Of the entities that hold an item an earlier entity holds, the first,
    // with that item and its earlier holder; none for a partition.
    const std::optional<SharedItem>& shared_item() const noexcept { return shared_item_; }

    // Calls visit(entity) for every entity holding the item, in index order.
    template <class Visit>
    void for_each_holder(uint32_t dataset_id, uint32_t record_id, Visit&& visit) const {
        if (record_id < slots_.size()) {
            const uint64_t slot = slots_[record_id];
            if (slot == kEmpty) return;
            if (slot != kMany) {
                if (static_cast<uint32_t>(slot >> 32) == dataset_id) visit(static_cast<uint32_t>(slot));
                return;
            }
        }
        const auto found = overflow_.find(key(dataset_id, record_id));
        if (found == overflow_.end()) return;
        for (const uint32_t entity : found->second) visit(entity);
    }

private:
    // A slot holds (dataset ID << 32 | entity index) of the record's only
    // holder, or one of these; entity indices stay below both.
    static constexpr uint64_t kEmpty = UINT64_MAX;
    static constexpr uint64_t kMany = UINT64_MAX - 1;

    static uint64_t key(uint32_t dataset_id, uint32_t record_id) noexcept {
        return uint64_t{record_id} << 32 | dataset_id;
    }
    void add(uint32_t dataset_id, uint32_t record_id, uint32_t entity);
    void add_to_overflow(uint32_t dataset_id, uint32_t record_id, uint32_t entity);

    std::vector<uint64_t> slots_;
    boost::unordered_flat_map<uint64_t, boost::container::small_vector<uint32_t, 2>> overflow_;
    std::vector<uint64_t> sizes_;
    uint64_t item_count_ = 0;
    std::optional<SharedItem> shared_item_;
};

// The indexes of two collections, built side by side on the pool.
Result<std::pair<ItemIndex, ItemIndex>> index_both(const Collection& first, const Collection& second,
                                                   size_t table_size);

}  // namespace tessellar
