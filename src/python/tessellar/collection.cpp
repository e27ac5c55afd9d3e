// Python class CollectionCore.
#include "core/collection/collection.h"
#include "core/collection/hash_store.h"
#include "python/boundary/type_factory.h"
#include "python/tessellar/classes.h"
#include "core/collection/compare.h"
#include "python/tessellar/results.h"
#include "python/tessellar/metadata.h"

namespace tessellar::py {
namespace {

Collection make(std::string_view process_name) { return Collection(std::string(process_name)); }

std::vector<Entity> get_entities(const Collection& self) { return self.entities(); }

std::string_view process_name(const Collection& self) { return self.process_name(); }

uint64_t len(const Collection& self) { return self.size(); }

bool is_empty(const Collection& self) { return self.empty(); }

uint64_t total_records(const Collection& self) { return self.total_records(); }

Result<Entity> get_entity(const Collection& self, uint64_t index) {
    auto entity = self.entity_at(index);
    if (!entity) return std::unexpected(std::move(entity.error()));
    return **entity;
}

PyResult<PyRef> compare_with(const Collection& self, const Collection& other) {
    auto comparison = compare(self, other);
    if (!comparison) return std::unexpected(std::move(comparison.error()));
    return comparison_list(*comparison);
}

// The entities, and the metadata values in them, are the store's to report.
int traverse(const Collection& self, visitproc visit, void* arg) {
    Py_VISIT(static_cast<PyObject*>(self.store()));
    return 0;
}

void clear(Collection& self) { self.release_entities(); }

const ClassDef<Collection> kCollectionClass = {
    .doc = "CollectionCore: A collection of entities from a single process (like pandas Series)\n"
           "Collections should only be created through EntityFrame.create_collection() to ensure shared interner",
    .constructor = constructor<&make>("process_name"),
    .members =
        {
            method<Borrow::Shared, &get_entities>("get_entities", "Get all entities in this collection"),
            getter_of<&process_name>("process_name", "Get the process name for this collection"),
            method<Borrow::Shared, &len>("len", "Get the number of entities in this collection"),
            method<Borrow::Shared, &is_empty>("is_empty", "Check if the collection is empty"),
            method<Borrow::Shared, &total_records>("total_records", "Get the total number of records across all entities"),
            method<Borrow::Shared, &get_entity>("get_entity", "Get an entity by index", "index"),
            method<Borrow::Shared, &compare_with>("compare_with", "Compare this collection with another collection entity-by-entity", "other"),
            method<Borrow::Exclusive, &add_hash>("add_hash", "Add hashes to all entities in this collection using optimized batch processing", "interner", "algorithm"),
            method<Borrow::Shared, &verify_hashes>("verify_hashes", "Verify hashes for all entities in this collection", "interner", "algorithm"),
        },
    .traverse = &traverse,
    .clear = &clear,
};

}  // namespace

template <>
const ClassDef<Collection>& class_def<Collection>() {
    return kCollectionClass;
}

}  // namespace tessellar::py
