#include "core/convert/record_groups.h"

#include <algorithm>
#include <cstring>

namespace tessellar {

namespace {

uint64_t mix(uint64_t a, uint64_t b) noexcept {
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
}

}  // namespace

// Eight bytes at a time with a 128-bit multiply: record IDs are short, and
// the table hashes every row of the input.
size_t RecordTable::Hash::operator()(const Record& record) const noexcept {
    constexpr uint64_t kOdd = 0x9E3779B97F4A7C15ULL, kOther = 0xD6E8FEB86659FD93ULL;
    const char* text = record.text.data();
    size_t left = record.text.size();
    uint64_t hash = mix(record.dataset ^ kOther, left ^ kOdd);
    for (; left >= 8; left -= 8, text += 8) {
        uint64_t word;
        std::memcpy(&word, text, 8);
        hash = mix(hash ^ word, kOdd);
    }
    if (left > 0) {
        uint64_t word = 0;
        std::memcpy(&word, text, left);
        hash = mix(hash ^ word, kOther);
    }
    return hash;
}

void RecordTable::reserve(size_t count) {
    records_.reserve(count);
    numbers_.reserve(count);
}

Result<uint32_t> RecordTable::number(uint32_t dataset, std::string_view text) {
    const Record record{dataset, text};
    if (const auto found = numbers_.find(record); found != numbers_.end()) return found->second;
    if (records_.size() >= UINT32_MAX) return fail(ErrorKind::Overflow, "More than 2^32 - 1 distinct records");
    const auto number = static_cast<uint32_t>(records_.size());
    records_.push_back(record);
    numbers_.emplace(record, number);
    return number;
}

void Components::grow(size_t count) {
    for (size_t record = parent_.size(); record < count; ++record) parent_.push_back(static_cast<uint32_t>(record));
}

uint32_t Components::root(uint32_t record) noexcept {
    while (parent_[record] != record) {
        parent_[record] = parent_[parent_[record]];  // path halving
        record = parent_[record];
    }
    return record;
}

void Components::link(uint32_t a, uint32_t b) noexcept {
    a = root(a);
    b = root(b);
    if (a < b) {
        parent_[b] = a;
    } else {
        parent_[a] = b;
    }
}

std::vector<uint32_t> Components::labels(size_t& count) {
    std::vector<uint32_t> label(parent_.size());
    count = 0;
    // Roots are least records, so a component's root comes before its others.
    for (uint32_t record = 0; record < parent_.size(); ++record) {
        const uint32_t top = root(record);
        label[record] = top == record ? static_cast<uint32_t>(count++) : label[top];
    }
    return label;
}

void fill_batch(const RecordTable& records, std::span<const uint32_t> group_of, size_t group_count,
                std::span<const std::string_view> dataset_names, IngestBatch& batch) {
    // Counting sort by group keeps each group's records in number order.
    std::vector<size_t> starts(group_count + 1);
    for (const uint32_t group : group_of) ++starts[group + 1];
    for (size_t group = 0; group < group_count; ++group) starts[group + 1] += starts[group];
    std::vector<uint32_t> order(group_of.size());
    std::vector<size_t> next(starts.begin(), starts.end() - 1);
    for (uint32_t record = 0; record < group_of.size(); ++record) order[next[group_of[record]]++] = record;

    batch.reserve_records(group_of.size());
    for (size_t group = 0; group < group_count; ++group) {
        const auto members = std::span(order).subspan(starts[group], starts[group + 1] - starts[group]);
        std::stable_sort(members.begin(), members.end(),
                         [&](uint32_t a, uint32_t b) { return records[a].dataset < records[b].dataset; });
        batch.start_entity();
        for (size_t i = 0; i < members.size(); ++i) {
            const RecordTable::Record& record = records[members[i]];
            if (i == 0 || records[members[i - 1]].dataset != record.dataset) {
                batch.add_dataset(dataset_names[record.dataset]);
            }
            batch.add_record(record.text);
        }
    }
}

}  // namespace tessellar
