#include "core/frame/frame.h"

#include "core/collection/hash_store.h"
#include "core/entity/canonical_hash.h"
#include "core/undo.h"

#include <utility>

namespace tessellar {

namespace {

Error collection_not_found(std::string_view name) {
    return Error{ErrorKind::NotFound, "Collection '" + std::string(name) + "' not found"};
}

}  // namespace

Result<Frame> Frame::with_datasets(std::span<const std::string> names) {
    Frame frame;
    for (const std::string& name : names) {
        if (auto id = frame.declare_dataset(name); !id) return std::unexpected(std::move(id.error()));
    }
    return frame;
}

Result<uint32_t> Frame::declare_dataset(std::string_view name) {
    const size_t strings = interner_.size();
    auto id = interner_.intern(name);
    if (!id) return id;
    UndoUnlessDone undo([&] { interner_.truncate(strings); });
    datasets_.put(name, *id);
    undo.done();
    return id;
}

Result<uint32_t> Frame::get_dataset_id(std::string_view name) {
    if (const uint32_t* id = datasets_.find(name)) return *id;
    return declare_dataset(name);
}

std::vector<std::string> Frame::dataset_names() const {
    std::vector<std::string> names;
    names.reserve(datasets_.size());
    for (const auto& [name, id] : datasets_.entries()) names.push_back(name);
    return names;
}

Result<Collection*> Frame::collection(std::string_view name) {
    if (Collection* found = collections_.find(name)) return found;
    return std::unexpected(collection_not_found(name));
}

Result<const Collection*> Frame::collection(std::string_view name) const {
    if (const Collection* found = collections_.find(name)) return found;
    return std::unexpected(collection_not_found(name));
}

Result<Entity*> Frame::entity(std::string_view collection_name, uint64_t index) {
    auto found = collection(collection_name);
    if (!found) return std::unexpected(std::move(found.error()));
    return (*found)->entity_at(index);
}

Result<const Entity*> Frame::entity(std::string_view collection_name, uint64_t index) const {
    auto found = collection(collection_name);
    if (!found) return std::unexpected(std::move(found.error()));
    return (*found)->entity_at(index);
}

std::vector<std::string> Frame::collection_names() const {
    std::vector<std::string> names;
    names.reserve(collections_.size());
    for (const auto& [name, collection] : collections_.entries()) names.push_back(name);
    return names;
}

uint64_t Frame::total_entities() const noexcept {
    uint64_t total = 0;
    for (const auto& [name, collection] : collections_.entries()) total += collection.size();
    return total;
}

Status Frame::add_method(std::string_view name, IngestBatch& batch) {
    const size_t strings = interner_.size(), declared = datasets_.size();
    UndoUnlessDone undo([&] {
        datasets_.truncate(declared);
        interner_.truncate(strings);
    });
    Collection collection{std::string(name)};
    if (Status status = add_entities(collection, batch, interner_, datasets_); !status) return status;
    for (IngestBatch::Metadata& entry : batch.metadata()) {
        collection.entities()[entry.entity].set_metadata(entry.key_id, std::move(entry.value));
    }
    collections_.put(name, std::move(collection));
    undo.done();
    return {};
}

Result<bool> Frame::entity_has_dataset(std::string_view collection_name, uint64_t index,
                                       std::string_view dataset_name) const {
    auto found = entity(collection_name, index);
    if (!found) return std::unexpected(std::move(found.error()));
    const uint32_t* dataset_id = datasets_.find(dataset_name);
    return dataset_id && (*found)->has_dataset(*dataset_id);
}

Status Frame::set_entity_metadata(std::string_view collection_name, uint64_t index, std::string_view key,
                                  MetadataValue value) {
    auto found = entity(collection_name, index);
    if (!found) return std::unexpected(std::move(found.error()));
    const size_t strings = interner_.size();
    auto key_id = interner_.intern(key);
    if (!key_id) return std::unexpected(std::move(key_id.error()));
    UndoUnlessDone undo([&] { interner_.truncate(strings); });
    (*found)->set_metadata(*key_id, std::move(value));
    undo.done();
    return {};
}

Result<const MetadataValue*> Frame::entity_metadata(std::string_view collection_name, uint64_t index,
                                                    std::string_view key) const {
    auto found = entity(collection_name, index);
    if (!found) return std::unexpected(std::move(found.error()));
    const auto key_id = interner_.lookup(key);
    return key_id ? (*found)->get_metadata(*key_id) : nullptr;
}

Result<Comparison> Frame::compare(std::string_view name1, std::string_view name2) const {
    auto first = collection(name1);
    if (!first) return std::unexpected(std::move(first.error()));
    auto second = collection(name2);
    if (!second) return std::unexpected(std::move(second.error()));
    return tessellar::compare(**first, **second);
}

Result<std::vector<uint8_t>> Frame::hash_entity(std::string_view collection_name, uint64_t index,
                                                std::string_view algorithm) {
    auto found = std::as_const(*this).entity(collection_name, index);
    if (!found) return std::unexpected(std::move(found.error()));
    return deterministic_hash(**found, interner_, algorithm);
}

Result<DigestList> Frame::hash_collection(std::string_view collection_name, std::string_view algorithm) {
    auto found = collection(collection_name);
    if (!found) return std::unexpected(std::move(found.error()));
    return hash_all_entities(**found, interner_, algorithm);
}

Result<std::vector<std::pair<std::string, DigestList>>> Frame::hash_all(std::string_view algorithm) {
    std::vector<std::pair<std::string, DigestList>> all;
    all.reserve(collections_.size());
    for (const auto& [name, stored] : collections_.entries()) {
        auto digests = hash_all_entities(stored, interner_, algorithm);
        if (!digests) return std::unexpected(std::move(digests.error()));
        all.emplace_back(name, std::move(*digests));
    }
    return all;
}

Status Frame::add_collection_hash(std::string_view collection_name, std::string_view algorithm) {
    auto found = collection(collection_name);
    if (!found) return std::unexpected(std::move(found.error()));
    return add_hash(**found, interner_, algorithm);
}

Result<bool> Frame::verify_collection_hashes(std::string_view collection_name, std::string_view algorithm) {
    auto found = collection(collection_name);
    if (!found) return std::unexpected(std::move(found.error()));
    return verify_hashes(**found, interner_, algorithm);
}

}  // namespace tessellar
