// What the boundary keeps for an extension module between calls: the module's
// classes and the interned names of every declared parameter. It lives in
// the module object's own state, so the interpreter controls its lifetime;
// C++ statics hold no Python object.
#pragma once

#include <Python.h>

namespace tessellar::py {

inline constexpr int kMaxClasses = 8;

struct BoundaryState {
    // list of str: the parameter names of every bound function, interned;
    // each function knows where its own names start.
    PyObject* parameter_names;
    // Owned references to the module's classes, by ClassTraits<T>::slot.
    PyObject* types[kMaxClasses];
};

// The state of the calling module. Each extension module defines it.
BoundaryState& boundary_state() noexcept;

int traverse_boundary_state(const BoundaryState& state, visitproc visit, void* arg);
void clear_boundary_state(BoundaryState& state) noexcept;

}  // namespace tessellar::py
