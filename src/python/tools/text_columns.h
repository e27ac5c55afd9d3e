// Columns of record IDs, dataset names or labels handed over from Python,
// read as texts, one per row. A column is
//   a list of str or int               an int reads as its decimal text
//   a buffer of int64 or uint64        (NumPy integers) decimal text
//   a buffer of UCS-4 text             (NumPy str arrays) trailing NULs dropped
//   a tuple (offsets, data)            Arrow's large_string layout: int64
//                                      offsets into UTF-8 bytes
// Texts made here live in the reader; the others are views into the Python
// objects, which the caller's arguments keep alive. Reading runs no Python
// code, so nothing can change them before the call ends.
#pragma once

#include "python/boundary/failure.h"

#include <Python.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tessellar::py {

class TextColumns {
public:
    using Visit = std::function<PyStatus(size_t row, std::string_view text)>;

    TextColumns() = default;
    TextColumns(const TextColumns&) = delete;
    TextColumns& operator=(const TextColumns&) = delete;
    ~TextColumns();

    // Calls visit(row, text) for every row in order. Errors name the column
    // by `what` and the row: "left[3] must be a str or an int, not 'float'".
    PyStatus read(PyObject* column, const std::string& what, const Visit& visit);
    // The rows of a column, when it can tell without being read; else 0.
    static size_t rows_hint(PyObject* column);

private:
    PyStatus read_objects(PyObject* list, const std::string& what, const Visit& visit);
    PyStatus read_buffer(PyObject* column, const std::string& what, const Visit& visit);
    PyStatus read_arrow(PyObject* offsets, PyObject* data, const std::string& what, const Visit& visit);
    // A buffer held until the reader goes; null with the exception pending.
    const Py_buffer* hold(PyObject* object, int flags);
    // Copies `text` where it outlives the call's reading.
    std::string_view keep(std::string_view text);

    std::vector<std::unique_ptr<Py_buffer>> buffers_;
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* cursor_ = nullptr;
    size_t block_free_ = 0;
};

}  // namespace tessellar::py
