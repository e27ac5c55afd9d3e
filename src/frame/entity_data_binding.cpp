#include "frame/entity_data_binding.h"

#include "module/convert.h"

#include <string_view>

namespace tessellar::py {

namespace {

constexpr std::string_view kMetadataKey = "metadata";

Status read_metadata(PyObject* dict, size_t entity, StringInterner& interner, EntityData& out) {
    if (!PyDict_Check(dict)) return std::unexpected(conversion_error(dict, "PyDict"));
    Py_ssize_t position = 0;
    PyObject *key, *value;
    // Nothing here runs Python code, so the dict cannot change under the walk.
    while (PyDict_Next(dict, &position, &key, &value)) {
        auto text = text_from(key);
        if (!text) return std::unexpected(std::move(text.error()));
        auto key_id = interner.intern(*text);
        if (!key_id) return std::unexpected(std::move(key_id.error()));
        out.metadata.push_back({entity, *key_id, PyRef::borrow(value)});
    }
    return {};
}

Status read_records(PyObject* records, EntityData& out) {
    if (Status status = check_list_argument(records); !status) return status;
    return for_each_item(records, [&](PyObject* item) -> Status {
        auto text = text_from(item);
        if (!text) return std::unexpected(std::move(text.error()));
        out.pin(item);
        out.batch.add_record(*text);
        return {};
    });
}

Status read_entity(PyObject* dict, size_t entity, StringInterner& interner, EntityData& out) {
    if (!PyDict_Check(dict)) return std::unexpected(conversion_error(dict, "PyDict"));
    out.batch.start_entity();
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    Py_ssize_t position = 0;
    PyObject *borrowed_key, *borrowed_value;
    while (PyDict_Next(dict, &position, &borrowed_key, &borrowed_value)) {
        // Reading records may run Python code that changes this dict: hold
        // the pair, and stop as the interpreter does if the dict changed.
        PyRef key = PyRef::borrow(borrowed_key);
        PyRef value = PyRef::borrow(borrowed_value);
        auto name = text_from(key.get());
        if (!name) return std::unexpected(std::move(name.error()));
        if (*name == kMetadataKey) {
            if (Status status = read_metadata(value.get(), entity, interner, out); !status) return status;
        } else {
            out.pin(key.get());
            out.batch.add_dataset(*name);
            if (Status status = read_records(value.get(), out); !status) return status;
        }
        if (PyDict_GET_SIZE(dict) != size) {
            return fail(ErrorKind::RuntimeError, "dictionary changed size during iteration");
        }
    }
    return {};
}

}  // namespace

EntityData::~EntityData() {
    for (PyObject* text : pinned_) Py_DECREF(text);
}

Status read_entity_data(PyObject* sequence, StringInterner& interner, EntityData& out) {
    // All elements first, as references: element checks start only once the
    // sequence itself has been read completely.
    std::vector<PyRef> elements;
    if (PyList_CheckExact(sequence)) elements.reserve(static_cast<size_t>(PyList_GET_SIZE(sequence)));
    Status listed = for_each_item(sequence, [&](PyObject* item) -> Status {
        elements.push_back(PyRef::borrow(item));
        return {};
    });
    if (!listed) return listed;
    for (size_t entity = 0; entity < elements.size(); ++entity) {
        if (Status status = read_entity(elements[entity].get(), entity, interner, out); !status) return status;
    }
    return {};
}

}  // namespace tessellar::py
