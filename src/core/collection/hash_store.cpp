#include "core/collection/hash_store.h"

#include "core/collection/batch_hash.h"
#include "core/undo.h"

#include <algorithm>
#include <vector>

namespace tessellar {

Status add_hash(Collection& collection, StringInterner& interner, std::string_view algorithm) {
    auto digests = hash_all_entities(collection, interner, algorithm);
    if (!digests) return std::unexpected(std::move(digests.error()));
    // Every value exists before the first is stored, so running out of
    // memory leaves all entities as they were.
    std::vector<MetadataValue> values;
    values.reserve(digests->size());
    for (size_t index = 0; index < digests->size(); ++index) {
        values.push_back(metadata_ops().from_bytes((*digests)[index]));
        if (!values.back()) return fail(ErrorKind::OutOfMemory, "cannot store the digests");
    }
    const size_t strings = interner.size();
    auto key_id = interner.intern(kHashKey);
    if (!key_id) return std::unexpected(std::move(key_id.error()));
    UndoUnlessDone undo([&] { interner.truncate(strings); });
    std::vector<Entity>& entities = collection.entities();
    for (Entity& entity : entities) entity.make_room_for_metadata();
    undo.done();
    for (size_t index = 0; index < entities.size(); ++index) {
        entities[index].set_metadata(*key_id, std::move(values[index]));
    }
    return {};
}

Result<bool> verify_hashes(const Collection& collection, StringInterner& interner, std::string_view algorithm) {
    const size_t strings = interner.size();
    auto key_id = interner.intern(kHashKey);
    if (!key_id) return std::unexpected(std::move(key_id.error()));
    // Interning "hash" is part of every verification, but not of one that
    // ran out of memory.
    UndoUnlessDone undo([&] { interner.truncate(strings); });
    const std::vector<Entity>& entities = collection.entities();
    const auto has_stored = [key = *key_id](const Entity& entity) { return entity.has_metadata(key); };
    if (std::ranges::none_of(entities, has_stored)) {
        undo.done();
        return true;
    }

    auto digests = hash_all_entities(collection, interner, algorithm);
    undo.done();  // only running out of memory takes the key back
    if (!digests) return std::unexpected(std::move(digests.error()));
    for (size_t index = 0; index < entities.size(); ++index) {
        const MetadataValue* stored = entities[index].get_metadata(*key_id);
        if (!stored) continue;
        const auto bytes = metadata_ops().as_bytes(stored->handle());
        if (!bytes || !std::ranges::equal(*bytes, (*digests)[index])) return false;
    }
    return true;
}

}  // namespace tessellar
