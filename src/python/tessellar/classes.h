// The module's classes, each defined in its subsystem's binding file.
// Each returns a new reference to the class's type, or null with an error set.
#pragma once

#include <Python.h>

namespace tessellar::py {

PyTypeObject* create_interner_type(PyObject* module);
PyTypeObject* create_entity_type(PyObject* module);
PyTypeObject* create_collection_type(PyObject* module);
PyTypeObject* create_frame_type(PyObject* module);

}  // namespace tessellar::py
