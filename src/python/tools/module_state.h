// What the module `tessellar_tools._native` keeps between calls, in its
// module object. Its class slots hold `tessellar`'s own classes, so that
// its functions take and borrow tessellar's objects exactly as tessellar
// does.
#pragma once

#include "python/boundary/state.h"

#include <Python.h>

namespace tessellar::py {

struct ToolsState {
    BoundaryState boundary;
    PyObject* column_type;  // owned
    PyObject* store_type;   // owned; see python/tessellar/store.h
};

// The state of the one module object; valid inside any call of the module.
ToolsState& tools_state() noexcept;

}  // namespace tessellar::py
