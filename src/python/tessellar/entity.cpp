// Python class EntityCore.
#include "core/entity/entity.h"
#include "core/entity/similarity.h"
#include "core/hash/dataset_id.h"
#include "python/boundary/type_factory.h"
#include "python/tessellar/classes.h"
#include "python/tessellar/metadata.h"

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

void set_metadata(Entity& self, uint32_t key_id, PyObject* value) { self.set_metadata(key_id, metadata_of(value)); }

PyRef get_metadata_by_id(const Entity& self, uint32_t key_id) { return object_of(self.get_metadata(key_id)); }

bool has_metadata(const Entity& self, uint32_t key_id) { return self.has_metadata(key_id); }

void clear_metadata(Entity& self) { self.clear_metadata(); }

std::vector<uint32_t> get_metadata_keys(const Entity& self) { return self.metadata_keys(); }

int traverse(const Entity& self, visitproc visit, void* arg) { return visit_metadata(self, visit, arg); }

void clear(Entity& self) { self.clear_metadata(); }

const ClassDef<Entity> kEntityClass = {
    .doc = "Core entity representation using roaring bitmaps for record ID sets.\n"
           "Uses interned dataset IDs (u32) instead of strings for massive memory savings.",
    .constructor = constructor<&make>(),
    .members =
        {
            method<Borrow::Exclusive, &add_record_by_id>("add_record_by_id", "Add a record ID to a dataset using interned dataset ID (internal method).", "dataset_id", "record_id"),
            method<Borrow::Exclusive, &add_records_by_id>("add_records_by_id", "Add multiple record IDs to a dataset using interned dataset ID (internal method).", "dataset_id", "record_ids"),
            method<Borrow::Exclusive, &add_record>("add_record", "Add a record ID to a dataset (Python API - requires string lookup).", "dataset", "record_id"),
            method<Borrow::Exclusive, &add_records>("add_records", "Add multiple record IDs to a dataset (Python API - requires string lookup).", "dataset", "record_ids"),
            method<Borrow::Shared, &hash_dataset_name>("hash_dataset_name", "Simple hash function for dataset names (used in Python API).", "dataset"),
            method<Borrow::Shared, &get_records>("get_records", "Get record IDs for a dataset as a list (Python API).", "dataset"),
            method<Borrow::Shared, &get_records_by_id>("get_records_by_id", "Get record IDs for a dataset by ID (internal method).", "dataset_id"),
            method<Borrow::Shared, &get_dataset_ids>("get_dataset_ids", "Get all dataset IDs (internal method for performance)."),
            method<Borrow::Shared, &get_datasets>("get_datasets", "Get all dataset names (Python API - limited without interner context)."),
            method<Borrow::Shared, &has_dataset>("has_dataset", "Check if the entity contains records in a given dataset (Python API).", "dataset"),
            method<Borrow::Shared, &has_dataset_id>("has_dataset_id", "Check if the entity contains records for a dataset ID (internal method).", "dataset_id"),
            method<Borrow::Shared, &total_records>("total_records", "Get the total number of records across all datasets."),
            method<Borrow::Shared, &similarity>("jaccard_similarity", "Compute Jaccard similarity with another entity.", "other"),
            method<Borrow::Exclusive, &set_metadata>("set_metadata", "Set metadata for a key (requires interner for key interning).", "key_id", "value"),
            method<Borrow::Shared, &get_metadata_by_id>("get_metadata_by_id", "Get metadata by key ID (internal method).", "key_id"),
            method<Borrow::Shared, &has_metadata>("has_metadata", "Check if metadata key exists.", "key_id"),
            method<Borrow::Exclusive, &clear_metadata>("clear_metadata", "Clear all metadata."),
            method<Borrow::Shared, &get_metadata_keys>("get_metadata_keys", "Get all metadata keys."),
        },
    .traverse = &traverse,
    .clear = &clear,
};

}  // namespace

template <>
const ClassDef<Entity>& class_def<Entity>() {
    return kEntityClass;
}

}  // namespace tessellar::py
