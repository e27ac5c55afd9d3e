#include "python/boundary/module_life.h"

#include "python/boundary/pyref.h"

namespace tessellar::py {

PyObject* ModuleLife::initialise(PyModuleDef& def, bool (*fill)(PyObject* module)) noexcept {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_Format(PyExc_ImportError, "%s does not support sub-interpreters", def.m_name);
        return nullptr;
    }
    if (module_) return Py_NewRef(module_);
    PyRef module = PyRef::steal(PyModule_Create(&def));
    if (!module || !fill(module.get())) return nullptr;
    module_ = module.get();
    return module.release();
}

}  // namespace tessellar::py
