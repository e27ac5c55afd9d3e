// Python class EntityFrame.
#include "core/frame/frame.h"
#include "core/frame/summary.h"
#include "python/boundary/type_factory.h"
#include "python/tessellar/classes.h"
#include "python/tessellar/entity_data.h"
#include "python/tessellar/metadata.h"
#include "python/tessellar/results.h"

#include <sys/ioctl.h>
#include <unistd.h>

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

// Conversion first, which interns the metadata keys as it meets them; then
// the frame builds and stores the collection, all or nothing.
PyStatus add_method(Frame& self, std::string_view method_name, ItemList entity_data) {
    EntityData input;
    if (PyStatus status = read_entity_data(entity_data.items, self.interner(), input); !status) return status;
    if (Status status = self.add_method(method_name, input.batch); !status) return std::unexpected(status.error());
    return {};
}

std::vector<std::string> get_collection_names(const Frame& self) { return self.collection_names(); }

std::optional<Collection> get_collection(const Frame& self, std::string_view name) {
    if (const Collection* found = self.collections().find(name)) return *found;
    return std::nullopt;
}

PyResult<PyRef> compare_collections(const Frame& self, std::string_view name1, std::string_view name2) {
    auto comparison = self.compare(name1, name2);
    if (!comparison) return std::unexpected(std::move(comparison.error()));
    return comparison_list(*comparison);
}

uint64_t collection_count(const Frame& self) { return self.collections().size(); }

uint64_t total_entities(const Frame& self) { return self.total_entities(); }

uint64_t interner_size(const Frame& self) { return self.interner().size(); }

std::vector<std::string> get_dataset_names(const Frame& self) { return self.dataset_names(); }

Result<bool> entity_has_dataset(const Frame& self, std::string_view collection_name, uint64_t entity_index,
                                std::string_view dataset_name) {
    return self.entity_has_dataset(collection_name, entity_index, dataset_name);
}

Status set_entity_metadata(Frame& self, std::string_view collection_name, uint64_t entity_index,
                           std::string_view key, PyObject* value) {
    return self.set_entity_metadata(collection_name, entity_index, key, metadata_of(value));
}

PyResult<PyRef> get_entity_metadata(Frame& self, std::string_view collection_name, uint64_t entity_index,
                                    std::string_view key) {
    auto value = self.entity_metadata(collection_name, entity_index, key);
    if (!value) return std::unexpected(std::move(value.error()));
    return object_of(*value);
}

Result<Bytes> hash_entity(Frame& self, std::string_view collection_name, uint64_t entity_index,
                          std::string_view algorithm) {
    auto digest = self.hash_entity(collection_name, entity_index, algorithm);
    if (!digest) return std::unexpected(std::move(digest.error()));
    return Bytes{std::move(*digest)};
}

PyResult<PyRef> hash_collection(Frame& self, std::string_view collection_name, std::string_view algorithm) {
    auto digests = self.hash_collection(collection_name, algorithm);
    if (!digests) return std::unexpected(std::move(digests.error()));
    return digest_list(*digests);
}

PyResult<PyRef> hash_all_entities(Frame& self, std::string_view algorithm) {
    auto digests = self.hash_all(algorithm);
    if (!digests) return std::unexpected(std::move(digests.error()));
    return digest_dict(*digests);
}

Status add_collection_hash(Frame& self, std::string_view collection_name, std::string_view algorithm) {
    return self.add_collection_hash(collection_name, algorithm);
}

Result<bool> verify_collection_hashes(Frame& self, std::string_view collection_name, std::string_view algorithm) {
    return self.verify_collection_hashes(collection_name, algorithm);
}

// Styled and fitted to the terminal's width when standard output is one.
RenderOptions render_options() {
    RenderOptions options;
    if (!isatty(STDOUT_FILENO)) return options;
    options.styled = true;
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) options.width_limit = size.ws_col;
    return options;
}

std::string summary(const Frame& self) { return render_summary(self, render_options()); }

// The entities, and the metadata values in them, are the stores' to report.
int traverse(const Frame& self, visitproc visit, void* arg) {
    for (const auto& [name, collection] : self.collections().entries()) {
        Py_VISIT(static_cast<PyObject*>(collection.store()));
    }
    return 0;
}

void clear(Frame& self) {
    for (auto& [name, collection] : self.collections().entries()) collection.release_entities();
}

const ClassDef<Frame> kFrameClass = {
    .doc = "EntityFrame: A collection of CollectionCores with shared interner (like pandas DataFrame)",
    .constructor = constructor<&make>(),
    .members =
        {
            static_method<&with_datasets>("with_datasets", "Create EntityFrame with pre-declared datasets for better performance.", "dataset_names"),
            method<Borrow::Exclusive, &declare_dataset>("declare_dataset", "Declare a dataset name upfront for efficient interning.", "dataset_name"),
            method<Borrow::Exclusive, &get_dataset_id>("get_dataset_id", "Get dataset ID from name (internal method).", "dataset_name"),
            method<Borrow::Shared, &get_dataset_name>("get_dataset_name", "Get dataset name from ID (internal method).", "dataset_id"),
            getter_of<&interner>("interner", "Get a reference to the shared interner"),
            method<Borrow::Shared, &create_collection>("create_collection", "Create a new collection that will use this frame's shared interner", "name"),
            method<Borrow::Exclusive, &add_collection>("add_collection", "Add a collection to the frame (simple - no ID remapping needed)", "name", "collection"),
            method<Borrow::Exclusive, &add_method>("add_method", "Create and add a collection with entity data in one step", "method_name", "entity_data"),
            method<Borrow::Shared, &get_collection_names>("get_collection_names", "Get collection names in this frame"),
            method<Borrow::Shared, &get_collection>("get_collection", "Get a collection by name", "name"),
            method<Borrow::Shared, &compare_collections>("compare_collections", "Compare two collections and return similarities", "name1", "name2"),
            method<Borrow::Shared, &collection_count>("collection_count", "Get the number of collections in this frame"),
            method<Borrow::Shared, &total_entities>("total_entities", "Get the total number of entities across all collections"),
            method<Borrow::Shared, &interner_size>("interner_size", "Get the total number of unique strings in the interner"),
            method<Borrow::Shared, &get_dataset_names>("get_dataset_names", "Get all declared dataset names"),
            method<Borrow::Shared, &entity_has_dataset>("entity_has_dataset", "Check if an entity in a collection has a dataset (with proper name resolution)", "collection_name", "entity_index", "dataset_name"),
            method<Borrow::Exclusive, &set_entity_metadata>("set_entity_metadata", "Set metadata on an entity", "collection_name", "entity_index", "key", "value"),
            method<Borrow::Exclusive, &get_entity_metadata>("get_entity_metadata", "Get metadata from an entity", "collection_name", "entity_index", "key"),
            method<Borrow::Exclusive, &hash_entity>("hash_entity", "Compute hash of an entity", "collection_name", "entity_index", arg("algorithm") = "sha256"),
            method<Borrow::Exclusive, &hash_collection>("hash_collection", "Batch hash all entities in a collection for optimal performance", "collection_name", arg("algorithm") = "sha256"),
            method<Borrow::Exclusive, &hash_all_entities>("hash_all_entities", "Batch hash all entities across all collections", arg("algorithm") = "sha256"),
            method<Borrow::Exclusive, &add_collection_hash>("add_collection_hash", "Add hashes to all entities in a collection by name", "collection_name", "algorithm"),
            method<Borrow::Exclusive, &verify_collection_hashes>("verify_collection_hashes", "Verify hashes for all entities in a collection by name", "collection_name", "algorithm"),
        },
    .traverse = &traverse,
    .clear = &clear,
    .extra_slots = {{Py_tp_str, reinterpret_cast<void*>(&call_unary_slot<&summary>)},
                    {Py_tp_repr, reinterpret_cast<void*>(&call_unary_slot<&summary>)}},
};

}  // namespace

template <>
const ClassDef<Frame>& class_def<Frame>() {
    return kFrameClass;
}

}  // namespace tessellar::py
