#include "python/boundary/result.h"

namespace tessellar::py {

PyRef to_python(bool value) { return PyRef::borrow(value ? Py_True : Py_False); }

PyRef to_python(double value) { return PyRef::steal(PyFloat_FromDouble(value)); }

PyRef to_python(std::string_view value) {
    return PyRef::steal(PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), nullptr));
}

PyRef to_python(const Bytes& value) {
    return PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(value.data.data()),
                                                  static_cast<Py_ssize_t>(value.data.size())));
}

}  // namespace tessellar::py
