#include "python/tessellar/results.h"

#include "python/boundary/result.h"
#include "python/tessellar/module_state.h"

namespace tessellar::py {

namespace {

bool set_item(PyObject* dict, PyObject* key, PyRef value) {
    return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

}  // namespace

PyResult<PyRef> comparison_list(const Comparison& comparison) {
    PyObject* const* keys = module_state().keys;
    // Every dict starts as a copy of one template that already holds the two
    // process names: copying a small dict is cheaper than building it.
    PyRef prototype = PyRef::steal(PyDict_New());
    if (!prototype || !set_item(prototype.get(), keys[kEntityIndexKey], PyRef::borrow(Py_None)) ||
        !set_item(prototype.get(), keys[kProcess1Key], to_python(comparison.process1)) ||
        !set_item(prototype.get(), keys[kProcess2Key], to_python(comparison.process2)) ||
        !set_item(prototype.get(), keys[kJaccardKey], PyRef::borrow(Py_None))) {
        return pending();
    }

    const std::vector<double>& scores = comparison.jaccard;
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(scores.size())));
    if (!list) return pending();
    // Scores repeat (most are 1.0 when two methods mostly agree): rows with
    // the score of the row before share its float object.
    PyRef score;
    double last = -1.0;
    for (size_t i = 0; i < scores.size(); ++i) {
        if (scores[i] != last || !score) {
            score = to_python(scores[i]);
            last = scores[i];
        }
        PyRef dict = PyRef::steal(PyDict_Copy(prototype.get()));
        // PyLong_FromSsize_t has a fast path for values of one digit.
        PyRef index = PyRef::steal(PyLong_FromSsize_t(static_cast<Py_ssize_t>(i)));
        if (!dict || !set_item(dict.get(), keys[kEntityIndexKey], std::move(index)) ||
            !set_item(dict.get(), keys[kJaccardKey], score)) {
            return pending();
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict.release());
    }
    return list;
}

PyResult<PyRef> digest_list(const DigestList& digests) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(digests.size())));
    if (!list) return pending();
    for (size_t index = 0; index < digests.size(); ++index) {
        const std::span<const uint8_t> digest = digests[index];
        PyObject* item = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(digest.data()),
                                                   static_cast<Py_ssize_t>(digest.size()));
        if (!item) return pending();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(index), item);
    }
    return list;
}

PyResult<PyRef> digest_dict(const std::vector<std::pair<std::string, DigestList>>& digests) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return pending();
    for (const auto& [name, list] : digests) {
        auto items = digest_list(list);
        if (!items) return items;
        PyRef key = to_python(name);
        if (!key || !set_item(dict.get(), key.get(), std::move(*items))) return pending();
    }
    return dict;
}

}  // namespace tessellar::py
