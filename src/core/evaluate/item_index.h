// Which entities of a collection hold each (dataset, record) item.
//
// Record IDs are interner IDs, so a flat table indexed by record ID finds
// an item's holder with one memory access: in a partition nearly every
// record ID has a single holder, whose entity index the table keeps. A
// collection of several datasets also notes each slot's dataset. Record IDs
// with several holders (the same string in two datasets, or an item in two
// entities) and IDs past the table go to a map.
#pragma once

#include "core/collection/collection.h"

#include <boost/container/small_vector.hpp>
#include <boost/unordered/unordered_flat_map.hpp>

#include <cstdint>
#include <optional>
#include <span>
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
    // The Overflow that build() would report, if any.
    static Status check_size(const Collection& collection);

    size_t entity_count() const noexcept { return sizes_.size(); }
    // Items of an entity: its records summed over its datasets.
    uint64_t entity_size(uint32_t entity) const noexcept { return sizes_[entity]; }
    uint64_t item_count() const noexcept { return item_count_; }
    // Of the entities that hold an item an earlier entity holds, the first,
    // with that item and its earlier holder; none for a partition.
    const std::optional<SharedItem>& shared_item() const noexcept { return shared_item_; }

    class Lookup;
    Lookup lookup() const noexcept;

private:
    // A slot holds the entity index of the record's only holder, or one of
    // these; entity indices stay below both.
    static constexpr uint32_t kEmpty = UINT32_MAX;
    static constexpr uint32_t kMany = UINT32_MAX - 1;

    ItemIndex(size_t table_size, size_t entity_count) : slots_(table_size, kEmpty), sizes_(entity_count) {}
    static uint64_t key(uint32_t dataset_id, uint32_t record_id) noexcept {
        return uint64_t{record_id} << 32 | dataset_id;
    }
    uint32_t dataset_at(uint32_t record_id) const noexcept {
        return slot_datasets_.empty() ? only_dataset_ : slot_datasets_[record_id];
    }
    std::span<const uint32_t> overflow_holders(uint32_t dataset_id, uint32_t record_id) const;

    bool fill_concurrently(const std::vector<Entity>& entities);
    void note_datasets_concurrently(const std::vector<Entity>& entities);
    uint64_t filled_slots() const;
    void fill_in_order(const std::vector<Entity>& entities);
    void add_dataset(uint32_t dataset_id);
    void add(uint32_t dataset_id, uint32_t record_id, uint32_t entity);
    void add_to_overflow(uint32_t dataset_id, uint32_t record_id, uint32_t entity);

    std::vector<uint32_t> slots_;
    // Empty while every item is of only_dataset_.
    std::vector<uint32_t> slot_datasets_;
    uint32_t only_dataset_ = 0;
    bool any_dataset_ = false;
    boost::unordered_flat_map<uint64_t, boost::container::small_vector<uint32_t, 2>> overflow_;
    std::vector<uint64_t> sizes_;
    uint64_t item_count_ = 0;
    std::optional<SharedItem> shared_item_;
};

// Finds an item's holders. It holds the index's tables by value, so that a
// loop over many items keeps them in registers; valid while the index is.
class ItemIndex::Lookup {
public:
    // Calls visit(entity) for every entity holding the item, in index order;
    // whether there was any.
    template <class Visit>
    bool for_each_holder(uint32_t dataset_id, uint32_t record_id, Visit&& visit) const {
        const uint32_t slot = record_id < slots_.size() ? slots_[record_id] : kMany;
        if (slot < kMany) {
            if ((datasets_.empty() ? only_dataset_ : datasets_[record_id]) != dataset_id) return false;
            visit(slot);
            return true;
        }
        if (slot == kEmpty) return false;
        const auto holders = index_->overflow_holders(dataset_id, record_id);
        for (const uint32_t entity : holders) visit(entity);
        return !holders.empty();
    }

private:
    friend class ItemIndex;
    explicit Lookup(const ItemIndex& index) noexcept
        : index_(&index), slots_(index.slots_), datasets_(index.slot_datasets_), only_dataset_(index.only_dataset_) {}

    const ItemIndex* index_;
    std::span<const uint32_t> slots_;
    std::span<const uint32_t> datasets_;
    uint32_t only_dataset_;
};

inline ItemIndex::Lookup ItemIndex::lookup() const noexcept { return Lookup(*this); }

// The indexes of two collections, built side by side on the pool.
Result<std::pair<ItemIndex, ItemIndex>> index_both(const Collection& first, const Collection& second,
                                                   size_t table_size);

}  // namespace tessellar
