// Parameter kinds: the C++ type of a bound function's parameter decides how
// the Python argument is converted.
//
//   std::string_view           text
//   uint32_t                   32-bit ID
//   uint64_t                   index or count
//   std::vector<uint32_t>      list of IDs
//   std::vector<std::string>   list of texts
//   ItemList                   a sequence whose items are read by the function
//   PyObject*                  any object (borrowed for the call)
//   const T& / T&              an instance of T's class, borrowed shared / exclusive
#pragma once

#include "python/boundary/object.h"

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessellar::py {

// The items of a sequence argument, each held by a reference, so that later
// reading cannot be disturbed by changes to the sequence itself.
struct ItemList {
    std::vector<PyRef> items;
};

PyResult<std::string_view> text_from(PyObject* object);
PyResult<uint32_t> id32_from(PyObject* object);
PyResult<uint64_t> index_from(PyObject* object);
// The checks every list kind makes before reading items.
PyStatus check_list_argument(PyObject* object);
PyResult<std::vector<uint32_t>> id_list_from(PyObject* object);
PyResult<std::vector<std::string>> text_list_from(PyObject* object);
PyResult<ItemList> item_list_from(PyObject* object);

// Calls `visit(item)` for each item of a sequence in order, holding a
// reference to the item meanwhile. Exact lists and tuples are read directly
// (re-checking the length each step, so a list changed by the visitor is
// never read out of bounds); other sequences go through the iterator protocol.
template <class Visit>
PyStatus for_each_item(PyObject* sequence, Visit&& visit) {
    if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) {
        const bool is_list = PyList_CheckExact(sequence);
        for (Py_ssize_t i = 0;; ++i) {
            const Py_ssize_t size = is_list ? PyList_GET_SIZE(sequence) : PyTuple_GET_SIZE(sequence);
            if (i >= size) return {};
            PyRef item = PyRef::borrow(is_list ? PyList_GET_ITEM(sequence, i) : PyTuple_GET_ITEM(sequence, i));
            if (PyStatus status = visit(item.get()); !status) return status;
        }
    }
    PyRef iterator = PyRef::steal(PyObject_GetIter(sequence));
    if (!iterator) return pending();
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        if (PyStatus status = visit(item.get()); !status) return status;
    }
    if (PyErr_Occurred()) return pending();
    return {};
}

// Holds a converted argument for the length of the call.
template <class P>
struct Converter;

template <class P, auto From>
struct ValueConverter {
    using Holder = P;
    static PyResult<Holder> convert(PyObject* object) { return From(object); }
    static P pass(Holder& holder) { return std::move(holder); }
};

template <>
struct Converter<std::string_view> : ValueConverter<std::string_view, &text_from> {};
template <>
struct Converter<uint32_t> : ValueConverter<uint32_t, &id32_from> {};
template <>
struct Converter<uint64_t> : ValueConverter<uint64_t, &index_from> {};
template <>
struct Converter<std::vector<uint32_t>> : ValueConverter<std::vector<uint32_t>, &id_list_from> {};
template <>
struct Converter<std::vector<std::string>> : ValueConverter<std::vector<std::string>, &text_list_from> {};
template <>
struct Converter<ItemList> : ValueConverter<ItemList, &item_list_from> {};

template <>
struct Converter<PyObject*> {
    using Holder = PyObject*;
    static PyResult<Holder> convert(PyObject* object) { return object; }
    static PyObject* pass(Holder& holder) { return holder; }
};

template <class T, Borrow B>
struct InstanceConverter {
    using Holder = Borrowed<T, B>;
    static PyResult<Holder> convert(PyObject* object) {
        if (!is_instance<T>(object)) return std::unexpected(conversion_error(object, ClassTraits<T>::name));
        return Holder::acquire(object);
    }
    static auto& pass(Holder& holder) { return holder.get(); }
};

template <BoundClass T>
struct Converter<const T&> : InstanceConverter<T, Borrow::Shared> {};

template <BoundClass T>
struct Converter<T&> : InstanceConverter<T, Borrow::Exclusive> {};

}  // namespace tessellar::py
