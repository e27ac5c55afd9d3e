// Module-level functions, declared like static methods:
//
//   function<&evaluate>("evaluate", "Score a prediction", "frame", "prediction", "reference")
#pragma once

#include "python/boundary/declare.h"
#include "python/boundary/state.h"

#include <Python.h>

#include <vector>

namespace tessellar::py {

template <auto Fn, ParamDeclaration... Declared>
Member function(const char* name, const char* description, Declared... declared) {
    return static_method<Fn>(name, description, declared...);
}

// Adds the functions to `module` once per process; false with an error set.
bool add_functions(PyObject* module, const std::vector<Member>& functions, BoundaryState& state);

}  // namespace tessellar::py
