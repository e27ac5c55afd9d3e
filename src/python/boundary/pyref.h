// An owned reference to a Python object. Copying takes a new reference,
// destruction releases it; both need the interpreter lock.
#pragma once

#include <Python.h>

#include <utility>

namespace tessellar {

class PyRef {
public:
    PyRef() noexcept = default;
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    static PyRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyRef(const PyRef& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// Calls `object.name(*args)`. The name goes through the interned table so
// that the interpreter's method cache, which keeps the names it sees, holds
// one string rather than a fresh one per call.
template <typename... Args>
PyRef invoke_method(PyObject* object, const char* name, Args... args) {
    PyRef method = PyRef::steal(PyUnicode_InternFromString(name));
    if (!method) return {};
    PyObject* stack[] = {object, static_cast<PyObject*>(args)...};
    return PyRef::steal(PyObject_VectorcallMethod(method.get(), stack, 1 + sizeof...(Args), nullptr));
}

}  // namespace tessellar
