// Module initialisation: takes tessellar's classes, registers the column
// type and the functions.
#include "python/boundary/functions.h"
#include "python/boundary/module_life.h"
#include "python/tessellar/classes.h"
#include "python/tessellar/metadata.h"
#include "python/tessellar/store.h"
#include "python/tools/column.h"
#include "python/tools/evaluation.h"
#include "python/tools/module_state.h"

#include <Python.h>

namespace tessellar::py {
namespace {

ModuleLife life;

ToolsState& state_of(PyObject* module) { return *static_cast<ToolsState*>(PyModule_GetState(module)); }

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    ToolsState& state = state_of(module);
    Py_VISIT(state.column_type);
    Py_VISIT(state.store_type);
    return traverse_boundary_state(state.boundary, visit, arg);
}

int clear_module(PyObject* module) {
    ToolsState& state = state_of(module);
    Py_CLEAR(state.column_type);
    Py_CLEAR(state.store_type);
    clear_boundary_state(state.boundary);
    return 0;
}

void free_module(void* module) {
    clear_module(static_cast<PyObject*>(module));
    life.forget(module);
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tessellar_tools._native",
    "Order-free evaluation of the resolutions a tessellar.EntityFrame holds.",
    sizeof(ToolsState),
    nullptr,
    nullptr,
    traverse_module,
    clear_module,
    free_module,
};

// The functions here read tessellar's objects through the same Object<T>
// layout, so they take the class from the imported module and refuse to
// start if the layouts differ (a tessellar from another build).
template <class T>
bool adopt_class(PyObject* tessellar, BoundaryState& state) {
    PyObject* type = PyObject_GetAttrString(tessellar, ClassTraits<T>::name);
    state.types[ClassTraits<T>::slot] = type;
    if (!type) return false;
    if (!PyType_Check(type) ||
        reinterpret_cast<PyTypeObject*>(type)->tp_basicsize != static_cast<Py_ssize_t>(sizeof(Object<T>))) {
        PyErr_Format(PyExc_ImportError, "tessellar.%s is not the class tessellar_tools was built with",
                     ClassTraits<T>::name);
        return false;
    }
    return true;
}

template <class... T>
bool adopt_classes(PyObject* tessellar, BoundaryState& state, ClassList<T...>) {
    return (adopt_class<T>(tessellar, state) && ...);
}

bool fill_state(PyObject* module) {
    // Its copy of the core must know what metadata values are.
    install_python_metadata();
    ToolsState& state = state_of(module);
    PyRef tessellar = PyRef::steal(PyImport_ImportModule("tessellar"));
    if (!tessellar || !adopt_classes(tessellar.get(), state.boundary, ModuleClasses{})) return false;
    state.column_type = create_column_type(module);
    // Collections this module makes keep their entities in stores that
    // tessellar's objects can hold and report like their own.
    state.store_type = create_store_type(module);
    if (!state.column_type || !state.store_type) return false;
    install_python_stores(reinterpret_cast<PyTypeObject*>(state.store_type));
    return add_functions(module, tool_functions(), state.boundary);
}

}  // namespace

ToolsState& tools_state() noexcept { return state_of(life.module()); }

BoundaryState& boundary_state() noexcept { return tools_state().boundary; }

}  // namespace tessellar::py

PyMODINIT_FUNC PyInit__native(void) {
    return tessellar::py::life.initialise(tessellar::py::module_def, tessellar::py::fill_state);
}
