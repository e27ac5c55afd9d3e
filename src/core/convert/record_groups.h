// Entities from records given one row at a time, as resolution tools write
// them out: matched pairs, or a label per record. Records named by (dataset,
// text) get dense numbers in the order first seen; a grouping of the numbers
// (the connected components of the pairs, or the labels) becomes a batch
// for Frame::add_method.
#pragma once

#include "core/collection/ingest.h"
#include "core/error.h"

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace tessellar {

// Texts to dense numbers in order of first sight, for records (keyed by
// dataset number and text) or for anything named by text alone (dataset 0).
//
// Columns of pairs name millions of records in no order, so nearly every
// lookup waits for memory. A lookup comes in steps, a few records apart:
// hashed() hashes the record once and asks for its slot, prefetch() asks for
// the record that slot names, and number() finds both in cache. The table's
// slots are 8 bytes, a tag of the hash and a number, so it stays small, and
// grows without reading a text again.
class RecordTable {
public:
    struct Record {
        uint32_t dataset;
        std::string_view text;
    };
    struct Hashed {
        Record record;
        uint64_t hash;
    };

    void reserve(size_t count);
    // Hashes the record and asks for its slot.
    Hashed hashed(uint32_t dataset, std::string_view text) const noexcept;
    // Once the slot is in: asks for the record it likely names.
    void prefetch(const Hashed& record) const noexcept;
    // The record's number, adding it when new; Overflow past 2^32 - 1 records.
    Result<uint32_t> number(const Hashed& record);
    Result<uint32_t> number(uint32_t dataset, std::string_view text) { return number(hashed(dataset, text)); }
    size_t size() const noexcept { return records_.size(); }
    const Record& operator[](uint32_t number) const noexcept { return records_[number]; }

private:
    // The tag is the hash's high half: the slot is its low bits, so growing
    // needs only the tags.
    static uint32_t tag_of(uint64_t hash) noexcept { return static_cast<uint32_t>(hash >> 32); }
    size_t slot_of(uint32_t tag) const noexcept { return tag & (slots_.size() - 1); }
    void grow_to(size_t slot_count);

    std::vector<Record> records_;
    std::vector<uint64_t> slots_;  // tag << 32 | (number + 1); 0 when empty
};

// Connected components of records linked in pairs (union-find).
class Components {
public:
    // Records up to `count` exist, each alone until linked.
    void grow(size_t count);
    void link(uint32_t a, uint32_t b) noexcept;
    // The component of every record, numbered in the order of each
    // component's first record; `count` receives the number of components.
    std::vector<uint32_t> labels(size_t& count);

private:
    uint32_t root(uint32_t record) noexcept;
    std::vector<uint32_t> parent_;  // a root is the least record of its component
};

// One entity per group, in group order: the group's records by dataset
// (datasets in number order, named by `dataset_names`), each dataset's
// records in number order.
void fill_batch(const RecordTable& records, std::span<const uint32_t> group_of, size_t group_count,
                std::span<const std::string_view> dataset_names, IngestBatch& batch);

}  // namespace tessellar
