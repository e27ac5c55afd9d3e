#include "python/tessellar/comparison.h"

#include "core/collection/compare.h"
#include "python/boundary/result.h"
#include "python/boundary/state.h"

namespace tessellar::py {

namespace {

bool set_item(PyObject* dict, PyObject* key, PyRef value) {
    return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

}  // namespace

Result<PyRef> comparison_list(const Collection& a, const Collection& b) {
    auto scores = compare(a, b);
    if (!scores) return std::unexpected(std::move(scores.error()));

    PyObject* const* keys = module_state()->objects;
    // Every dict starts as a copy of one template that already holds the two
    // process names: copying a small dict is cheaper than building it.
    PyRef prototype = PyRef::steal(PyDict_New());
    if (!prototype || !set_item(prototype.get(), keys[kEntityIndexKey], PyRef::borrow(Py_None)) ||
        !set_item(prototype.get(), keys[kProcess1Key], to_python(a.process_name())) ||
        !set_item(prototype.get(), keys[kProcess2Key], to_python(b.process_name())) ||
        !set_item(prototype.get(), keys[kJaccardKey], PyRef::borrow(Py_None))) {
        return raised();
    }

    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(scores->size())));
    if (!list) return raised();
    for (size_t i = 0; i < scores->size(); ++i) {
        PyRef dict = PyRef::steal(PyDict_Copy(prototype.get()));
        if (!dict || !set_item(dict.get(), keys[kEntityIndexKey], to_python(uint64_t{i})) ||
            !set_item(dict.get(), keys[kJaccardKey], to_python((*scores)[i]))) {
            return raised();
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict.release());
    }
    return list;
}

}  // namespace tessellar::py
