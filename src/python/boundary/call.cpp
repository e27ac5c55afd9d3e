#include "python/boundary/call.h"

#include <cstring>
#include <string>
#include <string_view>

namespace tessellar::py {

namespace {

std::string_view trim(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

bool invalid_signature(const char* text) {
    PyErr_Format(PyExc_SystemError, "invalid text signature: %s", text);
    return false;
}

bool parse_parameter(std::string_view item, Parameter& parameter) {
    const size_t equals = item.find('=');
    parameter.name = std::string(trim(item.substr(0, equals)));
    if (parameter.name.empty()) return false;
    if (equals == std::string_view::npos) return true;
    // Only text defaults occur: a double-quoted literal without escapes.
    std::string_view value = trim(item.substr(equals + 1));
    if (value.size() < 2 || value.front() != '"' || value.back() != '"') return false;
    parameter.default_text = std::string(value.substr(1, value.size() - 2));
    return true;
}

void set_type_error(const std::string& message) {
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(PyExc_TypeError, text.get());
}

std::string plural(size_t count, const char* word) {
    return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

bool too_many_positional(const Signature& signature, Py_ssize_t given) {
    size_t required = 0;
    for (const Parameter& parameter : signature.parameters) required += parameter.default_text ? 0 : 1;
    const size_t total = signature.parameters.size();
    std::string takes = required == total ? plural(total, "positional argument")
                                          : "from " + std::to_string(required) + " to " + std::to_string(total) +
                                                " positional arguments";
    set_type_error(signature.qualname + " takes " + takes + " but " + std::to_string(given) +
                   (given == 1 ? " was" : " were") + " given");
    return false;
}

bool missing_arguments(const Signature& signature, PyObject** slots) {
    std::vector<std::string> missing;
    for (size_t i = 0; i < signature.parameters.size(); ++i) {
        if (!slots[i] && !signature.parameters[i].default_text) missing.push_back("'" + signature.parameters[i].name + "'");
    }
    std::string names;
    for (size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) names += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
        names += missing[i];
    }
    set_type_error(signature.qualname + " missing " + plural(missing.size(), "required positional argument") +
                   ": " + names);
    return false;
}

PyObject* set_error(PyObject* type, const std::string& message) {
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

}  // namespace

std::optional<Signature> parse_signature(const char* class_name, const char* method_name, const char* text) {
    std::string_view body(text);
    if (body.size() < 2 || body.front() != '(' || body.back() != ')') {
        invalid_signature(text);
        return std::nullopt;
    }
    body = body.substr(1, body.size() - 2);
    Signature signature;
    signature.qualname = std::string(class_name) + "." + (method_name ? method_name : "__new__") + "()";
    while (!trim(body).empty()) {
        const size_t comma = body.find(',');
        const std::string_view item = trim(body.substr(0, comma));
        body = comma == std::string_view::npos ? std::string_view{} : body.substr(comma + 1);
        if (item == "$self") continue;
        Parameter parameter;
        if (!parse_parameter(item, parameter)) {
            if (!PyErr_Occurred()) invalid_signature(text);
            return std::nullopt;
        }
        signature.parameters.push_back(std::move(parameter));
    }
    return signature;
}

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** slots) {
    const size_t count = signature.parameters.size();
    nargs = PyVectorcall_NARGS(nargs);
    if (static_cast<size_t>(nargs) > count) return too_many_positional(signature, nargs);
    for (size_t i = 0; i < count; ++i) slots[i] = i < static_cast<size_t>(nargs) ? args[i] : nullptr;

    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        size_t index = 0;
        while (index < count && PyUnicode_CompareWithASCIIString(keyword, signature.parameters[index].name.c_str()) != 0) {
            ++index;
        }
        if (index == count) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", signature.qualname.c_str(),
                         keyword);
            return false;
        }
        if (slots[index]) {
            set_type_error(signature.qualname + " got multiple values for argument '" +
                           signature.parameters[index].name + "'");
            return false;
        }
        slots[index] = args[nargs + k];
    }

    for (size_t i = 0; i < count; ++i) {
        if (!slots[i] && !signature.parameters[i].default_text) return missing_arguments(signature, slots);
    }
    return true;
}

PyObject* raise(const Error& error) {
    switch (error.kind) {
        case ErrorKind::Raised:
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
            return nullptr;
        case ErrorKind::MemoryError:
            return error.message.empty() ? PyErr_NoMemory() : set_error(PyExc_MemoryError, error.message);
        case ErrorKind::TypeError: return set_error(PyExc_TypeError, error.message);
        case ErrorKind::ValueError: return set_error(PyExc_ValueError, error.message);
        case ErrorKind::KeyError: return set_error(PyExc_KeyError, error.message);
        case ErrorKind::IndexError: return set_error(PyExc_IndexError, error.message);
        case ErrorKind::OverflowError: return set_error(PyExc_OverflowError, error.message);
        case ErrorKind::RuntimeError: return set_error(PyExc_RuntimeError, error.message);
    }
    return set_error(PyExc_SystemError, error.message);
}

namespace {

// The pending exception, normalized, taken out of the error indicator.
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

PyObject* raise_with_cause(PyObject* type, PyObject* message, PyRef cause) {
    PyRef error = PyRef::steal(PyObject_CallOneArg(type, message));
    if (!error) return nullptr;
    if (cause) PyException_SetCause(error.get(), cause.release());
    PyErr_SetObject(type, error.get());
    return nullptr;
}

}  // namespace

PyObject* raise_from_pending(PyObject* type, PyObject* message) {
    return raise_with_cause(type, message, take_pending_exception());
}

PyObject* raise_for_argument(const Error& error, const std::string& parameter) {
    const std::string prefix = "argument '" + parameter + "': ";
    if (error.kind == ErrorKind::TypeError) return set_error(PyExc_TypeError, prefix + error.message);
    if (error.kind != ErrorKind::Raised || !PyErr_ExceptionMatches(PyExc_TypeError)) return raise(error);

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
