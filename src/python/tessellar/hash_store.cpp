#include "python/tessellar/hash_store.h"

#include <Python.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace tessellar::py {

namespace {

constexpr std::string_view kHashKey = "hash";

PyRef bytes_of(std::span<const uint8_t> digest) {
    const auto* data = reinterpret_cast<const char*>(digest.data());
    return PyRef::steal(PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(digest.size())));
}

bool holds_digest(PyObject* stored, std::span<const uint8_t> digest) {
    return PyBytes_Check(stored) && static_cast<size_t>(PyBytes_GET_SIZE(stored)) == digest.size() &&
           std::memcmp(PyBytes_AS_STRING(stored), digest.data(), digest.size()) == 0;
}

}  // namespace

Result<PyRef> digest_list(const DigestList& digests) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(digests.size())));
    if (!list) return raised();
    for (size_t index = 0; index < digests.size(); ++index) {
        PyRef item = bytes_of(digests[index]);
        if (!item) return raised();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(index), item.release());
    }
    return list;
}

Status add_hash(Collection& collection, StringInterner& interner, std::string_view algorithm) {
    auto digests = hash_all_entities(collection, interner, algorithm);
    if (!digests) return std::unexpected(std::move(digests.error()));
    // Every object exists before the first is stored, so running out of
    // memory leaves all entities as they were.
    std::vector<PyRef> values;
    values.reserve(digests->size());
    for (size_t index = 0; index < digests->size(); ++index) {
        values.push_back(bytes_of((*digests)[index]));
        if (!values.back()) return raised();
    }
    auto key_id = interner.intern(kHashKey);
    if (!key_id) return std::unexpected(std::move(key_id.error()));
    std::vector<Entity>& entities = collection.entities();
    for (size_t index = 0; index < entities.size(); ++index) {
        entities[index].set_metadata(*key_id, std::move(values[index]));
    }
    return {};
}

Result<bool> verify_hashes(const Collection& collection, StringInterner& interner, std::string_view algorithm) {
    auto key_id = interner.intern(kHashKey);
    if (!key_id) return std::unexpected(std::move(key_id.error()));
    const std::vector<Entity>& entities = collection.entities();
    const auto has_stored = [key = *key_id](const Entity& entity) { return entity.has_metadata(key); };
    if (std::ranges::none_of(entities, has_stored)) return true;

    auto digests = hash_all_entities(collection, interner, algorithm);
    if (!digests) return std::unexpected(std::move(digests.error()));
    for (size_t index = 0; index < entities.size(); ++index) {
        PyObject* stored = entities[index].get_metadata(*key_id);
        if (stored && !holds_digest(stored, (*digests)[index])) return false;
    }
    return true;
}

}  // namespace tessellar::py
