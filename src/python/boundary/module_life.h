// The life of a single-phase extension module of ours: made once, in the
// main interpreter only, since values hold interpreter objects; handed out
// again by every later initialisation (an import that does not find it in
// sys.modules); forgotten when the interpreter frees it, so that a later
// initialisation starts afresh.
#pragma once

#include <Python.h>

namespace tessellar::py {

class ModuleLife {
public:
    // A new reference to the module: made with `def` and filled by `fill`
    // the first time, the same object afterwards; null with an error set.
    PyObject* initialise(PyModuleDef& def, bool (*fill)(PyObject* module)) noexcept;
    // For the module's m_free.
    void forget(void* module) noexcept {
        if (module_ == module) module_ = nullptr;
    }
    // Borrowed; valid inside any call of the module.
    PyObject* module() const noexcept { return module_; }

private:
    PyObject* module_ = nullptr;  // borrowed: the interpreter keeps the module
};

}  // namespace tessellar::py
