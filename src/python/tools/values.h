// Metadata values in the file format. Plain data (None, bool, int, float,
// str, bytes, and lists, tuples and dicts of them) is encoded natively, so
// that loading it runs no code. Anything else is set aside: pickled into the
// file's last section when the caller allows it, or, for pickling and
// copying, every value goes to a list that travels beside the file's bytes.
#pragma once

#include "core/io/frame_file.h"
#include "python/boundary/pyref.h"

#include <Python.h>

namespace tessellar::py {

class PythonValues final : public ValueCodec {
public:
    // `kept`: null, or a list that receives every value when writing and
    // gives them back when reading. `allow_pickle`: whether values that are
    // not plain data may be pickled into, or unpickled from, the file.
    PythonValues(PyObject* kept, bool allow_pickle) noexcept : kept_(kept), allow_pickle_(allow_pickle) {}

    Status write(const MetadataValue& value, ByteWriter& out) override;
    Result<std::optional<std::vector<uint8_t>>> set_aside() override;
    Status take_set_aside(std::optional<std::span<const uint8_t>> section) override;
    MetadataValue read(ByteReader& in) override;

    // The Python exception a call into the interpreter raised, to raise in
    // place of the error the core reported; null when there was none.
    PyRef take_exception() noexcept { return std::move(exception_); }

private:
    enum class Encoded { Done, NotPlain, Failed };
    Encoded encode(PyObject* value, ByteWriter& out, int depth);
    PyRef decode(ByteReader& in, int depth);
    Error python_failed();
    void put_aside(PyObject* value, ByteWriter& out);

    PyObject* kept_;
    bool allow_pickle_;
    PyRef aside_;      // values not plain, pickled at the end / unpickled first
    PyRef exception_;
};

}  // namespace tessellar::py
