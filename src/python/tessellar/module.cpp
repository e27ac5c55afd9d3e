// Module initialisation: creates the module and registers its classes.
#include "python/boundary/module_life.h"
#include "python/boundary/type_factory.h"
#include "python/tessellar/classes.h"
#include "python/tessellar/metadata.h"
#include "python/tessellar/module_state.h"
#include "python/tessellar/store.h"

#include <Python.h>

#include <utility>

namespace tessellar::py {
namespace {

ModuleLife life;

ModuleState& state_of(PyObject* module) { return *static_cast<ModuleState*>(PyModule_GetState(module)); }

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    ModuleState& state = state_of(module);
    for (PyObject* key : state.keys) Py_VISIT(key);
    Py_VISIT(state.store_type);
    return traverse_boundary_state(state.boundary, visit, arg);
}

int clear_module(PyObject* module) {
    ModuleState& state = state_of(module);
    for (PyObject*& key : state.keys) Py_CLEAR(key);
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
    "tessellar",
    "Compact storage, comparison and fingerprinting of entity-resolution results.",
    sizeof(ModuleState),
    nullptr,
    nullptr,
    traverse_module,
    clear_module,
    free_module,
};

constexpr std::pair<KeySlot, const char*> kKeys[] = {
    {kEntityIndexKey, "entity_index"},
    {kProcess1Key, "process1"},
    {kProcess2Key, "process2"},
    {kJaccardKey, "jaccard"},
};

template <class T>
bool register_class(PyObject* module, BoundaryState& state) {
    static_assert(ClassTraits<T>::slot < kMaxClasses);
    PyObject* type = create_type<T>(module, state);
    state.types[ClassTraits<T>::slot] = type;
    return type && PyModule_AddObjectRef(module, ClassTraits<T>::name, type) == 0;
}

// Registration goes in slot order.
template <class... T, size_t... I>
constexpr bool in_slot_order(ClassList<T...>, std::index_sequence<I...>) {
    return ((ClassTraits<T>::slot == static_cast<int>(I)) && ...);
}

template <class... T>
bool register_classes(PyObject* module, BoundaryState& state, ClassList<T...> classes) {
    static_assert(in_slot_order(classes, std::index_sequence_for<T...>{}));
    return (register_class<T>(module, state) && ...);
}

bool fill_state(PyObject* module) {
    install_python_metadata();
    ModuleState& state = state_of(module);
    for (const auto& [slot, text] : kKeys) {
        state.keys[slot] = PyUnicode_InternFromString(text);
        if (!state.keys[slot]) return false;
    }
    state.store_type = create_store_type(module);
    if (!state.store_type) return false;
    install_python_stores(reinterpret_cast<PyTypeObject*>(state.store_type));
    return register_classes(module, state.boundary, ModuleClasses{});
}

}  // namespace

ModuleState& module_state() noexcept { return state_of(life.module()); }

BoundaryState& boundary_state() noexcept { return module_state().boundary; }

}  // namespace tessellar::py

PyMODINIT_FUNC PyInit_tessellar(void) {
    return tessellar::py::life.initialise(tessellar::py::module_def, tessellar::py::fill_state);
}
