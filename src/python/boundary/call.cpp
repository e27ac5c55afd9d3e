#include "python/boundary/call.h"

#include <string>

namespace tessellar::py {

namespace {

void set_type_error(const std::string& message) {
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(PyExc_TypeError, text.get());
}

std::string plural(size_t count, const char* word) {
    return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

bool too_many_positional(const Binding& binding, Py_ssize_t given) {
    size_t required = 0;
    for (const Param& param : binding.params) required += param.default_text ? 0 : 1;
    const size_t total = binding.params.size();
    std::string takes = required == total ? plural(total, "positional argument")
                                          : "from " + std::to_string(required) + " to " + std::to_string(total) +
                                                " positional arguments";
    set_type_error(binding.qualname + " takes " + takes + " but " + std::to_string(given) +
                   (given == 1 ? " was" : " were") + " given");
    return false;
}

bool missing_arguments(const Binding& binding, PyObject** slots) {
    std::vector<std::string> missing;
    for (size_t i = 0; i < binding.params.size(); ++i) {
        if (!slots[i] && !binding.params[i].default_text) missing.push_back(std::string("'") + binding.params[i].name + "'");
    }
    std::string names;
    for (size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) names += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
        names += missing[i];
    }
    set_type_error(binding.qualname + " missing " + plural(missing.size(), "required positional argument") + ": " +
                   names);
    return false;
}

// The position of `keyword` among the function's parameter names, or -1.
// Keyword names written in source code are interned, like the parameter
// names, so comparing identities almost always settles it.
Py_ssize_t find_parameter(const Binding& binding, PyObject* keyword) {
    PyObject* names = boundary_state().parameter_names;
    const auto count = static_cast<Py_ssize_t>(binding.params.size());
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyList_GET_ITEM(names, binding.first_name + i) == keyword) return i;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyUnicode_Compare(PyList_GET_ITEM(names, binding.first_name + i), keyword) == 0) return i;
    }
    return -1;
}

}  // namespace

bool bind_arguments(const Binding& binding, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** slots) {
    const size_t count = binding.params.size();
    nargs = PyVectorcall_NARGS(nargs);
    if (static_cast<size_t>(nargs) > count) return too_many_positional(binding, nargs);
    for (size_t i = 0; i < count; ++i) slots[i] = i < static_cast<size_t>(nargs) ? args[i] : nullptr;

    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const Py_ssize_t index = find_parameter(binding, keyword);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", binding.qualname.c_str(),
                         keyword);
            return false;
        }
        if (slots[index]) {
            set_type_error(binding.qualname + " got multiple values for argument '" + binding.params[index].name + "'");
            return false;
        }
        slots[index] = args[nargs + k];
    }
    for (size_t i = 0; i < count; ++i) {
        if (!slots[i] && !binding.params[i].default_text) return missing_arguments(binding, slots);
    }
    return true;
}

}  // namespace tessellar::py
