// Failures on their way back to Python. Bound functions return their value
// or a failure; only the boundary turns a failure into the pending Python
// exception, when the call returns.
#pragma once

#include "core/error.h"
#include "python/boundary/pyref.h"

#include <Python.h>

#include <expected>
#include <string>

namespace tessellar::py {

// The one table from the core's error kinds to Python's exception classes.
PyObject* exception_class(ErrorKind kind) noexcept;

// An exception class with its message, or (class null) the exception the
// interpreter already has pending, raised by one of its own functions.
struct Failure {
    Failure() = default;
    Failure(PyObject* type, std::string message) : type(type), message(std::move(message)) {}
    // A failure of the core becomes the exception its kind maps to.
    Failure(Error error) : type(exception_class(error.kind)), message(std::move(error.message)) {}

    PyObject* type = nullptr;
    std::string message;
    // Where in a nested argument the failure happened, added to the
    // exception as a note (on interpreters that have notes).
    std::string note;
};

template <class T>
using PyResult = std::expected<T, Failure>;
using PyStatus = std::expected<void, Failure>;

// The exception the interpreter has pending.
inline std::unexpected<Failure> pending() { return std::unexpected(Failure{}); }
inline std::unexpected<Failure> type_error(std::string message) {
    return std::unexpected(Failure{PyExc_TypeError, std::move(message)});
}

// The pending exception, normalized, taken out of the error indicator.
PyRef take_pending_exception();
// Makes a taken exception pending again; returns null.
PyObject* raise_exception(PyRef exception);

// Sets the Python exception for a failure and returns null.
PyObject* raise(const Failure& failure);
// As raise(), but a TypeError becomes "argument 'name': " + its message.
PyObject* raise_for_argument(const Failure& failure, const char* parameter);
// Replaces the pending exception, if any, by a new `type` exception whose
// message is `message` and whose cause is the replaced one.
PyObject* raise_from_pending(PyObject* type, PyObject* message);

}  // namespace tessellar::py
