// Parameter kinds: the C++ type of a bound function's parameter decides how
// the Python argument is converted.
//
//   std::string_view           text
//   uint32_t                   32-bit ID
//   uint64_t                   index or count
//   std::vector<uint32_t>      list of IDs
//   std::vector<std::string>   list of texts
//   EntityDataArg              entity data (a sequence; its items are read later)
//   PyObject*                  any object (borrowed for the call)
//   const T& / T&              an instance of T's class, borrowed shared / exclusive
#pragma once

#include "python/boundary/object.h"

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace tessellar::py {

// The elements of a sequence argument, each held by a reference, so that
// later reading cannot be disturbed by changes to the sequence itself.
struct EntityDataArg {
    std::vector<PyRef> elements;
};

Result<std::string_view> text_from(PyObject* object);
Result<uint32_t> id32_from(PyObject* object);
Result<uint64_t> index_from(PyObject* object);
// The checks every list kind makes before reading items.
Status check_list_argument(PyObject* object);
Result<std::vector<uint32_t>> id_list_from(PyObject* object);
Result<std::vector<std::string>> text_list_from(PyObject* object);

// Calls `visit(item)` for each item of a sequence in order, holding a
// reference to the item meanwhile. Exact lists and tuples are read directly
// (re-checking the length each step, so a list changed by the visitor is
// never read out of bounds); other sequences go through the iterator protocol.
template <class Visit>
Status for_each_item(PyObject* sequence, Visit&& visit) {
    if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) {
        const bool is_list = PyList_CheckExact(sequence);
        for (Py_ssize_t i = 0;; ++i) {
            const Py_ssize_t size = is_list ? PyList_GET_SIZE(sequence) : PyTuple_GET_SIZE(sequence);
            if (i >= size) return {};
            PyRef item = PyRef::borrow(is_list ? PyList_GET_ITEM(sequence, i) : PyTuple_GET_ITEM(sequence, i));
            if (Status status = visit(item.get()); !status) return status;
        }
    }
    PyRef iterator = PyRef::steal(PyObject_GetIter(sequence));
    if (!iterator) return raised();
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        if (Status status = visit(item.get()); !status) return status;
    }
    if (PyErr_Occurred()) return raised();
    return {};
}

// Holds a converted argument for the length of the call.
template <class P>
struct Converter;

template <>
struct Converter<std::string_view> {
    using Holder = std::string_view;
    static Result<Holder> convert(PyObject* object) { return text_from(object); }
    static std::string_view pass(Holder& holder) { return holder; }
};

template <>
struct Converter<uint32_t> {
    using Holder = uint32_t;
    static Result<Holder> convert(PyObject* object) { return id32_from(object); }
    static uint32_t pass(Holder& holder) { return holder; }
};

template <>
struct Converter<uint64_t> {
    using Holder = uint64_t;
    static Result<Holder> convert(PyObject* object) { return index_from(object); }
    static uint64_t pass(Holder& holder) { return holder; }
};

template <>
struct Converter<std::vector<uint32_t>> {
    using Holder = std::vector<uint32_t>;
    static Result<Holder> convert(PyObject* object) { return id_list_from(object); }
    static std::vector<uint32_t> pass(Holder& holder) { return std::move(holder); }
};

template <>
struct Converter<std::vector<std::string>> {
    using Holder = std::vector<std::string>;
    static Result<Holder> convert(PyObject* object) { return text_list_from(object); }
    static std::vector<std::string> pass(Holder& holder) { return std::move(holder); }
};

Result<EntityDataArg> element_list_from(PyObject* object);

template <>
struct Converter<EntityDataArg> {
    using Holder = EntityDataArg;
    static Result<Holder> convert(PyObject* object) { return element_list_from(object); }
    static EntityDataArg pass(Holder& holder) { return std::move(holder); }
};

template <>
struct Converter<PyObject*> {
    using Holder = PyObject*;
    static Result<Holder> convert(PyObject* object) { return object; }
    static PyObject* pass(Holder& holder) { return holder; }
};

template <class T, Borrow B>
struct InstanceConverter {
    using Holder = Borrowed<T, B>;
    static Result<Holder> convert(PyObject* object) {
        if (!is_instance<T>(object)) return std::unexpected(conversion_error(object, Class<T>::name));
        return Holder::acquire(object);
    }
    static auto& pass(Holder& holder) { return holder.get(); }
};

template <class T>
    requires kBoundClass<T>
struct Converter<const T&> : InstanceConverter<T, Borrow::Shared> {};

template <class T>
    requires kBoundClass<T>
struct Converter<T&> : InstanceConverter<T, Borrow::Exclusive> {};

}  // namespace tessellar::py
