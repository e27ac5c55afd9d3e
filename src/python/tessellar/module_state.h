// What the module `tessellar` keeps between calls, in its module object.
#pragma once

#include "python/boundary/state.h"

#include <Python.h>

namespace tessellar::py {

// Interned keys of the comparison dicts.
enum KeySlot { kEntityIndexKey, kProcess1Key, kProcess2Key, kJaccardKey, kKeyCount };

struct ModuleState {
    BoundaryState boundary;
    PyObject* keys[kKeyCount];  // owned
    PyObject* store_type;       // owned; see store.h
};

// The state of the one module object; valid inside any call of the module.
ModuleState& module_state() noexcept;

}  // namespace tessellar::py
