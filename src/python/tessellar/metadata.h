// Entity metadata values are Python objects: what the core keeps as handles
// are object pointers, counted with the interpreter's reference counts.
#pragma once

#include "core/entity/entity.h"
#include "python/boundary/pyref.h"

#include <Python.h>

namespace tessellar::py {

// Tells the core how to count, release and make values; once per process.
void install_python_metadata() noexcept;

inline MetadataValue metadata_of(PyObject* object) { return MetadataValue::share(object); }

// The stored object, or None for no value.
inline PyRef object_of(const MetadataValue* value) {
    return PyRef::borrow(value ? static_cast<PyObject*>(value->handle()) : Py_None);
}

// The body of a tp_traverse over the objects an entity holds.
inline int visit_metadata(const Entity& entity, visitproc visit, void* arg) {
    return entity.visit_metadata([&](void* handle) { return visit(static_cast<PyObject*>(handle), arg); });
}

}  // namespace tessellar::py
