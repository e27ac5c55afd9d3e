// Module initialisation: creates the module and registers its four classes.
#include "module/classes.h"
#include "module/pyref.h"

#include <Python.h>


namespace tessellar::py {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tessellar",
    "Compact storage, comparison and fingerprinting of entity-resolution results.",
    0,
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
// process, so the module lives in the main interpreter only. Initialisation
// runs on every import that does not find the module in sys.modules, and
// always hands out the one module object.
PyObject* the_module = nullptr;

PyObject* initialise() {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
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
    the_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace
}  // namespace tessellar::py

PyMODINIT_FUNC PyInit_tessellar(void) { return tessellar::py::initialise(); }
