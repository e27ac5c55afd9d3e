#include "core/evaluate/item_index.h"

#include "core/evaluate/chunks.h"

#include <tbb/parallel_invoke.h>
#include <tbb/parallel_reduce.h>

#include <algorithm>
#include <atomic>
#include <functional>

namespace tessellar {

Status ItemIndex::check_size(const Collection& collection) {
    if (collection.size() >= kMany) return fail(ErrorKind::Overflow, "Too many entities to index");
    return {};
}

Result<ItemIndex> ItemIndex::build(const Collection& collection, size_t table_size) {
    if (Status ok = check_size(collection); !ok) return std::unexpected(std::move(ok.error()));
    ItemIndex index(table_size, collection.size());
    if (index.fill_concurrently(collection.entities())) return index;
    ItemIndex ordered(table_size, collection.size());
    ordered.fill_in_order(collection.entities());
    return ordered;
}

// All chunks of entities write their slots at once. When no record ID is
// held twice, each slot is written once and the filled slots number the
// items; otherwise a slot may keep any of its holders, the count falls
// short, and the caller builds the index again in order.
bool ItemIndex::fill_concurrently(const std::vector<Entity>& entities) {
    struct Part {
        uint64_t items = 0;
        std::optional<uint32_t> dataset;  // the chunk's only dataset, if it has one
        bool several_datasets = false;
        bool past_table = false;
    };
    std::vector<Part> parts(chunk_count(entities.size()));
    for_each_chunk(entities.size(), [&](size_t chunk, size_t first, size_t last) {
        Part& part = parts[chunk];
        for (size_t entity = first; entity < last; ++entity) {
            uint64_t size = 0;
            for (const DatasetRecords& dataset : entities[entity].datasets()) {
                part.several_datasets = part.several_datasets || part.dataset.value_or(dataset.dataset_id) != dataset.dataset_id;
                part.dataset = dataset.dataset_id;
                dataset.records.for_each([&](uint32_t record) {
                    ++size;
                    if (record < slots_.size()) {
                        std::atomic_ref(slots_[record]).store(static_cast<uint32_t>(entity), std::memory_order_relaxed);
                    } else {
                        part.past_table = true;
                    }
                });
            }
            sizes_[entity] = size;
            part.items += size;
        }
    });
    bool several_datasets = false;
    for (const Part& part : parts) {
        if (part.past_table) return false;
        item_count_ += part.items;
        several_datasets = several_datasets || part.several_datasets ||
                           (part.dataset && any_dataset_ && *part.dataset != only_dataset_);
        if (part.dataset) only_dataset_ = *part.dataset, any_dataset_ = true;
    }
    if (several_datasets) note_datasets_concurrently(entities);
    return filled_slots() == item_count_;
}

void ItemIndex::note_datasets_concurrently(const std::vector<Entity>& entities) {
    slot_datasets_.assign(slots_.size(), 0);
    for_each_chunk(entities.size(), [&](size_t, size_t first, size_t last) {
        for (size_t entity = first; entity < last; ++entity) {
            for (const DatasetRecords& dataset : entities[entity].datasets()) {
                dataset.records.for_each([&](uint32_t record) {
                    std::atomic_ref(slot_datasets_[record]).store(dataset.dataset_id, std::memory_order_relaxed);
                });
            }
        }
    });
}

uint64_t ItemIndex::filled_slots() const {
    return tbb::parallel_reduce(
        tbb::blocked_range<size_t>(0, slots_.size(), 1 << 16), uint64_t{0},
        [&](const tbb::blocked_range<size_t>& range, uint64_t count) {
            return count + std::count_if(slots_.begin() + range.begin(), slots_.begin() + range.end(),
                                         [](uint32_t slot) { return slot != kEmpty; });
        },
        std::plus<>());
}

// In entity order, so that the first shared item found is the one
// shared_item() promises.
void ItemIndex::fill_in_order(const std::vector<Entity>& entities) {
    for (uint32_t entity = 0; entity < entities.size(); ++entity) {
        uint64_t size = 0;
        for (const DatasetRecords& dataset : entities[entity].datasets()) {
            add_dataset(dataset.dataset_id);
            dataset.records.for_each([&](uint32_t record) {
                ++size;
                if (record < slots_.size() && slots_[record] == kEmpty) {
                    slots_[record] = entity;
                    if (!slot_datasets_.empty()) slot_datasets_[record] = dataset.dataset_id;
                } else {
                    add(dataset.dataset_id, record, entity);
                }
            });
        }
        sizes_[entity] = size;
        item_count_ += size;
    }
}

std::span<const uint32_t> ItemIndex::overflow_holders(uint32_t dataset_id, uint32_t record_id) const {
    const auto found = overflow_.find(key(dataset_id, record_id));
    if (found == overflow_.end()) return {};
    return found->second;
}

void ItemIndex::add_dataset(uint32_t dataset_id) {
    if (!any_dataset_) {
        only_dataset_ = dataset_id;
        any_dataset_ = true;
    } else if (dataset_id != only_dataset_ && slot_datasets_.empty()) {
        // Every slot filled so far is of the one dataset seen until now.
        slot_datasets_.assign(slots_.size(), only_dataset_);
    }
}

// An item whose record ID is past the table or has a holder already.
void ItemIndex::add(uint32_t dataset_id, uint32_t record_id, uint32_t entity) {
    if (record_id < slots_.size()) {
        uint32_t& slot = slots_[record_id];
        if (slot != kMany) {
            // A second holder of this record ID: both move to the map.
            add_to_overflow(dataset_at(record_id), record_id, slot);
            slot = kMany;
        }
    }
    add_to_overflow(dataset_id, record_id, entity);
}

void ItemIndex::add_to_overflow(uint32_t dataset_id, uint32_t record_id, uint32_t entity) {
    auto& holders = overflow_[key(dataset_id, record_id)];
    if (!holders.empty() && !shared_item_) shared_item_ = SharedItem{dataset_id, record_id, holders.front(), entity};
    holders.push_back(entity);
}

Result<std::pair<ItemIndex, ItemIndex>> index_both(const Collection& first, const Collection& second,
                                                   size_t table_size) {
    std::optional<Result<ItemIndex>> a, b;
    tbb::parallel_invoke([&] { a = ItemIndex::build(first, table_size); },
                         [&] { b = ItemIndex::build(second, table_size); });
    if (!*a) return std::unexpected(std::move(a->error()));
    if (!*b) return std::unexpected(std::move(b->error()));
    return std::pair(std::move(**a), std::move(**b));
}

}  // namespace tessellar
