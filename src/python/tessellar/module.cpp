// Module initialisation: creates the module and registers its four classes.
#include "python/tessellar/classes.h"
#include "python/boundary/pyref.h"
#include "python/boundary/state.h"

#include <Python.h>

#include <iterator>
#include <utility>

namespace tessellar::py {
namespace {

// Borrowed: the module keeps itself alive through its classes, and the
// interpreter keeps a single-phase module for its whole life. Cleared when
// the module is freed, so a later initialisation starts afresh.
PyObject* the_module = nullptr;

ModuleState& state_of(PyObject* module) { return *static_cast<ModuleState*>(PyModule_GetState(module)); }

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    for (PyObject* object : state_of(module).objects) Py_VISIT(object);
    return 0;
}

int clear_module(PyObject* module) {
    for (PyObject*& object : state_of(module).objects) Py_CLEAR(object);
    return 0;
}

void free_module(void* module) {
    clear_module(static_cast<PyObject*>(module));
    if (the_module == module) the_module = nullptr;
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

struct Registration {
    const char* name;
    PyTypeObject* (*create)(PyObject* module);
};

// In registration order, which is the order of the type slots of the state.
constexpr Registration kClasses[] = {
    {"StringInternerCore", create_interner_type},
    {"EntityCore", create_entity_type},
    {"CollectionCore", create_collection_type},
    {"EntityFrame", create_frame_type},
};
static_assert(std::size(kClasses) == kEntityIndexKey - kInternerType);

constexpr std::pair<StateSlot, const char*> kKeys[] = {
    {kEntityIndexKey, "entity_index"},
    {kProcess1Key, "process1"},
    {kProcess2Key, "process2"},
    {kJaccardKey, "jaccard"},
};

bool fill_state(PyObject* module) {
    ModuleState& state = state_of(module);
    for (const auto& [slot, text] : kKeys) {
        state.objects[slot] = PyUnicode_InternFromString(text);
        if (!state.objects[slot]) return false;
    }
    for (size_t index = 0; index < std::size(kClasses); ++index) {
        const Registration& registration = kClasses[index];
        PyObject* type = reinterpret_cast<PyObject*>(registration.create(module));
        state.objects[kInternerType + index] = type;
        if (!type || PyModule_AddObjectRef(module, registration.name, type) < 0) return false;
    }
    return true;
}

// Values hold interpreter objects and the classes are made once, so the
// module lives in the main interpreter only. Initialisation runs on every
// import that does not find the module in sys.modules, and always hands out
// the one module object.
PyObject* initialise() {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, "tessellar does not support sub-interpreters");
        return nullptr;
    }
    if (the_module) return Py_NewRef(the_module);

    PyRef module = PyRef::steal(PyModule_Create(&module_def));
    if (!module || !fill_state(module.get())) return nullptr;
    the_module = module.get();
    return module.release();
}

}  // namespace

ModuleState* module_state() noexcept {
    return the_module ? static_cast<ModuleState*>(PyModule_GetState(the_module)) : nullptr;
}

}  // namespace tessellar::py

PyMODINIT_FUNC PyInit_tessellar(void) { return tessellar::py::initialise(); }
