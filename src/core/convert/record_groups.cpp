#include "core/convert/record_groups.h"

#include "core/text_hash.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

namespace tessellar {

namespace {

constexpr size_t kLeastSlots = 64;
// Slot indices come from 32-bit tags: past this, the table fills up instead.
constexpr size_t kMostSlots = size_t{1} << 32;

// The table and the records are read at random, hundreds of megabytes of
// them for millions of records: on huge pages most lookups are spared a
// page-table walk. Called on room reserved but not yet touched.
template <class T>
void prefer_huge_pages(const std::vector<T>& room) noexcept {
    constexpr uintptr_t kPage = 4096;
    const auto begin = reinterpret_cast<uintptr_t>(room.data());
    const uintptr_t first = (begin + kPage - 1) & ~(kPage - 1), last = (begin + room.capacity() * sizeof(T)) & ~(kPage - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

bool same(const RecordTable::Record& a, const RecordTable::Record& b) noexcept {
    return a.dataset == b.dataset && (a.text.data() == b.text.data() ? a.text.size() == b.text.size()
                                                                      : equal_text(a.text, b.text));
}

}  // namespace

void RecordTable::reserve(size_t count) {
    if (count > records_.capacity()) {
        records_.reserve(count);
        prefer_huge_pages(records_);
    }
    size_t slots = kLeastSlots;
    while (slots < kMostSlots && slots < 2 * count) slots *= 2;
    if (slots > slots_.size()) grow_to(slots);
}

RecordTable::Hashed RecordTable::hashed(uint32_t dataset, std::string_view text) const noexcept {
    const uint64_t hash = hash_text(text) ^ (uint64_t{dataset} * 0x9E3779B97F4A7C15ULL);
    if (!slots_.empty()) __builtin_prefetch(&slots_[slot_of(tag_of(hash))]);
    return {{dataset, text}, hash};
}

void RecordTable::prefetch(const Hashed& record) const noexcept {
    if (slots_.empty()) return;
    const uint32_t tag = tag_of(record.hash);
    for (size_t at = slot_of(tag); slots_[at] != 0; at = (at + 1) & (slots_.size() - 1)) {
        if (static_cast<uint32_t>(slots_[at] >> 32) == tag) {
            __builtin_prefetch(&records_[static_cast<uint32_t>(slots_[at] - 1)]);
            return;
        }
    }
}

void RecordTable::grow_to(size_t slot_count) {
    std::vector<uint64_t> grown;
    grown.reserve(slot_count);
    prefer_huge_pages(grown);
    grown.resize(slot_count);
    std::vector<uint64_t> old = std::exchange(slots_, std::move(grown));
    for (const uint64_t slot : old) {
        if (slot == 0) continue;
        size_t at = slot_of(static_cast<uint32_t>(slot >> 32));
        while (slots_[at] != 0) at = (at + 1) & (slots_.size() - 1);
        slots_[at] = slot;
    }
}

Result<uint32_t> RecordTable::number(const Hashed& record) {
    if (2 * records_.size() >= slots_.size() && slots_.size() < kMostSlots) {
        grow_to(std::max(2 * slots_.size(), kLeastSlots));
    }
    const uint32_t tag = tag_of(record.hash);
    size_t at = slot_of(tag);
    for (; slots_[at] != 0; at = (at + 1) & (slots_.size() - 1)) {
        const uint64_t slot = slots_[at];
        if (static_cast<uint32_t>(slot >> 32) != tag) continue;
        const auto number = static_cast<uint32_t>(slot - 1);
        if (same(records_[number], record.record)) return number;
    }
    if (records_.size() >= UINT32_MAX) return fail(ErrorKind::Overflow, "More than 2^32 - 1 distinct records");
    const auto number = static_cast<uint32_t>(records_.size());
    records_.push_back(record.record);
    slots_[at] = uint64_t{tag} << 32 | (uint64_t{number} + 1);
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
