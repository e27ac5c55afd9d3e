// Python class CollectionCore.
#include "core/collection/collection.h"
#include "python/tessellar/comparison.h"
#include "python/tessellar/hash_store.h"
#include "python/tessellar/classes.h"
#include "python/boundary/type_factory.h"

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

Result<PyRef> compare_with(const Collection& self, const Collection& other) { return comparison_list(self, other); }

int traverse(const Collection& self, visitproc visit, void* arg) {
    for (const Entity& entity : self.entities()) {
        if (int result = entity.visit_metadata(visit, arg)) return result;
    }
    return 0;
}

void clear(Collection& self) {
    for (Entity& entity : self.entities()) entity.clear_metadata();
}

const ClassDef<Collection> kCollectionClass = {
    .name = "CollectionCore",
    .signature = "(process_name)",
    .doc = "CollectionCore: A collection of entities from a single process (like pandas Series)\n"
           "Collections should only be created through EntityFrame.create_collection() to ensure shared interner",
    .constructor = constructor<&make>(),
    .members =
        {
            method<Borrow::Shared, &get_entities>("get_entities", "($self)", "Get all entities in this collection"),
            getter_of<&process_name>("process_name", "Get the process name for this collection"),
            method<Borrow::Shared, &len>("len", "($self)", "Get the number of entities in this collection"),
            method<Borrow::Shared, &is_empty>("is_empty", "($self)", "Check if the collection is empty"),
            method<Borrow::Shared, &total_records>("total_records", "($self)",
                                                   "Get the total number of records across all entities"),
            method<Borrow::Shared, &get_entity>("get_entity", "($self, index)", "Get an entity by index"),
            method<Borrow::Shared, &compare_with>(
                "compare_with", "($self, other)", "Compare this collection with another collection entity-by-entity"),
            method<Borrow::Exclusive, &add_hash>(
                "add_hash", "($self, interner, algorithm)",
                "Add hashes to all entities in this collection using optimized batch processing"),
            method<Borrow::Shared, &verify_hashes>("verify_hashes", "($self, interner, algorithm)",
                                                   "Verify hashes for all entities in this collection"),
        },
    .traverse = &traverse,
    .clear = &clear,
};

}  // namespace

PyTypeObject* create_collection_type(PyObject* module) {
    return create_type<Collection, kCollectionClass>(module);
}

}  // namespace tessellar::py
