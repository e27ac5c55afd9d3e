#include "core/frame/frame.h"

namespace tessellar {

namespace {

Error collection_not_found(std::string_view name) {
    return Error{ErrorKind::KeyError, "Collection '" + std::string(name) + "' not found"};
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
    auto id = interner_.intern(name);
    if (id) datasets_.put(name, *id);
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

}  // namespace tessellar
