// Collections' entity stores as Python objects: a store holds the entities
// that copies of a collection share, and reports the metadata values inside
// to the cyclic collector, once, however many collections share it.
#pragma once

#include <Python.h>

namespace tessellar::py {

// A new reference to the store type, made for `module` (never added to it),
// or null with an error set.
PyObject* create_store_type(PyObject* module);

// Tells the core to make its stores of `type`, which the module's state
// keeps alive for as long as the core may use it.
void install_python_stores(PyTypeObject* type) noexcept;

}  // namespace tessellar::py
