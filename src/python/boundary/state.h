// The Python objects the module keeps between calls: its classes and the
// keys of the dicts it builds. They belong to the module object, never to a
// C++ static, so no destructor that runs at process exit touches the
// interpreter after it is gone; when the interpreter frees the module, the
// module releases them.
#pragma once

#include <Python.h>

namespace tessellar::py {

enum StateSlot {
    // The classes, in registration order.
    kInternerType,
    kEntityType,
    kCollectionType,
    kFrameType,
    // Interned keys of the comparison dicts.
    kEntityIndexKey,
    kProcess1Key,
    kProcess2Key,
    kJaccardKey,
    kStateSlots,
};

// Lives in the module object's own storage; every pointer is an owned
// reference or null.
struct ModuleState {
    PyObject* objects[kStateSlots];
};

// The state of the one module object, or null while there is none (before
// the first import, after the interpreter freed it).
ModuleState* module_state() noexcept;

}  // namespace tessellar::py
