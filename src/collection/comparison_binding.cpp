#include "collection/comparison_binding.h"

#include "collection/compare.h"
#include "module/result.h"

namespace tessellar::py {

namespace {

struct Keys {
    PyRef entity_index = PyRef::steal(PyUnicode_InternFromString("entity_index"));
    PyRef process1 = PyRef::steal(PyUnicode_InternFromString("process1"));
    PyRef process2 = PyRef::steal(PyUnicode_InternFromString("process2"));
    PyRef jaccard = PyRef::steal(PyUnicode_InternFromString("jaccard"));
    bool valid() const { return entity_index && process1 && process2 && jaccard; }
};

bool set_item(PyObject* dict, const PyRef& key, PyRef value) {
    return value && PyDict_SetItem(dict, key.get(), value.get()) == 0;
}

}  // namespace

Result<PyRef> comparison_list(const Collection& a, const Collection& b) {
    auto scores = compare(a, b);
    if (!scores) return std::unexpected(std::move(scores.error()));

    static const Keys* keys = new Keys();  // lives as long as the process, like the types
    if (!keys->valid()) return raised();
    // Every dict starts as a copy of one template that already holds the two
    // process names: copying a small dict is cheaper than building it.
    PyRef prototype = PyRef::steal(PyDict_New());
    if (!prototype || !set_item(prototype.get(), keys->entity_index, PyRef::borrow(Py_None)) ||
        !set_item(prototype.get(), keys->process1, to_python(a.process_name())) ||
        !set_item(prototype.get(), keys->process2, to_python(b.process_name())) ||
        !set_item(prototype.get(), keys->jaccard, PyRef::borrow(Py_None))) {
        return raised();
    }

    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(scores->size())));
    if (!list) return raised();
    for (size_t i = 0; i < scores->size(); ++i) {
        PyRef dict = PyRef::steal(PyDict_Copy(prototype.get()));
        if (!dict || !set_item(dict.get(), keys->entity_index, to_python(uint64_t{i})) ||
            !set_item(dict.get(), keys->jaccard, to_python((*scores)[i]))) {
            return raised();
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict.release());
    }
    return list;
}

}  // namespace tessellar::py
