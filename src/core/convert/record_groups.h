// Entities from records given one row at a time, as resolution tools write
// them out: matched pairs, or a label per record. Records named by (dataset,
// text) get dense numbers in the order first seen; a grouping of the numbers
// (the connected components of the pairs, or the labels) becomes a batch
// for Frame::add_method.
#pragma once

#include "core/collection/ingest.h"
#include "core/error.h"

#include <boost/unordered/unordered_flat_map.hpp>

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace tessellar {

// Texts to dense numbers in order of first sight, for records (keyed by
// dataset number and text) or for anything named by text alone (dataset 0).
class RecordTable {
public:
    struct Record {
        uint32_t dataset;
        std::string_view text;
        bool operator==(const Record&) const = default;
    };

    void reserve(size_t count);
    // The record's number, adding it when new; Overflow past 2^32 - 1 records.
    Result<uint32_t> number(uint32_t dataset, std::string_view text);
    size_t size() const noexcept { return records_.size(); }
    const Record& operator[](uint32_t number) const noexcept { return records_[number]; }

private:
    struct Hash {
        using is_avalanching = void;  // mixed well enough for the table as it is
        size_t operator()(const Record& record) const noexcept;
    };
    std::vector<Record> records_;
    boost::unordered_flat_map<Record, uint32_t, Hash> numbers_;
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
