// Python class EntityFrame.
#include "core/collection/batch_hash.h"
#include "python/tessellar/comparison.h"
#include "python/tessellar/hash_store.h"
#include "core/entity/canonical_hash.h"
#include "python/tessellar/entity_data.h"
#include "core/frame/frame.h"
#include "core/frame/summary.h"
#include "python/tessellar/classes.h"
#include "python/boundary/type_factory.h"

namespace tessellar::py {
namespace {

Frame make() { return Frame(); }

Result<Frame> with_datasets(std::vector<std::string> dataset_names) { return Frame::with_datasets(dataset_names); }

Result<uint32_t> declare_dataset(Frame& self, std::string_view dataset_name) {
    return self.declare_dataset(dataset_name);
}

Result<uint32_t> get_dataset_id(Frame& self, std::string_view dataset_name) {
    return self.get_dataset_id(dataset_name);
}

Result<std::string_view> get_dataset_name(const Frame& self, uint32_t dataset_id) {
    return self.get_dataset_name(dataset_id);
}

StringInterner interner(const Frame& self) { return self.interner(); }

Collection create_collection(const Frame&, std::string_view name) { return Collection(std::string(name)); }

void add_collection(Frame& self, std::string_view name, const Collection& collection) {
    self.add_collection(name, collection);
}

Status add_method(Frame& self, std::string_view method_name, EntityDataArg entity_data) {
    EntityData input;
    if (Status status = read_entity_data(entity_data.elements, self.interner(), input); !status) return status;
    Collection collection{std::string(method_name)};
    if (Status status = add_entities(collection, input.batch, self.interner(), self.datasets()); !status) {
        return status;
    }
    for (EntityData::MetadataEntry& entry : input.metadata) {
        collection.entities()[entry.entity].set_metadata(entry.key_id, std::move(entry.value));
    }
    self.add_collection(method_name, std::move(collection));
    return {};
}

std::vector<std::string> get_collection_names(const Frame& self) { return self.collection_names(); }

std::optional<Collection> get_collection(const Frame& self, std::string_view name) {
    if (const Collection* found = self.collections().find(name)) return *found;
    return std::nullopt;
}

Result<PyRef> compare_collections(const Frame& self, std::string_view name1, std::string_view name2) {
    auto first = self.collection(name1);
    if (!first) return std::unexpected(std::move(first.error()));
    auto second = self.collection(name2);
    if (!second) return std::unexpected(std::move(second.error()));
    return comparison_list(**first, **second);
}

uint64_t collection_count(const Frame& self) { return self.collections().size(); }

uint64_t total_entities(const Frame& self) { return self.total_entities(); }

uint64_t interner_size(const Frame& self) { return self.interner().size(); }

std::vector<std::string> get_dataset_names(const Frame& self) { return self.dataset_names(); }

Result<bool> entity_has_dataset(const Frame& self, std::string_view collection_name, uint64_t entity_index,
                                std::string_view dataset_name) {
    auto entity = self.entity(collection_name, entity_index);
    if (!entity) return std::unexpected(std::move(entity.error()));
    const uint32_t* dataset_id = self.datasets().find(dataset_name);
    return dataset_id && (*entity)->has_dataset(*dataset_id);
}

Status set_entity_metadata(Frame& self, std::string_view collection_name, uint64_t entity_index,
                           std::string_view key, PyObject* value) {
    auto entity = self.entity(collection_name, entity_index);
    if (!entity) return std::unexpected(std::move(entity.error()));
    auto key_id = self.interner().intern(key);
    if (!key_id) return std::unexpected(std::move(key_id.error()));
    (*entity)->set_metadata(*key_id, PyRef::borrow(value));
    return {};
}

Result<PyRef> get_entity_metadata(Frame& self, std::string_view collection_name, uint64_t entity_index,
                                  std::string_view key) {
    auto entity = self.entity(collection_name, entity_index);
    if (!entity) return std::unexpected(std::move(entity.error()));
    const auto key_id = self.interner().lookup(key);
    PyObject* value = key_id ? (*entity)->get_metadata(*key_id) : nullptr;
    return PyRef::borrow(value ? value : Py_None);
}

Result<Bytes> hash_entity(Frame& self, std::string_view collection_name, uint64_t entity_index,
                          std::string_view algorithm) {
    auto entity = self.entity(collection_name, entity_index);
    if (!entity) return std::unexpected(std::move(entity.error()));
    auto digest = deterministic_hash(**entity, self.interner(), algorithm);
    if (!digest) return std::unexpected(std::move(digest.error()));
    return Bytes{std::move(*digest)};
}

Result<PyRef> hash_collection(Frame& self, std::string_view collection_name, std::string_view algorithm) {
    auto collection = self.collection(collection_name);
    if (!collection) return std::unexpected(std::move(collection.error()));
    auto digests = tessellar::hash_all_entities(**collection, self.interner(), algorithm);
    if (!digests) return std::unexpected(std::move(digests.error()));
    return digest_list(*digests);
}

Result<PyRef> hash_all_entities(Frame& self, std::string_view algorithm) {
    PyRef result = PyRef::steal(PyDict_New());
    if (!result) return raised();
    for (const auto& [name, collection] : self.collections().entries()) {
        auto digests = tessellar::hash_all_entities(collection, self.interner(), algorithm);
        if (!digests) return std::unexpected(std::move(digests.error()));
        auto list = digest_list(*digests);
        if (!list) return list;
        PyRef key = to_python(name);
        if (!key || PyDict_SetItem(result.get(), key.get(), list->get()) != 0) return raised();
    }
    return result;
}

Status add_collection_hash(Frame& self, std::string_view collection_name, std::string_view algorithm) {
    auto collection = self.collection(collection_name);
    if (!collection) return std::unexpected(std::move(collection.error()));
    return add_hash(**collection, self.interner(), algorithm);
}

Result<bool> verify_collection_hashes(Frame& self, std::string_view collection_name, std::string_view algorithm) {
    auto collection = self.collection(collection_name);
    if (!collection) return std::unexpected(std::move(collection.error()));
    return verify_hashes(**collection, self.interner(), algorithm);
}

std::string summary(const Frame& self) { return render_summary(self, terminal_render_options()); }

int traverse(const Frame& self, visitproc visit, void* arg) {
    for (const auto& [name, collection] : self.collections().entries()) {
        for (const Entity& entity : collection.entities()) {
            if (int result = entity.visit_metadata(visit, arg)) return result;
        }
    }
    return 0;
}

void clear(Frame& self) {
    for (auto& [name, collection] : self.collections().entries()) {
        for (Entity& entity : collection.entities()) entity.clear_metadata();
    }
}

const ClassDef<Frame> kFrameClass = {
    .name = "EntityFrame",
    .signature = "()",
    .doc = "EntityFrame: A collection of CollectionCores with shared interner (like pandas DataFrame)",
    .constructor = constructor<&make>(),
    .members =
        {
            static_method<&with_datasets>("with_datasets", "(dataset_names)",
                                          "Create EntityFrame with pre-declared datasets for better performance."),
            method<Borrow::Exclusive, &declare_dataset>("declare_dataset", "($self, dataset_name)",
                                                        "Declare a dataset name upfront for efficient interning."),
            method<Borrow::Exclusive, &get_dataset_id>("get_dataset_id", "($self, dataset_name)",
                                                       "Get dataset ID from name (internal method)."),
            method<Borrow::Shared, &get_dataset_name>("get_dataset_name", "($self, dataset_id)",
                                                      "Get dataset name from ID (internal method)."),
            getter_of<&interner>("interner", "Get a reference to the shared interner"),
            method<Borrow::Shared, &create_collection>(
                "create_collection", "($self, name)",
                "Create a new collection that will use this frame's shared interner"),
            method<Borrow::Exclusive, &add_collection>(
                "add_collection", "($self, name, collection)",
                "Add a collection to the frame (simple - no ID remapping needed)"),
            method<Borrow::Exclusive, &add_method>("add_method", "($self, method_name, entity_data)",
                                                   "Create and add a collection with entity data in one step"),
            method<Borrow::Shared, &get_collection_names>("get_collection_names", "($self)",
                                                          "Get collection names in this frame"),
            method<Borrow::Shared, &get_collection>("get_collection", "($self, name)", "Get a collection by name"),
            method<Borrow::Shared, &compare_collections>("compare_collections", "($self, name1, name2)",
                                                         "Compare two collections and return similarities"),
            method<Borrow::Shared, &collection_count>("collection_count", "($self)",
                                                      "Get the number of collections in this frame"),
            method<Borrow::Shared, &total_entities>("total_entities", "($self)",
                                                    "Get the total number of entities across all collections"),
            method<Borrow::Shared, &interner_size>("interner_size", "($self)",
                                                   "Get the total number of unique strings in the interner"),
            method<Borrow::Shared, &get_dataset_names>("get_dataset_names", "($self)",
                                                       "Get all declared dataset names"),
            method<Borrow::Shared, &entity_has_dataset>(
                "entity_has_dataset", "($self, collection_name, entity_index, dataset_name)",
                "Check if an entity in a collection has a dataset (with proper name resolution)"),
            method<Borrow::Exclusive, &set_entity_metadata>(
                "set_entity_metadata", "($self, collection_name, entity_index, key, value)",
                "Set metadata on an entity"),
            method<Borrow::Exclusive, &get_entity_metadata>(
                "get_entity_metadata", "($self, collection_name, entity_index, key)", "Get metadata from an entity"),
            method<Borrow::Exclusive, &hash_entity>("hash_entity",
                                                    "($self, collection_name, entity_index, algorithm=\"sha256\")",
                                                    "Compute hash of an entity"),
            method<Borrow::Exclusive, &hash_collection>(
                "hash_collection", "($self, collection_name, algorithm=\"sha256\")",
                "Batch hash all entities in a collection for optimal performance"),
            method<Borrow::Exclusive, &hash_all_entities>("hash_all_entities", "($self, algorithm=\"sha256\")",
                                                          "Batch hash all entities across all collections"),
            method<Borrow::Exclusive, &add_collection_hash>("add_collection_hash",
                                                            "($self, collection_name, algorithm)",
                                                            "Add hashes to all entities in a collection by name"),
            method<Borrow::Exclusive, &verify_collection_hashes>(
                "verify_collection_hashes", "($self, collection_name, algorithm)",
                "Verify hashes for all entities in a collection by name"),
        },
    .traverse = &traverse,
    .clear = &clear,
    .extra_slots = {{Py_tp_str, reinterpret_cast<void*>(&call_unary_slot<&summary>)},
                    {Py_tp_repr, reinterpret_cast<void*>(&call_unary_slot<&summary>)}},
};

}  // namespace

PyTypeObject* create_frame_type(PyObject* module) { return create_type<Frame, kFrameClass>(module); }

}  // namespace tessellar::py
