#include "python/tessellar/entity_data.h"

#include "python/boundary/convert.h"
#include "python/tessellar/metadata.h"

#include <optional>
#include <string>
#include <string_view>

namespace tessellar::py {

namespace {

constexpr std::string_view kMetadataKey = "metadata";

// Where in entity_data reading is: for the note on a failure, such as
// "at entity_data[3999]['crm'][2]". The key is a view of the dict's own
// key, read while it is alive.
struct Place {
    size_t entity = 0;
    std::optional<std::string_view> key;
    std::optional<size_t> item;

    void enter(size_t index) {
        entity = index;
        key.reset();
        item.reset();
    }
    // Appended piece by piece: g++ 12 at -O3 misreads chains of operator+.
    std::string describe() const {
        std::string text = "at entity_data[";
        text += std::to_string(entity);
        text += ']';
        if (key) {
            text += "['";
            text += *key;
            text += "']";
        }
        if (item) {
            text += '[';
            text += std::to_string(*item);
            text += ']';
        }
        return text;
    }
};

PyStatus read_metadata(PyObject* dict, StringInterner& interner, EntityData& out) {
    if (!PyDict_Check(dict)) return std::unexpected(conversion_error(dict, "PyDict"));
    Py_ssize_t position = 0;
    PyObject *key, *value;
    // Nothing here runs Python code, so the dict cannot change under the walk.
    while (PyDict_Next(dict, &position, &key, &value)) {
        auto text = text_from(key);
        if (!text) return std::unexpected(std::move(text.error()));
        auto key_id = interner.intern(*text);
        if (!key_id) return std::unexpected(std::move(key_id.error()));
        out.batch.add_metadata(*key_id, metadata_of(value));
    }
    return {};
}

// True when reading may have run Python code: a sequence type other than
// list and tuple.
bool runs_python_code(PyObject* records) { return !PyList_CheckExact(records) && !PyTuple_CheckExact(records); }

PyStatus read_records(PyObject* records, EntityData& out, bool careful, Place& place) {
    if (PyStatus status = check_list_argument(records); !status) return status;
    size_t position = 0;
    return for_each_item(records, [&](PyObject* item) -> PyStatus {
        auto text = text_from(item);
        if (!text) {
            place.item = position;
            return std::unexpected(std::move(text.error()));
        }
        if (careful) out.pin(item);
        out.batch.add_record(*text);
        ++position;
        return {};
    });
}

// The walk of an input of lists, tuples and dicts only: no Python code can
// run, so nothing can change or free what is read, and the texts need no
// pinning. Stops at the first other sequence type, for the careful walk.
PyStatus read_entity_quickly(PyObject* dict, StringInterner& interner, EntityData& out, bool& needs_care,
                             Place& place) {
    if (!PyDict_Check(dict)) return std::unexpected(conversion_error(dict, "PyDict"));
    out.batch.start_entity();
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &position, &key, &value)) {
        place.key.reset();
        auto name = text_from(key);
        if (!name) return std::unexpected(std::move(name.error()));
        place.key = *name;
        if (*name == kMetadataKey) {
            if (PyStatus status = read_metadata(value, interner, out); !status) return status;
            continue;
        }
        if (runs_python_code(value) && !PyUnicode_Check(value) && PySequence_Check(value)) {
            needs_care = true;
            return {};
        }
        out.batch.add_dataset(*name);
        if (PyStatus status = read_records(value, out, false, place); !status) return status;
    }
    return {};
}

Failure changed_during_reading() { return {PyExc_RuntimeError, "dictionary changed during iteration"}; }

using Pairs = std::vector<std::pair<PyRef, PyRef>>;

// Whether `dict` still holds exactly the keys of `items`, in that order.
// A value replaced under the same key is not a change of what is walked:
// the snapshot keeps the value that was read.
bool same_keys(PyObject* dict, const Pairs& items) {
    if (PyDict_GET_SIZE(dict) != static_cast<Py_ssize_t>(items.size())) return false;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    for (const auto& item : items) {
        if (!PyDict_Next(dict, &position, &key, &value) || key != item.first.get()) return false;
    }
    return true;
}

// `items` is scratch space, reused from one entity to the next.
PyStatus read_entity(PyObject* dict, StringInterner& interner, EntityData& out, Pairs& items, Place& place) {
    if (!PyDict_Check(dict)) return std::unexpected(conversion_error(dict, "PyDict"));
    out.batch.start_entity();
    // Reading records may run Python code (a sequence type written in
    // Python) that changes this dict: walk a snapshot of its pairs, and fail
    // if the dict no longer holds them afterwards.
    items.clear();
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &position, &key, &value)) items.emplace_back(PyRef::borrow(key), PyRef::borrow(value));

    bool python_code_ran = false;
    for (const auto& [held_key, held_value] : items) {
        place.key.reset();
        auto name = text_from(held_key.get());
        if (!name) return std::unexpected(std::move(name.error()));
        place.key = *name;
        if (*name == kMetadataKey) {
            if (PyStatus status = read_metadata(held_value.get(), interner, out); !status) return status;
            continue;
        }
        out.pin(held_key.get());
        out.batch.add_dataset(*name);
        python_code_ran = python_code_ran || runs_python_code(held_value.get());
        if (PyStatus status = read_records(held_value.get(), out, true, place); !status) return status;
        if (python_code_ran && !same_keys(dict, items)) return std::unexpected(changed_during_reading());
    }
    return {};
}

}  // namespace

EntityData::~EntityData() {
    for (PyObject* text : pinned_) Py_DECREF(text);
}

namespace {

// The failure, noting where it happened.
std::unexpected<Failure> located(Failure failure, const Place& place) {
    failure.note = place.describe();
    return std::unexpected(std::move(failure));
}

}  // namespace

PyStatus read_entity_data(std::span<const PyRef> elements, StringInterner& interner, EntityData& out) {
    bool needs_care = false;
    Place place;
    for (size_t index = 0; index < elements.size() && !needs_care; ++index) {
        place.enter(index);
        PyStatus status = read_entity_quickly(elements[index].get(), interner, out, needs_care, place);
        if (!status) return located(std::move(status.error()), place);
    }
    if (!needs_care) return {};
    // Start again, holding everything read; the metadata keys met so far
    // are met again in the same order.
    out.clear();
    Pairs items;
    for (size_t index = 0; index < elements.size(); ++index) {
        place.enter(index);
        PyStatus status = read_entity(elements[index].get(), interner, out, items, place);
        if (!status) return located(std::move(status.error()), place);
    }
    return {};
}

}  // namespace tessellar::py
