// The top-level container: one interner shared by everything in the frame,
// the declared datasets, and the named collections.
#pragma once

#include "core/collection/batch_hash.h"
#include "core/collection/collection.h"
#include "core/collection/compare.h"
#include "core/collection/ingest.h"
#include "core/collection/name_map.h"
#include "core/error.h"
#include "core/interner/interner.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tessellar {

class Frame {
public:
    Frame() = default;
    static Result<Frame> with_datasets(std::span<const std::string> names);

    StringInterner& interner() noexcept { return interner_; }
    const StringInterner& interner() const noexcept { return interner_; }
    DatasetTable& datasets() noexcept { return datasets_; }
    const DatasetTable& datasets() const noexcept { return datasets_; }
    NameMap<Collection>& collections() noexcept { return collections_; }
    const NameMap<Collection>& collections() const noexcept { return collections_; }

    // Interns the name (every call) and enters it among the datasets.
    Result<uint32_t> declare_dataset(std::string_view name);
    // The declared ID, declaring the name first when it is new.
    Result<uint32_t> get_dataset_id(std::string_view name);
    // Any interned string; IndexError "Invalid string ID" beyond the interner.
    Result<std::string_view> get_dataset_name(uint32_t id) const { return interner_.get_string(id); }
    std::vector<std::string> dataset_names() const;

    void add_collection(std::string_view name, Collection collection) {
        collections_.put(name, std::move(collection));
    }
    // Builds a collection named `name` from the batch, its entities' metadata
    // included, and stores it under that name. A failure (the interner out
    // of IDs, or std::bad_alloc) leaves the frame as it was before the call:
    // no collection, no dataset and no string added.
    Status add_method(std::string_view name, IngestBatch& batch);
    // KeyError "Collection '<name>' not found" when absent.
    Result<Collection*> collection(std::string_view name);
    Result<const Collection*> collection(std::string_view name) const;
    // The collection lookup, then IndexError "Entity index out of range".
    Result<Entity*> entity(std::string_view collection_name, uint64_t index);
    Result<const Entity*> entity(std::string_view collection_name, uint64_t index) const;

    std::vector<std::string> collection_names() const;
    uint64_t total_entities() const noexcept;

    // The operations on stored entities and collections, by name: each fails
    // with the collection lookup, then the entity index, before its own work.

    // False for a dataset name the frame never declared.
    Result<bool> entity_has_dataset(std::string_view collection_name, uint64_t index,
                                    std::string_view dataset_name) const;
    // Interns the key once the entity is found.
    Status set_entity_metadata(std::string_view collection_name, uint64_t index, std::string_view key,
                               MetadataValue value);
    // Null when the key was never interned or the entity has no value.
    Result<const MetadataValue*> entity_metadata(std::string_view collection_name, uint64_t index,
                                                 std::string_view key) const;

    Result<Comparison> compare(std::string_view name1, std::string_view name2) const;

    Result<std::vector<uint8_t>> hash_entity(std::string_view collection_name, uint64_t index,
                                             std::string_view algorithm);
    Result<DigestList> hash_collection(std::string_view collection_name, std::string_view algorithm);
    // Every collection's digests under its name in the frame, in map order.
    Result<std::vector<std::pair<std::string, DigestList>>> hash_all(std::string_view algorithm);
    Status add_collection_hash(std::string_view collection_name, std::string_view algorithm);
    Result<bool> verify_collection_hashes(std::string_view collection_name, std::string_view algorithm);

private:
    StringInterner interner_;
    NameMap<Collection> collections_;
    DatasetTable datasets_;
};

}  // namespace tessellar
