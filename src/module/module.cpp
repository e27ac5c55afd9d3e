// Module initialisation: creates the module and registers its four classes.
#include "module/classes.h"
#include "module/pyref.h"

#include <Python.h>

#include <cstdint>

namespace tessellar::py {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tessellar",
    "Compact storage, comparison and fingerprinting of entity-resolution results.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

struct Registration {
    const char* name;
    PyTypeObject* (*create)(PyObject* module);
};

constexpr Registration kClasses[] = {
    {"StringInternerCore", create_interner_type},
    {"EntityCore", create_entity_type},
    {"CollectionCore", create_collection_type},
    {"EntityFrame", create_frame_type},
};

// Values hold interpreter objects and the types are created once per
// process, so the module lives in one interpreter only.
int64_t owner_interpreter = -1;
PyObject* the_module = nullptr;

PyObject* initialise() {
    const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (owner_interpreter != -1 && owner_interpreter != interpreter) {
        PyErr_SetString(PyExc_ImportError, "tessellar does not support sub-interpreters");
        return nullptr;
    }
    if (the_module) return Py_NewRef(the_module);

    PyRef module = PyRef::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    for (const Registration& registration : kClasses) {
        PyObject* type = reinterpret_cast<PyObject*>(registration.create(module.get()));
        if (!type || PyModule_AddObject(module.get(), registration.name, type) < 0) {
            Py_XDECREF(type);
            return nullptr;
        }
    }
    owner_interpreter = interpreter;
    the_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace
}  // namespace tessellar::py

PyMODINIT_FUNC PyInit_tessellar(void) { return tessellar::py::initialise(); }
