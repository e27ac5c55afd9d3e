// One resolved entity: per dataset ID the set of its record IDs, the record
// order that ingestion computed for hashing, and optional metadata values.
//
// A frame holds millions of entities, most with one to three datasets and a
// handful of records, so every part is a flat, insertion-ordered array
// rather than a hash map.
//
// Reading never changes an entity: pool threads read entities concurrently.
// Anything touching metadata (setting, clearing, copying, destroying an
// entity that has some) is subject to the binding's rules for its values.
#pragma once

#include "core/entity/metadata.h"
#include "core/entity/record_set.h"
#include "core/interner/interner.h"

#include <boost/container/small_vector.hpp>
#include <boost/unordered/unordered_flat_map.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace tessellar {

struct DatasetRecords {
    uint32_t dataset_id;
    RecordSet records;
};

class Entity {
public:
    Entity() = default;
    // One entity from its interned record strings, one group per dataset.
    // Each group's IDs become the dataset's set; its by-string order is kept
    // for hashing (duplicates included) wherever it carries anything the set
    // cannot give without sorting. A dataset ID repeated across groups
    // merges into one set and, like any later addition, drops all orders.
    static Entity from_interned(std::span<const StringInterner::InternedGroup> groups);

    // Deep copy; metadata values are shared, each with a reference of its own.
    Entity(const Entity& other);
    Entity& operator=(const Entity& other);
    Entity(Entity&&) noexcept = default;
    Entity& operator=(Entity&&) noexcept = default;
    ~Entity() = default;

    // Both create the dataset entry when missing (also for no records) and
    // drop every stored order.
    void add_record(uint32_t dataset_id, uint32_t record_id);
    void add_records(uint32_t dataset_id, std::span<const uint32_t> record_ids);

    // Datasets in ascending ID order, except in an entity that was given more
    // than kFewDatasets datasets one at a time: those come in the order added.
    std::span<const DatasetRecords> datasets() const noexcept { return records_; }
    bool datasets_in_id_order() const noexcept { return !extras_ || extras_->positions.empty(); }
    std::vector<uint32_t> dataset_ids() const;
    bool has_dataset(uint32_t dataset_id) const noexcept { return find(dataset_id) != nullptr; }
    const RecordSet* find(uint32_t dataset_id) const noexcept;
    // Ascending; empty for an absent dataset.
    std::vector<uint32_t> records_of(uint32_t dataset_id) const;
    // Sum of the set sizes: a record in two datasets counts twice.
    uint64_t total_records() const noexcept;

    // Every dataset with its stored record order, if any, in one pass: the
    // dataset's record IDs in the order of their strings, duplicates kept,
    // when ingestion stored one; otherwise the set decides.
    struct DatasetView {
        const DatasetRecords* dataset;
        std::optional<std::span<const uint32_t>> sorted;
    };
    boost::container::small_vector<DatasetView, 4> dataset_views() const;

    // Stores `value` under `key_id`, releasing any value it replaces.
    void set_metadata(uint32_t key_id, MetadataValue value);
    // Makes room for one more value, so that the next set_metadata cannot
    // fail: for storing many values all or nothing.
    void make_room_for_metadata();
    // The stored value, or null when the key is absent.
    const MetadataValue* get_metadata(uint32_t key_id) const noexcept;
    bool has_metadata(uint32_t key_id) const noexcept;
    bool has_any_metadata() const noexcept { return extras_ && !extras_->metadata.empty(); }
    // Keys in ascending order.
    std::vector<uint32_t> metadata_keys() const;
    void clear_metadata() noexcept;
    // Calls `visit(handle)` on every stored value, stopping at the first
    // non-zero result, which it returns.
    template <class Visit>
    int visit_metadata(Visit&& visit) const {
        if (!extras_) return 0;
        for (const auto& entry : extras_->metadata) {
            if (const int result = visit(entry.second.handle())) return result;
        }
        return 0;
    }

    // Up to this many datasets an entity keeps them in ID order and finds
    // one by searching; past it, additions go to the end and a table finds
    // them, so that adding datasets in any order costs no more than adding
    // them in ascending order.
    static constexpr size_t kFewDatasets = 16;

private:
    // Runs add(set) on the dataset's set, creating the dataset when missing;
    // on failure the entity is as it was.
    template <class Add>
    void add_to(uint32_t dataset_id, Add add);
    void insert_dataset(uint32_t dataset_id, RecordSet records);
    void drop_sorted_records() noexcept { sorted_.reset(); }
    // Where the dataset is in records_, or records_.size().
    size_t position_of(uint32_t dataset_id) const noexcept;

    // What most entities do without: metadata, and the dataset table of
    // entities with many datasets added one at a time.
    struct Extras {
        std::vector<std::pair<uint32_t, MetadataValue>> metadata;  // by key ID, ascending
        boost::unordered_flat_map<uint32_t, uint32_t> positions;   // dataset ID -> index in records_
    };
    Extras& extras();

    std::vector<DatasetRecords> records_;
    // One block for all stored orders: the block's length in words, then per
    // dataset its ID, the list's length and the list. Null when none.
    std::unique_ptr<uint32_t[]> sorted_;
    std::unique_ptr<Extras> extras_;
};

}  // namespace tessellar
