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
    // An insertion sort: stable, and without the buffer std::stable_sort
    // would allocate for the one to three groups of a typical entity.
    boost::container::small_vector<const StringInterner::InternedGroup*, 4> ordered;
    for (const auto& group : groups) {
        auto position = ordered.end();
        while (position != ordered.begin() && (*(position - 1))->dataset_id > group.dataset_id) --position;
        ordered.insert(position, &group);
    }

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
    if (other.extras_) extras_ = std::make_unique<Extras>(*other.extras_);
}

Entity& Entity::operator=(const Entity& other) {
    if (this != &other) *this = Entity(other);
    return *this;
}

Entity::Extras& Entity::extras() {
    if (!extras_) extras_ = std::make_unique<Extras>();
    return *extras_;
}

size_t Entity::position_of(uint32_t dataset_id) const noexcept {
    if (!datasets_in_id_order()) {
        const auto found = extras_->positions.find(dataset_id);
        return found == extras_->positions.end() ? records_.size() : found->second;
    }
    const auto position = std::lower_bound(records_.begin(), records_.end(), dataset_id, by_dataset);
    return position != records_.end() && position->dataset_id == dataset_id ? position - records_.begin()
                                                                              : records_.size();
}

void Entity::insert_dataset(uint32_t dataset_id, RecordSet records) {
    if (records_.size() < kFewDatasets && datasets_in_id_order()) {
        const auto position = std::lower_bound(records_.begin(), records_.end(), dataset_id, by_dataset);
        records_.insert(position, DatasetRecords{dataset_id, std::move(records)});
        return;
    }
    // Everything that can fail happens before the entity changes.
    Extras& table = extras();
    const bool first = table.positions.empty();
    boost::unordered_flat_map<uint32_t, uint32_t> built;
    if (first) {
        built.reserve(records_.size() + 1);
        for (size_t i = 0; i < records_.size(); ++i) built.emplace(records_[i].dataset_id, static_cast<uint32_t>(i));
    }
    if (records_.size() == records_.capacity()) records_.reserve(2 * records_.size());
    (first ? built : table.positions).emplace(dataset_id, static_cast<uint32_t>(records_.size()));
    records_.push_back(DatasetRecords{dataset_id, std::move(records)});
    if (first) table.positions = std::move(built);
}

template <class Add>
void Entity::add_to(uint32_t dataset_id, Add add) {
    const size_t position = position_of(dataset_id);
    if (position < records_.size()) {
        add(records_[position].records);
    } else {
        // Filled before it joins the entity, so that a failure leaves the
        // entity as it was.
        RecordSet records;
        add(records);
        insert_dataset(dataset_id, std::move(records));
    }
    drop_sorted_records();
}

void Entity::add_record(uint32_t dataset_id, uint32_t record_id) {
    add_to(dataset_id, [record_id](RecordSet& records) { records.add(record_id); });
}

void Entity::add_records(uint32_t dataset_id, std::span<const uint32_t> record_ids) {
    add_to(dataset_id, [record_ids](RecordSet& records) { records.add_many(record_ids); });
}

std::vector<uint32_t> Entity::dataset_ids() const {
    std::vector<uint32_t> ids;
    ids.reserve(records_.size());
    for (const auto& entry : records_) ids.push_back(entry.dataset_id);
    return ids;
}

const RecordSet* Entity::find(uint32_t dataset_id) const noexcept {
    const size_t position = position_of(dataset_id);
    return position < records_.size() ? &records_[position].records : nullptr;
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
    auto& metadata = extras().metadata;
    const auto position = find_entry(metadata, key_id);
    if (position != metadata.end() && position->first == key_id) {
        // Released on return, once the entity is consistent again: the
        // release may run code of the binding's that looks at this entity.
        MetadataValue replaced = std::exchange(position->second, std::move(value));
        return;
    }
    metadata.emplace(position, key_id, std::move(value));
}

void Entity::make_room_for_metadata() {
    auto& metadata = extras().metadata;
    if (metadata.size() == metadata.capacity()) metadata.reserve(metadata.empty() ? 1 : 2 * metadata.size());
}

const MetadataValue* Entity::get_metadata(uint32_t key_id) const noexcept {
    if (!extras_) return nullptr;
    const auto& metadata = extras_->metadata;
    const auto position = find_entry(metadata, key_id);
    return position != metadata.end() && position->first == key_id ? &position->second : nullptr;
}

bool Entity::has_metadata(uint32_t key_id) const noexcept { return get_metadata(key_id) != nullptr; }

std::vector<uint32_t> Entity::metadata_keys() const {
    std::vector<uint32_t> keys;
    if (!extras_) return keys;
    keys.reserve(extras_->metadata.size());
    for (const auto& entry : extras_->metadata) keys.push_back(entry.first);
    return keys;
}

void Entity::clear_metadata() noexcept {
    if (!extras_) return;
    // Detach first: releasing the values may run code that looks at this
    // entity.
    auto released = std::move(extras_->metadata);
    extras_->metadata.clear();
}

}  // namespace tessellar
