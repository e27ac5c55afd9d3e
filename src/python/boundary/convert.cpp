#include "python/boundary/convert.h"

#include <climits>
#include <cstring>
#include <string>

namespace tessellar::py {

const char* type_name(PyObject* object) noexcept {
    // tp_name is "module.Name" for classes of extension modules.
    const char* name = Py_TYPE(object)->tp_name;
    const char* dot = std::strrchr(name, '.');
    return dot ? dot + 1 : name;
}

Failure conversion_error(PyObject* object, const char* target) {
    return {PyExc_TypeError, std::string("'") + type_name(object) + "' object cannot be converted to '" + target + "'"};
}

PyResult<std::string_view> text_from(PyObject* object) {
    if (!PyUnicode_Check(object)) return std::unexpected(conversion_error(object, "PyString"));
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (!data) return pending();  // lone surrogates: the interpreter's UnicodeEncodeError
    return std::string_view(data, static_cast<size_t>(size));
}

PyResult<uint32_t> id32_from(PyObject* object) {
    long long value;
    if (PyLong_CheckExact(object)) {
        value = PyLong_AsLongLong(object);
    } else {
        PyRef index = PyRef::steal(PyNumber_Index(object));
        if (!index) return pending();
        value = PyLong_AsLongLong(index.get());
    }
    if (value == -1 && PyErr_Occurred()) return pending();
    if (value < 0 || value > UINT32_MAX) {
        return std::unexpected(Failure{PyExc_OverflowError, "out of range integral type conversion attempted"});
    }
    return static_cast<uint32_t>(value);
}

PyResult<uint64_t> index_from(PyObject* object) {
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) return pending();
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return pending();
    return static_cast<uint64_t>(value);
}

PyStatus check_list_argument(PyObject* object) {
    if (PyUnicode_Check(object)) return type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(object)) return std::unexpected(conversion_error(object, "Sequence"));
    return {};
}

namespace {

// A size hint for reserving, or 0 when the sequence cannot tell cheaply.
size_t size_hint(PyObject* sequence) {
    if (PyList_CheckExact(sequence)) return static_cast<size_t>(PyList_GET_SIZE(sequence));
    if (PyTuple_CheckExact(sequence)) return static_cast<size_t>(PyTuple_GET_SIZE(sequence));
    return 0;
}

// The items of a list argument, each converted by `convert`.
template <class Item, class Convert>
PyResult<std::vector<Item>> list_from(PyObject* object, Convert convert) {
    if (PyStatus status = check_list_argument(object); !status) return std::unexpected(status.error());
    std::vector<Item> items;
    items.reserve(size_hint(object));
    PyStatus status = for_each_item(object, [&](PyObject* item) -> PyStatus {
        auto converted = convert(item);
        if (!converted) return std::unexpected(std::move(converted.error()));
        items.emplace_back(std::move(*converted));
        return {};
    });
    if (!status) return std::unexpected(std::move(status.error()));
    return items;
}

}  // namespace

PyResult<std::vector<uint32_t>> id_list_from(PyObject* object) { return list_from<uint32_t>(object, id32_from); }

PyResult<std::vector<std::string>> text_list_from(PyObject* object) {
    return list_from<std::string>(object, text_from);
}

PyResult<ItemList> item_list_from(PyObject* object) {
    auto items = list_from<PyRef>(object, [](PyObject* item) -> PyResult<PyRef> { return PyRef::borrow(item); });
    if (!items) return std::unexpected(std::move(items.error()));
    return ItemList{std::move(*items)};
}

}  // namespace tessellar::py
