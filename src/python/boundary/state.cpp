#include "python/boundary/state.h"
#include "python/boundary/type_factory.h"

namespace tessellar::py {

int traverse_boundary_state(const BoundaryState& state, visitproc visit, void* arg) {
    Py_VISIT(state.parameter_names);
    for (PyObject* type : state.types) Py_VISIT(type);
    return 0;
}

void clear_boundary_state(BoundaryState& state) noexcept {
    Py_CLEAR(state.parameter_names);
    for (PyObject*& type : state.types) Py_CLEAR(type);
}

std::string text_signature(const std::vector<Param>& params, bool with_self) {
    std::string text = with_self ? "($self" : "(";
    for (const Param& param : params) {
        if (text.size() > 1) text += ", ";
        text += param.name;
        if (param.default_text) text += std::string("=\"") + param.default_text + "\"";
    }
    return text + ")";
}

bool bind_declaration(Binding& binding, std::string qualname, const std::vector<Param>& params,
                      BoundaryState& state) {
    if (!state.parameter_names && !(state.parameter_names = PyList_New(0))) return false;
    binding.qualname = std::move(qualname);
    binding.params = params;
    binding.first_name = PyList_GET_SIZE(state.parameter_names);
    for (const Param& param : params) {
        PyRef name = PyRef::steal(PyUnicode_InternFromString(param.name));
        if (!name || PyList_Append(state.parameter_names, name.get()) < 0) return false;
    }
    return true;
}

}  // namespace tessellar::py
