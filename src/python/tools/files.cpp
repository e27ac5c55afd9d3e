// Saving and loading tessellar's objects in the file format, for files and
// for pickling.
#include "python/tools/functions.h"

#include "core/io/frame_file.h"
#include "python/boundary/functions.h"
#include "python/tessellar/classes.h"
#include "python/tools/column.h"
#include "python/tools/values.h"

#include <utility>

namespace tessellar::py {
namespace {

// `kept` is None or the list that takes every metadata value.
PyResult<PythonValues> values_for(PyObject* allow_pickle, PyObject* kept) {
    const int allowed = PyObject_IsTrue(allow_pickle);
    if (allowed < 0) return pending();
    if (kept != Py_None && !PyList_CheckExact(kept)) return std::unexpected(conversion_error(kept, "list"));
    return PythonValues(kept == Py_None ? nullptr : kept, allowed != 0);
}

Result<ByteBuffer> saved(const Frame& frame, ValueCodec& values) { return save_frame(frame, values); }
Result<ByteBuffer> saved(const Collection& collection, ValueCodec& values) {
    return save_collection(collection, values);
}
Result<ByteBuffer> saved(const Entity& entity, ValueCodec& values) { return save_entity(entity, values); }
Result<ByteBuffer> saved(const StringInterner& interner, ValueCodec&) { return save_interner(interner); }

template <class T>
PyResult<PyRef> save_object(PyObject* object, PythonValues& values) {
    auto held = Borrowed<T, Borrow::Shared>::acquire(object);
    if (!held) return std::unexpected(std::move(held.error()));
    auto bytes = saved(held->get(), values);
    if (PyRef exception = values.take_exception()) return raise_exception(std::move(exception)), pending();
    if (!bytes) return std::unexpected(Failure(std::move(bytes.error())));
    // Handed out as a buffer, not copied into a bytes object.
    std::shared_ptr<uint8_t> owner(bytes->data.release(), FreeBytes());
    void* data = owner.get();
    PyRef result = to_python(Column{std::move(owner), data, static_cast<Py_ssize_t>(bytes->size), 1, "B"});
    if (!result) return pending();
    return result;
}

PyResult<PyRef> dump(PyObject* object, PyObject* allow_pickle, PyObject* kept) {
    auto values = values_for(allow_pickle, kept);
    if (!values) return std::unexpected(std::move(values.error()));
    if (is_instance<Frame>(object)) return save_object<Frame>(object, *values);
    if (is_instance<Collection>(object)) return save_object<Collection>(object, *values);
    if (is_instance<Entity>(object)) return save_object<Entity>(object, *values);
    if (is_instance<StringInterner>(object)) return save_object<StringInterner>(object, *values);
    return type_error(std::string("cannot save a '") + type_name(object) +
                      "': only EntityFrame, CollectionCore, EntityCore and StringInternerCore");
}

class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }
    bool open(PyObject* object) {
        held_ = PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) == 0;
        return held_;
    }
    std::span<const uint8_t> bytes() const {
        return {static_cast<const uint8_t*>(view_.buf), static_cast<size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

PyResult<PyRef> load(PyObject* data, PyObject* allow_pickle, PyObject* kept) {
    auto values = values_for(allow_pickle, kept);
    if (!values) return std::unexpected(std::move(values.error()));
    // Held to the end: an exported buffer cannot be resized or closed.
    BufferView buffer;
    if (!buffer.open(data)) return pending();
    auto loaded = load_file(buffer.bytes(), *values);
    if (PyRef exception = values->take_exception()) return raise_exception(std::move(exception)), pending();
    if (!loaded) return std::unexpected(Failure(std::move(loaded.error())));
    PyRef object = std::visit([](auto&& value) { return to_python(std::move(value)); }, std::move(*loaded));
    if (!object) return pending();
    return object;
}

}  // namespace

std::vector<Member> file_functions() {
    return {
        function<&dump>("dump", "The object in the file format, as a buffer of bytes", "obj", "allow_pickle", "kept"),
        function<&load>("load", "The object that bytes in the file format hold", "data", "allow_pickle", "kept"),
    };
}

}  // namespace tessellar::py
