// The entities of a collection, shared by its copies until one of them
// changes: copying a collection out of a frame, or into one, costs nothing,
// and the first write on either side takes a private copy first.
//
// Who holds a store is counted the binding's way, through StoreOps. For
// Python a store is an object of its own, which the cyclic collector sees:
// the metadata values inside are then reported by the one store that holds
// them, however many collections share it.
#pragma once

#include "core/entity/entity.h"

#include <vector>

namespace tessellar {

struct StoreOps {
    // A new, empty store with one holder; null when memory runs out.
    void* (*make)() noexcept;
    void (*retain)(void* store) noexcept;
    void (*release)(void* store) noexcept;
    // Whether more than one holder shares the store.
    bool (*shared)(void* store) noexcept;
    std::vector<Entity>& (*entities)(void* store) noexcept;
};

// Installed by the binding before the first store is made; until then the
// core counts holders itself.
void install_store_ops(const StoreOps& ops) noexcept;

class EntityStore {
public:
    EntityStore() noexcept = default;  // no entities, and no store yet
    EntityStore(const EntityStore& other) noexcept;  // shares
    EntityStore(EntityStore&& other) noexcept;
    EntityStore& operator=(EntityStore other) noexcept;
    ~EntityStore();

    const std::vector<Entity>& read() const noexcept;
    // The entities for changing, copied first when the store is shared.
    // Throws std::bad_alloc, leaving this one as it was.
    std::vector<Entity>& write();

    // The store, for the binding's traversal; null when there is none.
    void* handle() const noexcept { return store_; }

private:
    void* store_ = nullptr;
};

}  // namespace tessellar
