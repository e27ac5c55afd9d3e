// A column of results: a C++ vector handed to Python as a one-dimensional
// buffer that NumPy wraps without copying.
#pragma once

#include "python/boundary/failure.h"
#include "python/boundary/pyref.h"

#include <Python.h>

#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

namespace tessellar::py {

struct Column {
    std::shared_ptr<void> owner;  // keeps the values alive
    void* data;
    Py_ssize_t length;
    Py_ssize_t item_size;
    const char* format;  // of the struct module
};

template <class T>
constexpr const char* format_of() {
    // int64_t is `long` on the platforms built for, NumPy's default integer.
    if constexpr (std::is_same_v<T, long>) {
        return "l";
    } else if constexpr (std::is_same_v<T, double>) {
        return "d";
    } else {
        static_assert(std::is_same_v<T, uint8_t>, "no buffer format for this type");
        return "B";
    }
}

template <class T>
Column column_of(std::vector<T> values) {
    static T nothing{};  // an empty column still points somewhere
    auto owner = std::make_shared<std::vector<T>>(std::move(values));
    void* data = owner->empty() ? &nothing : owner->data();
    const auto length = static_cast<Py_ssize_t>(owner->size());
    return {std::move(owner), data, length, static_cast<Py_ssize_t>(sizeof(T)), format_of<T>()};
}

// A dict of the entries, in order; the exception pending when a value is
// null or the dict cannot be made.
PyResult<PyRef> dict_of(std::vector<std::pair<const char*, PyRef>> entries);

// The column type of `module`; null with an error set on failure.
PyObject* create_column_type(PyObject* module);

// A new Column object of the module's column type owning `column`.
PyRef to_python(Column column);

}  // namespace tessellar::py
