// Conversion of a bound function's result to a Python object.
#pragma once

#include "python/boundary/object.h"

#include <Python.h>

#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace tessellar::py {

// Raw digest bytes, returned to Python as `bytes`.
struct Bytes {
    std::vector<uint8_t> data;
};

PyRef to_python(bool value);
PyRef to_python(double value);
PyRef to_python(std::string_view value);
PyRef to_python(const Bytes& value);
inline PyRef to_python(PyRef value) { return value; }

template <std::unsigned_integral U>
    requires(!std::same_as<U, bool>)
PyRef to_python(U value) {
    return PyRef::steal(PyLong_FromUnsignedLongLong(value));
}

inline PyRef to_python(const std::string& value) { return to_python(std::string_view(value)); }

// A value of one of the module's classes becomes a new instance owning it.
template <class T>
    requires BoundClass<std::remove_cvref_t<T>>
PyRef to_python(T&& value) {
    return wrap(std::remove_cvref_t<T>(std::forward<T>(value)));
}

template <class T>
PyRef to_python(std::optional<T> value) {
    if (!value) return PyRef::borrow(Py_None);
    return to_python(std::move(*value));
}

template <class T>
PyRef to_python(std::vector<T> values) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return {};
    for (size_t i = 0; i < values.size(); ++i) {
        PyRef item = to_python(std::move(values[i]));
        if (!item) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list;
}

}  // namespace tessellar::py
