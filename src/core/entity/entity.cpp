#include "core/entity/entity.h"

#include <boost/container/small_vector.hpp>

#include <algorithm>

namespace tessellar {

namespace {

// Words before each stored list: its dataset ID and its length.
constexpr size_t kListHeader = 2;

// A list of zero or one IDs says nothing the set does not already say, and
// needs no sorting at hash time.
bool worth_storing(const StringInterner::InternedGroup& group) { return group.by_string.size() > 1; }

// The stored orders, in ascending dataset ID like the records themselves.
std::unique_ptr<uint32_t[]> build_sorted_block(std::span<const StringInterner::InternedGroup* const> groups) {
    size_t words = 1;
    for (const auto* group : groups) {
        if (worth_storing(*group)) words += kListHeader + group->by_string.size();
    }
    if (words == 1) return nullptr;
    std::unique_ptr<uint32_t[]> block(new uint32_t[words]);
    block[0] = static_cast<uint32_t>(words);
    uint32_t* out = block.get() + 1;
    for (const auto* group : groups) {
        if (!worth_storing(*group)) continue;
        *out++ = group->dataset_id;
        *out++ = static_cast<uint32_t>(group->by_string.size());
        out = std::copy(group->by_string.begin(), group->by_string.end(), out);
    }
    return block;
}

bool by_dataset(const DatasetRecords& entry, uint32_t dataset_id) { return entry.dataset_id < dataset_id; }

template <class Entries>
auto find_entry(Entries& entries, uint32_t key) {
    return std::lower_bound(entries.begin(), entries.end(), key,
                            [](const auto& entry, uint32_t wanted) { return entry.first < wanted; });
}

}  // namespace

Entity Entity::from_interned(std::span<const StringInterner::InternedGroup> groups) {
    // Datasets are kept in ascending ID order, so that finding one is a
    // binary search and comparing two entities a single merge.
    boost::container::small_vector<const StringInterner::InternedGroup*, 4> ordered;
    for (const auto& group : groups) ordered.push_back(&group);
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const auto* a, const auto* b) { return a->dataset_id < b->dataset_id; });

    Entity entity;
    entity.records_.reserve(ordered.size());
    bool merged = false;
    for (const auto* group : ordered) {
        if (!entity.records_.empty() && entity.records_.back().dataset_id == group->dataset_id) {
            entity.records_.back().records.add_many(group->in_order);
            merged = true;
        } else {
            entity.records_.push_back({group->dataset_id, RecordSet(group->in_order)});
        }
    }
    if (!merged) entity.sorted_ = build_sorted_block(ordered);
    return entity;
}

Entity::Entity(const Entity& other) : records_(other.records_) {
    if (other.sorted_) {
        const uint32_t words = other.sorted_[0];
        sorted_.reset(new uint32_t[words]);
        std::copy_n(other.sorted_.get(), words, sorted_.get());
    }
    if (other.metadata_) metadata_ = std::make_unique<std::vector<std::pair<uint32_t, MetadataValue>>>(*other.metadata_);
}

Entity& Entity::operator=(const Entity& other) {
    if (this != &other) *this = Entity(other);
    return *this;
}

RecordSet& Entity::records_for(uint32_t dataset_id) {
    auto position = std::lower_bound(records_.begin(), records_.end(), dataset_id, by_dataset);
    if (position == records_.end() || position->dataset_id != dataset_id) {
        position = records_.insert(position, DatasetRecords{dataset_id, RecordSet()});
    }
    return position->records;
}

void Entity::add_record(uint32_t dataset_id, uint32_t record_id) {
    records_for(dataset_id).add(record_id);
    drop_sorted_records();
}

void Entity::add_records(uint32_t dataset_id, std::span<const uint32_t> record_ids) {
    records_for(dataset_id).add_many(record_ids);
    drop_sorted_records();
}

std::vector<uint32_t> Entity::dataset_ids() const {
    std::vector<uint32_t> ids;
    ids.reserve(records_.size());
    for (const auto& entry : records_) ids.push_back(entry.dataset_id);
    return ids;
}

const RecordSet* Entity::find(uint32_t dataset_id) const noexcept {
    const auto position = std::lower_bound(records_.begin(), records_.end(), dataset_id, by_dataset);
    return position != records_.end() && position->dataset_id == dataset_id ? &position->records : nullptr;
}

std::vector<uint32_t> Entity::records_of(uint32_t dataset_id) const {
    const RecordSet* set = find(dataset_id);
    return set ? set->to_vector() : std::vector<uint32_t>{};
}

uint64_t Entity::total_records() const noexcept {
    uint64_t total = 0;
    for (const auto& entry : records_) total += entry.records.cardinality();
    return total;
}

boost::container::small_vector<Entity::DatasetView, 4> Entity::dataset_views() const {
    boost::container::small_vector<DatasetView, 4> views;
    views.reserve(records_.size());
    const uint32_t* list = sorted_ ? sorted_.get() + 1 : nullptr;
    const uint32_t* end = sorted_ ? sorted_.get() + sorted_[0] : nullptr;
    for (const DatasetRecords& dataset : records_) {
        DatasetView view{&dataset, std::nullopt};
        // Both run in ascending dataset ID, the stored orders over a subset.
        if (list != end && list[0] == dataset.dataset_id) {
            view.sorted = std::span(list + kListHeader, list[1]);
            list += kListHeader + list[1];
        }
        views.push_back(view);
    }
    return views;
}

void Entity::set_metadata(uint32_t key_id, MetadataValue value) {
    if (!metadata_) metadata_ = std::make_unique<std::vector<std::pair<uint32_t, MetadataValue>>>();
    const auto position = find_entry(*metadata_, key_id);
    if (position != metadata_->end() && position->first == key_id) {
        // Released on return, once the entity is consistent again: the
        // release may run code of the binding's that looks at this entity.
        MetadataValue replaced = std::exchange(position->second, std::move(value));
        return;
    }
    metadata_->emplace(position, key_id, std::move(value));
}

const MetadataValue* Entity::get_metadata(uint32_t key_id) const noexcept {
    if (!metadata_) return nullptr;
    const auto position = find_entry(*metadata_, key_id);
    return position != metadata_->end() && position->first == key_id ? &position->second : nullptr;
}

bool Entity::has_metadata(uint32_t key_id) const noexcept {
    if (!metadata_) return false;
    const auto position = find_entry(*metadata_, key_id);
    return position != metadata_->end() && position->first == key_id;
}

std::vector<uint32_t> Entity::metadata_keys() const {
    std::vector<uint32_t> keys;
    if (!metadata_) return keys;
    keys.reserve(metadata_->size());
    for (const auto& entry : *metadata_) keys.push_back(entry.first);
    return keys;
}

void Entity::clear_metadata() noexcept {
    // Detach first: releasing the values may run code that looks at this
    // entity.
    auto released = std::move(metadata_);
}

}  // namespace tessellar
