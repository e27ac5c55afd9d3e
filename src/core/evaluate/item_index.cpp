#include "core/evaluate/item_index.h"

#include <tbb/parallel_invoke.h>

namespace tessellar {

Result<ItemIndex> ItemIndex::build(const Collection& collection, size_t table_size) {
    if (collection.size() >= kMany) return fail(ErrorKind::Overflow, "Too many entities to index");
    ItemIndex index;
    index.slots_.assign(table_size, kEmpty);
    index.sizes_.resize(collection.size());
    // In entity order, so that the first shared item found is the one
    // shared_item() promises.
    for (uint32_t entity = 0; entity < collection.size(); ++entity) {
        uint64_t size = 0;
        for (const DatasetRecords& dataset : collection.entities()[entity].datasets()) {
            dataset.records.for_each([&](uint32_t record) { index.add(dataset.dataset_id, record, entity); });
            size += dataset.records.cardinality();
        }
        index.sizes_[entity] = size;
        index.item_count_ += size;
    }
    return index;
}

void ItemIndex::add(uint32_t dataset_id, uint32_t record_id, uint32_t entity) {
    if (record_id < slots_.size()) {
        uint64_t& slot = slots_[record_id];
        if (slot == kEmpty) {
            slot = uint64_t{dataset_id} << 32 | entity;
            return;
        }
        if (slot != kMany) {
            // A second holder of this record ID: both move to the map.
            add_to_overflow(static_cast<uint32_t>(slot >> 32), record_id, static_cast<uint32_t>(slot));
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
