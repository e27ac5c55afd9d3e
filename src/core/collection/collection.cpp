#include "core/collection/collection.h"

namespace tessellar {

Result<Entity*> Collection::entity_at(uint64_t index) {
    if (index >= size()) return fail(ErrorKind::OutOfRange, "Entity index out of range");
    return &entities()[index];
}

Result<const Entity*> Collection::entity_at(uint64_t index) const {
    if (index >= size()) return fail(ErrorKind::OutOfRange, "Entity index out of range");
    return &entities()[index];
}

uint64_t Collection::total_records() const noexcept {
    uint64_t total = 0;
    for (const Entity& entity : entities()) total += entity.total_records();
    return total;
}

}  // namespace tessellar
