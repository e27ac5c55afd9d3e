#include "python/tessellar/metadata.h"

namespace tessellar::py {

namespace {

void retain(void* handle) noexcept { Py_INCREF(static_cast<PyObject*>(handle)); }

void release(void* handle) noexcept { Py_DECREF(static_cast<PyObject*>(handle)); }

MetadataValue from_bytes(std::span<const uint8_t> bytes) noexcept {
    PyObject* object =
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), static_cast<Py_ssize_t>(bytes.size()));
    if (!object) PyErr_Clear();  // the core reports running out of memory itself
    return MetadataValue::adopt(object);
}

// `bytes` and its subclasses count as byte strings.
std::optional<std::span<const uint8_t>> as_bytes(void* handle) noexcept {
    auto* object = static_cast<PyObject*>(handle);
    if (!PyBytes_Check(object)) return std::nullopt;
    return std::span(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(object)),
                     static_cast<size_t>(PyBytes_GET_SIZE(object)));
}

}  // namespace

void install_python_metadata() noexcept { install_metadata_ops({retain, release, from_bytes, as_bytes}); }

}  // namespace tessellar::py
