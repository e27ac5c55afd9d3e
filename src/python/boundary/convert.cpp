#include "python/boundary/convert.h"
#include "python/boundary/result.h"

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

Error conversion_error(PyObject* object, const char* target) {
    return Error{ErrorKind::TypeError,
                 std::string("'") + type_name(object) + "' object cannot be converted to '" + target + "'"};
}

Result<std::string_view> text_from(PyObject* object) {
    if (!PyUnicode_Check(object)) return std::unexpected(conversion_error(object, "PyString"));
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (!data) return raised();  // lone surrogates: the interpreter's UnicodeEncodeError
    return std::string_view(data, static_cast<size_t>(size));
}

Result<uint32_t> id32_from(PyObject* object) {
    long long value;
    if (PyLong_CheckExact(object)) {
        value = PyLong_AsLongLong(object);
    } else {
        PyRef index = PyRef::steal(PyNumber_Index(object));
        if (!index) return raised();
        value = PyLong_AsLongLong(index.get());
    }
    if (value == -1 && PyErr_Occurred()) return raised();
    if (value < 0 || value > UINT32_MAX) {
        return fail(ErrorKind::OverflowError, "out of range integral type conversion attempted");
    }
    return static_cast<uint32_t>(value);
}

Result<uint64_t> index_from(PyObject* object) {
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) return raised();
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return raised();
    return static_cast<uint64_t>(value);
}

Status check_list_argument(PyObject* object) {
    if (PyUnicode_Check(object)) return fail(ErrorKind::TypeError, "Can't extract `str` to `Vec`");
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

}  // namespace

Result<std::vector<uint32_t>> id_list_from(PyObject* object) {
    if (Status status = check_list_argument(object); !status) return std::unexpected(status.error());
    std::vector<uint32_t> ids;
    ids.reserve(size_hint(object));
    Status status = for_each_item(object, [&](PyObject* item) -> Status {
        auto id = id32_from(item);
        if (!id) return std::unexpected(id.error());
        ids.push_back(*id);
        return {};
    });
    if (!status) return std::unexpected(status.error());
    return ids;
}

Result<std::vector<std::string>> text_list_from(PyObject* object) {
    if (Status status = check_list_argument(object); !status) return std::unexpected(status.error());
    std::vector<std::string> texts;
    texts.reserve(size_hint(object));
    Status status = for_each_item(object, [&](PyObject* item) -> Status {
        auto text = text_from(item);
        if (!text) return std::unexpected(text.error());
        texts.emplace_back(*text);
        return {};
    });
    if (!status) return std::unexpected(status.error());
    return texts;
}

Result<EntityDataArg> element_list_from(PyObject* object) {
    if (Status status = check_list_argument(object); !status) return std::unexpected(status.error());
    EntityDataArg list;
    list.elements.reserve(size_hint(object));
    Status status = for_each_item(object, [&](PyObject* item) -> Status {
        list.elements.push_back(PyRef::borrow(item));
        return {};
    });
    if (!status) return std::unexpected(status.error());
    return list;
}

PyRef to_python(bool value) { return PyRef::borrow(value ? Py_True : Py_False); }

PyRef to_python(double value) { return PyRef::steal(PyFloat_FromDouble(value)); }

PyRef to_python(std::string_view value) {
    return PyRef::steal(PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), nullptr));
}

PyRef to_python(const Bytes& value) {
    return PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(value.data.data()),
                                                  static_cast<Py_ssize_t>(value.data.size())));
}

}  // namespace tessellar::py
