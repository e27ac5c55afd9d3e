// The top-level container: one interner shared by everything in the frame,
// the declared datasets, and the named collections.
#pragma once

#include "core/collection/collection.h"
#include "core/collection/ingest.h"
#include "core/collection/name_map.h"
#include "core/interner/interner.h"
#include "core/error.h"

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
    // KeyError "Collection '<name>' not found" when absent.
    Result<Collection*> collection(std::string_view name);
    Result<const Collection*> collection(std::string_view name) const;
    // The collection lookup, then IndexError "Entity index out of range".
    Result<Entity*> entity(std::string_view collection_name, uint64_t index);
    Result<const Entity*> entity(std::string_view collection_name, uint64_t index) const;

    std::vector<std::string> collection_names() const;
    uint64_t total_entities() const noexcept;

private:
    StringInterner interner_;
    NameMap<Collection> collections_;
    DatasetTable datasets_;
};

}  // namespace tessellar
