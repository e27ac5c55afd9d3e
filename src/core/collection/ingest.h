// Bulk ingestion: a batch of entities given as strings becomes entities of a
// collection, with every string interned in the frame's interner.
#pragma once

#include "core/collection/collection.h"
#include "core/collection/name_map.h"
#include "core/interner/interner.h"

#include <cstdint>
#include <string_view>
#include <vector>

namespace tessellar {

// Dataset name -> dataset ID (an ID of the frame's interner).
using DatasetTable = NameMap<uint32_t>;

// The strings of a batch of entities, as views that the caller keeps alive
// for the length of the ingestion. Flat, so that a batch of millions of
// entities costs a few large allocations.
class IngestBatch {
public:
    struct Dataset {
        std::string_view name;
        size_t first_record;  // into records()
        size_t record_count;
    };

    void start_entity() { entity_starts_.push_back(datasets_.size()); }
    void add_dataset(std::string_view name) { datasets_.push_back({name, records_.size(), 0}); }
    // Adds a record to the dataset added last.
    void add_record(std::string_view record) {
        records_.push_back(record);
        ++datasets_.back().record_count;
    }

    size_t entity_count() const noexcept { return entity_starts_.size(); }
    size_t record_count() const noexcept { return records_.size(); }
    std::span<const Dataset> datasets_of(size_t entity) const noexcept;
    std::span<const Dataset> datasets() const noexcept { return datasets_; }
    std::span<const std::string_view> records() const noexcept { return records_; }
    std::span<const std::string_view> records_of(const Dataset& dataset) const noexcept {
        return std::span(records_).subspan(dataset.first_record, dataset.record_count);
    }
    void reserve_records(size_t count) { records_.reserve(count); }

    // A metadata value for the entity started last.
    struct Metadata {
        size_t entity;
        uint32_t key_id;
        MetadataValue value;
    };
    void add_metadata(uint32_t key_id, MetadataValue value) {
        metadata_.push_back({entity_starts_.size() - 1, key_id, std::move(value)});
    }
    std::vector<Metadata>& metadata() noexcept { return metadata_; }

private:
    std::vector<size_t> entity_starts_;
    std::vector<Dataset> datasets_;
    std::vector<std::string_view> records_;
    std::vector<Metadata> metadata_;
};

// Appends one entity per entity of `batch`, in order, without its metadata.
// New dataset names are declared (interned and entered in `datasets`) before
// any record string is interned. Fails only when the interner runs out of
// IDs; throws std::bad_alloc when memory does. Either way what it interned
// and declared stays: Frame::add_method undoes it.
Status add_entities(Collection& collection, const IngestBatch& batch, StringInterner& interner,
                    DatasetTable& datasets);

}  // namespace tessellar
