// The ordered entities that one resolution process produced. Copies share
// the entities until one of them changes (see entity_store.h).
#pragma once

#include "core/collection/entity_store.h"
#include "core/entity/entity.h"
#include "core/error.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tessellar {

class Collection {
public:
    explicit Collection(std::string process_name) : process_name_(std::move(process_name)) {}

    const std::string& process_name() const noexcept { return process_name_; }
    // For changing the entities: a private copy first when they are shared,
    // so reading goes through the const overload. Throws std::bad_alloc.
    std::vector<Entity>& entities() { return entities_.write(); }
    const std::vector<Entity>& entities() const noexcept { return entities_.read(); }
    size_t size() const noexcept { return entities().size(); }
    bool empty() const noexcept { return entities().empty(); }
    // The shared store, for the binding's traversal; null when there is none.
    void* store() const noexcept { return entities_.handle(); }
    // Lets go of the entities, leaving the collection empty: for breaking
    // reference cycles through metadata.
    void release_entities() noexcept { entities_ = EntityStore(); }

    // IndexError "Entity index out of range" unless index < size().
    Result<Entity*> entity_at(uint64_t index);
    Result<const Entity*> entity_at(uint64_t index) const;

    // Sum over entities of their record totals.
    uint64_t total_records() const noexcept;

private:
    std::string process_name_;
    EntityStore entities_;
};

}  // namespace tessellar
