// Python class EntityCore.
#include "core/entity/entity.h"
#include "core/entity/similarity.h"
#include "core/hash/dataset_id.h"
#include "python/tessellar/classes.h"
#include "python/boundary/type_factory.h"

#include <string>

namespace tessellar::py {
namespace {

Entity make() { return Entity(); }

void add_record_by_id(Entity& self, uint32_t dataset_id, uint32_t record_id) {
    self.add_record(dataset_id, record_id);
}

void add_records_by_id(Entity& self, uint32_t dataset_id, std::vector<uint32_t> record_ids) {
    self.add_records(dataset_id, record_ids);
}

void add_record(Entity& self, std::string_view dataset, uint32_t record_id) {
    self.add_record(name_derived_dataset_id(dataset), record_id);
}

void add_records(Entity& self, std::string_view dataset, std::vector<uint32_t> record_ids) {
    self.add_records(name_derived_dataset_id(dataset), record_ids);
}

uint32_t hash_dataset_name(const Entity&, std::string_view dataset) { return name_derived_dataset_id(dataset); }

std::vector<uint32_t> get_records(const Entity& self, std::string_view dataset) {
    return self.records_of(name_derived_dataset_id(dataset));
}

std::vector<uint32_t> get_records_by_id(const Entity& self, uint32_t dataset_id) {
    return self.records_of(dataset_id);
}

std::vector<uint32_t> get_dataset_ids(const Entity& self) { return self.dataset_ids(); }

// The entity knows no names: it can only describe its IDs.
std::vector<std::string> get_datasets(const Entity& self) {
    std::vector<std::string> names;
    for (uint32_t id : self.dataset_ids()) names.push_back("dataset_" + std::to_string(id));
    return names;
}

bool has_dataset(const Entity& self, std::string_view dataset) {
    return self.has_dataset(name_derived_dataset_id(dataset));
}

bool has_dataset_id(const Entity& self, uint32_t dataset_id) { return self.has_dataset(dataset_id); }

uint64_t total_records(const Entity& self) { return self.total_records(); }

double similarity(const Entity& self, const Entity& other) { return jaccard_similarity(self, other); }

void set_metadata(Entity& self, uint32_t key_id, PyObject* value) { self.set_metadata(key_id, PyRef::borrow(value)); }

PyRef get_metadata_by_id(const Entity& self, uint32_t key_id) {
    PyObject* value = self.get_metadata(key_id);
    return PyRef::borrow(value ? value : Py_None);
}

bool has_metadata(const Entity& self, uint32_t key_id) { return self.has_metadata(key_id); }

void clear_metadata(Entity& self) { self.clear_metadata(); }

std::vector<uint32_t> get_metadata_keys(const Entity& self) { return self.metadata_keys(); }

int traverse(const Entity& self, visitproc visit, void* arg) { return self.visit_metadata(visit, arg); }

void clear(Entity& self) { self.clear_metadata(); }

const ClassDef<Entity> kEntityClass = {
    .name = "EntityCore",
    .signature = "()",
    .doc = "Core entity representation using roaring bitmaps for record ID sets.\n"
           "Uses interned dataset IDs (u32) instead of strings for massive memory savings.",
    .constructor = constructor<&make>(),
    .members =
        {
            method<Borrow::Exclusive, &add_record_by_id>(
                "add_record_by_id", "($self, dataset_id, record_id)",
                "Add a record ID to a dataset using interned dataset ID (internal method)."),
            method<Borrow::Exclusive, &add_records_by_id>(
                "add_records_by_id", "($self, dataset_id, record_ids)",
                "Add multiple record IDs to a dataset using interned dataset ID (internal method)."),
            method<Borrow::Exclusive, &add_record>(
                "add_record", "($self, dataset, record_id)",
                "Add a record ID to a dataset (Python API - requires string lookup)."),
            method<Borrow::Exclusive, &add_records>(
                "add_records", "($self, dataset, record_ids)",
                "Add multiple record IDs to a dataset (Python API - requires string lookup)."),
            method<Borrow::Shared, &hash_dataset_name>("hash_dataset_name", "($self, dataset)",
                                                       "Simple hash function for dataset names (used in Python API)."),
            method<Borrow::Shared, &get_records>("get_records", "($self, dataset)",
                                                 "Get record IDs for a dataset as a list (Python API)."),
            method<Borrow::Shared, &get_records_by_id>("get_records_by_id", "($self, dataset_id)",
                                                       "Get record IDs for a dataset by ID (internal method)."),
            method<Borrow::Shared, &get_dataset_ids>("get_dataset_ids", "($self)",
                                                     "Get all dataset IDs (internal method for performance)."),
            method<Borrow::Shared, &get_datasets>(
                "get_datasets", "($self)", "Get all dataset names (Python API - limited without interner context)."),
            method<Borrow::Shared, &has_dataset>(
                "has_dataset", "($self, dataset)",
                "Check if the entity contains records in a given dataset (Python API)."),
            method<Borrow::Shared, &has_dataset_id>(
                "has_dataset_id", "($self, dataset_id)",
                "Check if the entity contains records for a dataset ID (internal method)."),
            method<Borrow::Shared, &total_records>("total_records", "($self)",
                                                   "Get the total number of records across all datasets."),
            method<Borrow::Shared, &similarity>("jaccard_similarity", "($self, other)",
                                                "Compute Jaccard similarity with another entity."),
            method<Borrow::Exclusive, &set_metadata>("set_metadata", "($self, key_id, value)",
                                                     "Set metadata for a key (requires interner for key interning)."),
            method<Borrow::Shared, &get_metadata_by_id>("get_metadata_by_id", "($self, key_id)",
                                                        "Get metadata by key ID (internal method)."),
            method<Borrow::Shared, &has_metadata>("has_metadata", "($self, key_id)", "Check if metadata key exists."),
            method<Borrow::Exclusive, &clear_metadata>("clear_metadata", "($self)", "Clear all metadata."),
            method<Borrow::Shared, &get_metadata_keys>("get_metadata_keys", "($self)", "Get all metadata keys."),
        },
    .traverse = &traverse,
    .clear = &clear,
};

}  // namespace

PyTypeObject* create_entity_type(PyObject* module) { return create_type<Entity, kEntityClass>(module); }

}  // namespace tessellar::py
