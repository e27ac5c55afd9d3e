#include "python/boundary/failure.h"

#include <string>

namespace tessellar::py {

namespace {

PyObject* set_error(PyObject* type, const std::string& message) {
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

}  // namespace

PyRef take_pending_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyRef::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value && traceback) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return PyRef::steal(value);
#endif
}

PyObject* raise_exception(PyRef exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* value = exception.release();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
#endif
    return nullptr;
}

namespace {

PyObject* raise_with_cause(PyObject* type, PyObject* message, PyRef cause) {
    PyRef error = PyRef::steal(PyObject_CallOneArg(type, message));
    if (!error) return nullptr;
    if (cause) PyException_SetCause(error.get(), cause.release());
    PyErr_SetObject(type, error.get());
    return nullptr;
}

}  // namespace

PyObject* exception_class(ErrorKind kind) noexcept {
    switch (kind) {
        case ErrorKind::InvalidValue: return PyExc_ValueError;
        case ErrorKind::NotFound: return PyExc_KeyError;
        case ErrorKind::OutOfRange: return PyExc_IndexError;
        case ErrorKind::Overflow: return PyExc_OverflowError;
        case ErrorKind::OutOfMemory: return PyExc_MemoryError;
    }
    return PyExc_SystemError;
}

namespace {

// BaseException.add_note, from 3.11 on; before, the exception goes as it is.
void add_note(const std::string& note) {
#if PY_VERSION_HEX >= 0x030B0000
    PyRef error = take_pending_exception();
    if (!error) return;
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(note.data(), static_cast<Py_ssize_t>(note.size()), "replace"));
    PyRef added = text ? invoke_method(error.get(), "add_note", text.get()) : PyRef();
    if (!added) PyErr_Clear();  // the exception matters more than its note
    raise_exception(std::move(error));
#else
    (void)note;
#endif
}

}  // namespace

PyObject* raise(const Failure& failure) {
    if (!failure.type) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } else {
        set_error(failure.type, failure.message);
    }
    if (!failure.note.empty()) add_note(failure.note);
    return nullptr;
}

PyObject* raise_from_pending(PyObject* type, PyObject* message) {
    return raise_with_cause(type, message, take_pending_exception());
}

PyObject* raise_for_argument(const Failure& failure, const char* parameter) {
    const std::string prefix = std::string("argument '") + parameter + "': ";
    if (failure.type == PyExc_TypeError) return set_error(PyExc_TypeError, prefix + failure.message);
    if (failure.type || !PyErr_ExceptionMatches(PyExc_TypeError)) return raise(failure);

    // A TypeError from the interpreter's own conversion: re-raise it with the
    // argument's name in front, keeping the original as the cause.
    PyRef original = take_pending_exception();
    PyRef text = PyRef::steal(original ? PyObject_Str(original.get()) : nullptr);
    if (!text) return nullptr;
    PyRef message = PyRef::steal(PyUnicode_FromFormat("%s%U", prefix.c_str(), text.get()));
    if (!message) return nullptr;
    return raise_with_cause(PyExc_TypeError, message.get(), std::move(original));
}

}  // namespace tessellar::py
