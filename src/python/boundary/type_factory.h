// Creation of a class's Python type object from its ClassDef.
#pragma once

#include "python/boundary/class_def.h"

#include <Python.h>

#include <string>
#include <vector>

namespace tessellar::py {

template <class T>
void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (PyType_IS_GC(type)) PyObject_GC_UnTrack(self);
    reinterpret_cast<Object<T>*>(self)->value.~T();
    type->tp_free(self);
    Py_DECREF(type);
}

template <class T, const ClassDef<T>& Def>
int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    auto* holder = reinterpret_cast<Object<T>*>(self);
    // While a call changes the value, its containers may be mid-update:
    // report nothing, which only makes the collector more conservative.
    if (holder->borrow == kExclusive) return 0;
    return Def.traverse(holder->value, visit, arg);
}

template <class T, const ClassDef<T>& Def>
int clear(PyObject* self) {
    auto* holder = reinterpret_cast<Object<T>*>(self);
    if (holder->borrow == 0) Def.clear(holder->value);
    return 0;
}

// Builds the type for the module being initialised, which owns it from then
// on. On failure returns null with RuntimeError "failed to create type object
// for <name>", caused by the original error.
template <class T, const ClassDef<T>& Def>
PyTypeObject* create_type(PyObject* module) {
    auto failed = []() -> PyTypeObject* {
        PyRef message = PyRef::steal(PyUnicode_FromFormat("failed to create type object for %s", Def.name));
        if (message) raise_from_pending(PyExc_RuntimeError, message.get());
        return nullptr;
    };
    static std::string doc = std::string(Def.name) + Def.signature + "\n--\n\n" + Def.doc;
    static std::string qualified_name = std::string("tessellar.") + Def.name;
    static std::vector<PyMethodDef> methods;
    static std::vector<PyGetSetDef> getters;
    static std::vector<PyType_Slot> slots;
    methods.clear();
    getters.clear();
    slots.clear();

    if (!Def.constructor.prepare(Def.name, Def.signature)) return failed();
    for (const Member& member : Def.members) {
        const char* member_doc = member.prepare(Def.name, member);
        if (!member_doc) return failed();
        switch (member.kind) {
            case Member::Kind::Method:
                methods.push_back({member.name, member.function, METH_FASTCALL | METH_KEYWORDS, member_doc});
                break;
            case Member::Kind::Static:
                methods.push_back(
                    {member.name, member.function, METH_FASTCALL | METH_KEYWORDS | METH_STATIC, member_doc});
                break;
            case Member::Kind::Getter:
                getters.push_back({member.name, member.get, nullptr, member_doc, nullptr});
                break;
        }
    }
    methods.push_back({nullptr, nullptr, 0, nullptr});
    getters.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});

    const bool collects = Def.traverse != nullptr;
    slots = {
        {Py_tp_new, reinterpret_cast<void*>(Def.constructor.function)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<T>)},
        {Py_tp_doc, const_cast<char*>(doc.c_str())},
        {Py_tp_methods, methods.data()},
        {Py_tp_getset, getters.data()},
    };
    if (collects) {
        slots.push_back({Py_tp_traverse, reinterpret_cast<void*>(&traverse<T, Def>)});
        slots.push_back({Py_tp_clear, reinterpret_cast<void*>(&clear<T, Def>)});
    }
    slots.insert(slots.end(), Def.extra_slots.begin(), Def.extra_slots.end());
    slots.push_back({0, nullptr});

    PyType_Spec type_spec = {
        qualified_name.c_str(),
        static_cast<int>(sizeof(Object<T>)),
        0,
        static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | (collects ? Py_TPFLAGS_HAVE_GC : 0)),
        slots.data(),
    };
    PyObject* type = PyType_FromModuleAndSpec(module, &type_spec, nullptr);
    if (!type) return failed();
    Class<T>::name = Def.name;
    Class<T>::type = reinterpret_cast<PyTypeObject*>(type);
    return Class<T>::type;
}

}  // namespace tessellar::py
