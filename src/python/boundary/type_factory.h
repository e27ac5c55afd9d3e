// Creation of a class's Python type object from its declaration.
#pragma once

#include "python/boundary/declare.h"
#include "python/boundary/state.h"

#include <Python.h>

#include <string>
#include <vector>

namespace tessellar::py {

// "(...)" of a text signature: "$self" first for methods, then each
// parameter with its default in double quotes.
std::string text_signature(const std::vector<Param>& params, bool with_self);

// Fills `binding` for a function bound as `qualname` and appends its
// interned parameter names to the state's list; false with an error set.
bool bind_declaration(Binding& binding, std::string qualname, const std::vector<Param>& params,
                      BoundaryState& state);

template <class T>
void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (PyType_IS_GC(type)) PyObject_GC_UnTrack(self);
    reinterpret_cast<Object<T>*>(self)->value.~T();
    type->tp_free(self);
    Py_DECREF(type);
}

template <class T>
int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    auto* holder = reinterpret_cast<Object<T>*>(self);
    // While a call changes the value, its containers may be mid-update:
    // report nothing, which only makes the collector more conservative.
    if (holder->borrow == kExclusive) return 0;
    return class_def<T>().traverse(holder->value, visit, arg);
}

template <class T>
int clear(PyObject* self) {
    auto* holder = reinterpret_cast<Object<T>*>(self);
    if (holder->borrow == 0) class_def<T>().clear(holder->value);
    return 0;
}

// Builds T's type for `module`, whose state takes the returned reference.
// On failure returns null with RuntimeError "failed to create type object
// for <name>", caused by the original error.
template <BoundClass T>
PyObject* create_type(PyObject* module, BoundaryState& state) {
    const char* name = ClassTraits<T>::name;
    auto failed = [name]() -> PyObject* {
        PyRef message = PyRef::steal(PyUnicode_FromFormat("failed to create type object for %s", name));
        if (message) raise_from_pending(PyExc_RuntimeError, message.get());
        return nullptr;
    };
    const ClassDef<T>& def = class_def<T>();
    // The interpreter keeps pointers into these for the type's life.
    static std::string doc, qualified_name;
    static std::vector<std::string> member_docs;
    static std::vector<PyMethodDef> methods;
    static std::vector<PyGetSetDef> getters;
    static std::vector<PyType_Slot> slots;
    doc = std::string(name) + text_signature(def.constructor.params, false) + "\n--\n\n" + def.doc;
    const char* module_name = PyModule_GetName(module);
    if (!module_name) return failed();
    qualified_name = std::string(module_name) + "." + name;
    member_docs.clear();
    member_docs.reserve(def.members.size());
    methods.clear();
    getters.clear();

    if (!bind_declaration(*def.constructor.binding, std::string(name) + ".__new__()", def.constructor.params, state)) {
        return failed();
    }
    for (const Member& member : def.members) {
        if (!bind_declaration(*member.binding, std::string(name) + "." + member.name + "()", member.params, state)) {
            return failed();
        }
        if (member.kind == Member::Kind::Getter) {
            getters.push_back({member.name, member.get, nullptr, member.description, nullptr});
            continue;
        }
        const bool is_static = member.kind == Member::Kind::Static;
        const std::string& member_doc = member_docs.emplace_back(
            member.name + text_signature(member.params, !is_static) + "\n--\n\n" + member.description);
        methods.push_back({member.name, member.function,
                           METH_FASTCALL | METH_KEYWORDS | (is_static ? METH_STATIC : 0), member_doc.c_str()});
    }
    methods.push_back({nullptr, nullptr, 0, nullptr});
    getters.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});

    const bool collects = def.traverse != nullptr;
    slots = {
        {Py_tp_new, reinterpret_cast<void*>(def.constructor.function)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<T>)},
        {Py_tp_doc, const_cast<char*>(doc.c_str())},
        {Py_tp_methods, methods.data()},
        {Py_tp_getset, getters.data()},
    };
    if (collects) {
        slots.push_back({Py_tp_traverse, reinterpret_cast<void*>(&traverse<T>)});
        slots.push_back({Py_tp_clear, reinterpret_cast<void*>(&clear<T>)});
    }
    slots.insert(slots.end(), def.extra_slots.begin(), def.extra_slots.end());
    slots.push_back({0, nullptr});

    PyType_Spec type_spec = {
        qualified_name.c_str(),
        static_cast<int>(sizeof(Object<T>)),
        0,
        static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | (collects ? Py_TPFLAGS_HAVE_GC : 0)),
        slots.data(),
    };
    PyObject* type = PyType_FromModuleAndSpec(module, &type_spec, nullptr);
    return type ? type : failed();
}

}  // namespace tessellar::py
