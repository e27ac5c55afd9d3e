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

    // Datasets in ascending ID order.
    std::span<const DatasetRecords> datasets() const noexcept { return records_; }
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
    // The stored value, or null when the key is absent.
    const MetadataValue* get_metadata(uint32_t key_id) const noexcept;
    bool has_metadata(uint32_t key_id) const noexcept;
    bool has_any_metadata() const noexcept { return metadata_ != nullptr; }
    // Keys in ascending order.
    std::vector<uint32_t> metadata_keys() const;
    void clear_metadata() noexcept;
    // Calls `visit(handle)` on every stored value, stopping at the first
    // non-zero result, which it returns.
    template <class Visit>
    int visit_metadata(Visit&& visit) const {
        if (!metadata_) return 0;
        for (const auto& entry : *metadata_) {
            if (const int result = visit(entry.second.handle())) return result;
        }
        return 0;
    }

private:
    RecordSet& records_for(uint32_t dataset_id);
    void drop_sorted_records() noexcept { sorted_.reset(); }

    std::vector<DatasetRecords> records_;
    // One block for all stored orders: the block's length in words, then per
    // dataset its ID, the list's length and the list. Null when none.
    std::unique_ptr<uint32_t[]> sorted_;
    std::unique_ptr<std::vector<std::pair<uint32_t, MetadataValue>>> metadata_;
};

}  // namespace tessellar
