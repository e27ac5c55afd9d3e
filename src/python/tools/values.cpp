#include "python/tools/values.h"

#include "python/boundary/failure.h"

#include <string>

namespace tessellar::py {

namespace {

enum Tag : uint8_t { kNone, kFalse, kTrue, kInt, kBigInt, kFloat, kStr, kBytes, kList, kTuple, kDict, kAside };

// Deeper nesting is set aside like any other value that is not plain data.
constexpr int kMaxDepth = 100;

std::span<const uint8_t> bytes_of(const char* data, Py_ssize_t size) {
    return {reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(size)};
}

}  // namespace

Error PythonValues::python_failed() {
    exception_ = take_pending_exception();
    return Error{ErrorKind::InvalidValue, "a Python exception"};
}

void PythonValues::put_aside(PyObject* value, ByteWriter& out) {
    PyObject* list = kept_ ? kept_ : aside_.get();
    out.u8(kAside);
    out.u32(static_cast<uint32_t>(PyList_GET_SIZE(list)));
    if (PyList_Append(list, value) < 0) throw std::bad_alloc();
}

Status PythonValues::write(const MetadataValue& value, ByteWriter& out) {
    auto* object = static_cast<PyObject*>(value.handle());
    if (!kept_ && !aside_) {
        aside_ = PyRef::steal(PyList_New(0));
        if (!aside_) return std::unexpected(python_failed());
    }
    if (kept_) {
        put_aside(object, out);
        return {};
    }
    const size_t start = out.size();
    switch (encode(object, out, 0)) {
        case Encoded::Done: return {};
        case Encoded::Failed: return std::unexpected(python_failed());
        case Encoded::NotPlain: break;
    }
    out.truncate(start);
    if (!allow_pickle_) {
        return std::unexpected(Error{ErrorKind::InvalidValue,
                                     std::string("a '") + Py_TYPE(object)->tp_name +
                                         "' value is not plain data (None, bool, int, float, str, bytes, and lists, "
                                         "tuples and dicts of them); save with allow_pickle=True to pickle it"});
    }
    put_aside(object, out);
    return {};
}

PythonValues::Encoded PythonValues::encode(PyObject* value, ByteWriter& out, int depth) {
    if (depth > kMaxDepth) return Encoded::NotPlain;
    if (value == Py_None) {
        out.u8(kNone);
    } else if (PyBool_Check(value)) {
        out.u8(value == Py_True ? kTrue : kFalse);
    } else if (PyLong_CheckExact(value)) {
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (number == -1 && PyErr_Occurred()) return Encoded::Failed;
        if (!overflow) {
            out.u8(kInt);
            out.u64(static_cast<uint64_t>(number));
            return Encoded::Done;
        }
        // Hexadecimal text: no limit on digits, unlike decimal conversion.
        PyRef hex = PyRef::steal(PyNumber_ToBase(value, 16));
        if (!hex) return Encoded::Failed;
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(hex.get(), &size);
        if (!text) return Encoded::Failed;
        out.u8(kBigInt);
        out.u64(static_cast<uint64_t>(size));
        out.raw(bytes_of(text, size));
    } else if (PyFloat_CheckExact(value)) {
        out.u8(kFloat);
        out.f64(PyFloat_AS_DOUBLE(value));
    } else if (PyUnicode_CheckExact(value)) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(value, &size);
        if (!text) {  // lone surrogates: not text any other program could read
            PyErr_Clear();
            return Encoded::NotPlain;
        }
        out.u8(kStr);
        out.u64(static_cast<uint64_t>(size));
        out.raw(bytes_of(text, size));
    } else if (PyBytes_CheckExact(value)) {
        out.u8(kBytes);
        out.u64(static_cast<uint64_t>(PyBytes_GET_SIZE(value)));
        out.raw(bytes_of(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value)));
    } else if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
        const bool list = PyList_CheckExact(value);
        const Py_ssize_t size = list ? PyList_GET_SIZE(value) : PyTuple_GET_SIZE(value);
        out.u8(list ? kList : kTuple);
        out.u32(static_cast<uint32_t>(size));
        for (Py_ssize_t i = 0; i < size; ++i) {
            // Making an object may run a collection and a finalizer that
            // changes the list: a list that changed is not written natively.
            if (list && PyList_GET_SIZE(value) != size) return Encoded::NotPlain;
            PyRef item = PyRef::borrow(list ? PyList_GET_ITEM(value, i) : PyTuple_GET_ITEM(value, i));
            if (const Encoded encoded = encode(item.get(), out, depth + 1); encoded != Encoded::Done) return encoded;
        }
        if (list && PyList_GET_SIZE(value) != size) return Encoded::NotPlain;
    } else if (PyDict_CheckExact(value)) {
        const Py_ssize_t size = PyDict_GET_SIZE(value);
        out.u8(kDict);
        out.u32(static_cast<uint32_t>(size));
        Py_ssize_t position = 0, seen = 0;
        PyObject *key, *item;
        while (PyDict_Next(value, &position, &key, &item)) {
            PyRef held_key = PyRef::borrow(key), held_item = PyRef::borrow(item);
            if (++seen > size) return Encoded::NotPlain;
            for (PyObject* part : {held_key.get(), held_item.get()}) {
                if (const Encoded encoded = encode(part, out, depth + 1); encoded != Encoded::Done) return encoded;
            }
        }
        if (seen != size || PyDict_GET_SIZE(value) != size) return Encoded::NotPlain;
    } else {
        return Encoded::NotPlain;
    }
    return Encoded::Done;
}

Result<std::optional<std::vector<uint8_t>>> PythonValues::set_aside() {
    if (kept_ || !aside_ || PyList_GET_SIZE(aside_.get()) == 0) return std::nullopt;
    PyRef pickle = PyRef::steal(PyImport_ImportModule("pickle"));
    if (!pickle) return std::unexpected(python_failed());
    PyRef protocol = PyRef::steal(PyLong_FromLong(4));
    PyRef pickled = protocol ? invoke_method(pickle.get(), "dumps", aside_.get(), protocol.get()) : PyRef();
    if (!pickled) return std::unexpected(python_failed());
    if (!PyBytes_Check(pickled.get())) return std::unexpected(Error{ErrorKind::InvalidValue, "pickle.dumps gave no bytes"});
    const auto bytes = bytes_of(PyBytes_AS_STRING(pickled.get()), PyBytes_GET_SIZE(pickled.get()));
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

Status PythonValues::take_set_aside(std::optional<std::span<const uint8_t>> section) {
    if (!section) return {};
    if (kept_ || !allow_pickle_) {
        return std::unexpected(Error{ErrorKind::InvalidValue,
                                     "The file holds pickled metadata values, and unpickling can run any code: load "
                                     "it with allow_pickle=True only if you trust where it came from"});
    }
    PyRef pickle = PyRef::steal(PyImport_ImportModule("pickle"));
    if (!pickle) return std::unexpected(python_failed());
    PyRef data = PyRef::steal(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(section->data()), static_cast<Py_ssize_t>(section->size())));
    if (!data) return std::unexpected(python_failed());
    aside_ = invoke_method(pickle.get(), "loads", data.get());
    if (!aside_) return std::unexpected(python_failed());
    if (!PyList_CheckExact(aside_.get())) {
        aside_ = PyRef();
        return std::unexpected(Error{ErrorKind::InvalidValue, "Corrupt tessellar file: its pickled values are not a list"});
    }
    return {};
}

MetadataValue PythonValues::read(ByteReader& in) {
    PyRef value = decode(in, 0);
    return MetadataValue::adopt(value.release());
}

PyRef PythonValues::decode(ByteReader& in, int depth) {
    if (depth > kMaxDepth) {
        in.fail("values nested deeper than " + std::to_string(kMaxDepth));
        return {};
    }
    // An interpreter failure (memory) stops reading; its exception is raised.
    auto made = [&](PyObject* object) {
        if (!object) {
            exception_ = take_pending_exception();
            in.fail("the interpreter failed to make a value");
        }
        return PyRef::steal(object);
    };
    auto text = [&](auto make) -> PyRef {
        const auto bytes = in.bytes(in.u64());
        if (!in.ok()) return {};
        PyObject* object = make(reinterpret_cast<const char*>(bytes.data()), static_cast<Py_ssize_t>(bytes.size()));
        if (!object && PyErr_ExceptionMatches(PyExc_ValueError)) {  // UnicodeDecodeError, a bad number
            PyErr_Clear();
            in.fail("a text or number value is malformed");
            return {};
        }
        return made(object);
    };
    const uint8_t tag = in.u8();
    if (!in.ok()) return {};
    switch (tag) {
        case kNone: return PyRef::borrow(Py_None);
        case kFalse: return PyRef::borrow(Py_False);
        case kTrue: return PyRef::borrow(Py_True);
        case kInt: {
            const auto number = static_cast<long long>(in.u64());
            return in.ok() ? made(PyLong_FromLongLong(number)) : PyRef();
        }
        case kBigInt:
            return text([](const char* data, Py_ssize_t size) -> PyObject* {
                const std::string digits(data, static_cast<size_t>(size));
                char* end = nullptr;
                PyObject* number = PyLong_FromString(digits.c_str(), &end, 16);
                if (number && end != digits.c_str() + digits.size()) {
                    Py_DECREF(number);
                    PyErr_SetString(PyExc_ValueError, "trailing characters");
                    return nullptr;
                }
                return number;
            });
        case kFloat: {
            const double number = in.f64();
            return in.ok() ? made(PyFloat_FromDouble(number)) : PyRef();
        }
        case kStr: return text([](const char* data, Py_ssize_t size) { return PyUnicode_DecodeUTF8(data, size, nullptr); });
        case kBytes: return text(PyBytes_FromStringAndSize);
        case kList:
        case kTuple: {
            const uint32_t size = in.u32();
            if (!in.has(size, 1)) return {};
            PyRef items = made(tag == kList ? PyList_New(size) : PyTuple_New(size));
            for (uint32_t i = 0; i < size && items; ++i) {
                PyRef item = decode(in, depth + 1);
                if (!item) return {};
                if (tag == kList) {
                    PyList_SET_ITEM(items.get(), i, item.release());
                } else {
                    PyTuple_SET_ITEM(items.get(), i, item.release());
                }
            }
            return items;
        }
        case kDict: {
            const uint32_t size = in.u32();
            if (!in.has(size, 2)) return {};
            PyRef dict = made(PyDict_New());
            for (uint32_t i = 0; i < size && dict; ++i) {
                PyRef key = decode(in, depth + 1);
                PyRef item = key ? decode(in, depth + 1) : PyRef();
                if (!item) return {};
                if (PyDict_SetItem(dict.get(), key.get(), item.get()) < 0) {
                    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return made(nullptr);
                    PyErr_Clear();
                    in.fail(std::string("a '") + Py_TYPE(key.get())->tp_name + "' cannot be a dict key");
                    return {};
                }
            }
            return dict;
        }
        case kAside: {
            const uint32_t index = in.u32();
            PyObject* list = kept_ ? kept_ : aside_.get();
            if (in.ok() && (!list || index >= static_cast<uint32_t>(PyList_GET_SIZE(list)))) {
                in.fail("value " + std::to_string(index) + " set aside is missing");
            }
            return in.ok() ? PyRef::borrow(PyList_GET_ITEM(list, index)) : PyRef();
        }
        default:
            in.fail("unknown value tag " + std::to_string(tag));
            return {};
    }
}

}  // namespace tessellar::py
