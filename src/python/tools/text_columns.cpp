#include "python/tools/text_columns.h"

#include "python/boundary/object.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace tessellar::py {

namespace {

constexpr size_t kBlockSize = size_t{1} << 20;

std::string at(const std::string& what, size_t row) { return what + "[" + std::to_string(row) + "]"; }

std::unexpected<Failure> value_error(std::string message) {
    return std::unexpected(Failure{PyExc_ValueError, std::move(message)});
}

// The format's type code, without byte order or size prefix.
std::string_view code_of(const char* format) {
    std::string_view code(format ? format : "B");
    if (!code.empty() && (code[0] == '<' || code[0] == '=' || code[0] == '@')) code.remove_prefix(1);
    return code;
}

// Appends the UTF-8 of a code point; false for one that is no character.
bool append_utf8(uint32_t point, std::string& out) {
    if (point < 0x80) {
        out += static_cast<char>(point);
    } else if (point < 0x800) {
        out += static_cast<char>(0xC0 | point >> 6);
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
        if (point >= 0xD800 && point <= 0xDFFF) return false;
        out += static_cast<char>(0xE0 | point >> 12);
        out += static_cast<char>(0x80 | (point >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else if (point < 0x110000) {
        out += static_cast<char>(0xF0 | point >> 18);
        out += static_cast<char>(0x80 | (point >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (point >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else {
        return false;
    }
    return true;
}

}  // namespace

TextColumns::~TextColumns() {
    for (auto& buffer : buffers_) PyBuffer_Release(buffer.get());
}

const Py_buffer* TextColumns::hold(PyObject* object, int flags) {
    auto buffer = std::make_unique<Py_buffer>();
    if (PyObject_GetBuffer(object, buffer.get(), flags) < 0) return nullptr;
    buffers_.push_back(std::move(buffer));
    return buffers_.back().get();
}

std::string_view TextColumns::keep(std::string_view text) {
    if (text.size() > block_free_) {
        const size_t size = std::max(kBlockSize, text.size());
        blocks_.emplace_back(new char[size]);
        cursor_ = blocks_.back().get();
        block_free_ = size;
    }
    char* start = cursor_;
    std::memcpy(start, text.data(), text.size());
    cursor_ += text.size();
    block_free_ -= text.size();
    return {start, text.size()};
}

PyStatus TextColumns::read(PyObject* column, const std::string& what, const Visit& visit) {
    if (PyList_CheckExact(column)) return read_objects(column, what, visit);
    if (PyTuple_CheckExact(column) && PyTuple_GET_SIZE(column) == 2) {
        return read_arrow(PyTuple_GET_ITEM(column, 0), PyTuple_GET_ITEM(column, 1), what, visit);
    }
    if (PyObject_CheckBuffer(column)) return read_buffer(column, what, visit);
    return type_error(what + " must be a list, a NumPy array or Arrow buffers, not '" + type_name(column) + "'");
}

size_t TextColumns::rows_hint(PyObject* column) {
    if (PyList_CheckExact(column)) return static_cast<size_t>(PyList_GET_SIZE(column));
    if (PyTuple_CheckExact(column) && PyTuple_GET_SIZE(column) == 2) column = PyTuple_GET_ITEM(column, 0);
    const Py_ssize_t length = PyObject_Length(column);
    if (length < 0) PyErr_Clear();
    return length > 0 ? static_cast<size_t>(length) : 0;
}

PyStatus TextColumns::read_objects(PyObject* list, const std::string& what, const Visit& visit) {
    char digits[24];
    // Columns of millions of objects in no particular order of memory:
    // each is asked for a few rows before it is read.
    constexpr Py_ssize_t kAhead = 16;
    for (Py_ssize_t row = 0; row < PyList_GET_SIZE(list); ++row) {
        if (row + kAhead < PyList_GET_SIZE(list)) {
            // A short str's text follows its header, often in the next line.
            const auto* ahead = reinterpret_cast<const char*>(PyList_GET_ITEM(list, row + kAhead));
            __builtin_prefetch(ahead);
            __builtin_prefetch(ahead + 64);
        }
        PyObject* item = PyList_GET_ITEM(list, row);
        std::string_view text;
        if (PyUnicode_Check(item)) {
            Py_ssize_t size = 0;
            const char* data = PyUnicode_AsUTF8AndSize(item, &size);
            if (!data) {
                PyErr_Clear();
                return value_error(at(what, row) + " is not valid text (it holds a lone surrogate)");
            }
            text = std::string_view(data, static_cast<size_t>(size));
        } else if (PyLong_Check(item) && !PyBool_Check(item)) {
            int overflow = 0;
            const long long number = PyLong_AsLongLongAndOverflow(item, &overflow);
            if (!overflow) {
                const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
                text = keep(std::string_view(digits, static_cast<size_t>(end - digits)));
            } else {
                PyRef decimal = PyRef::steal(PyLong_Type.tp_str(item));
                Py_ssize_t size = 0;
                const char* data = decimal ? PyUnicode_AsUTF8AndSize(decimal.get(), &size) : nullptr;
                if (!data) return pending();
                text = keep(std::string_view(data, static_cast<size_t>(size)));
            }
        } else if (item == Py_None) {
            return value_error(at(what, row) + " is missing (None)");
        } else {
            return type_error(at(what, row) + " must be a str or an int, not '" + type_name(item) + "'");
        }
        if (PyStatus status = visit(static_cast<size_t>(row), text); !status) return status;
    }
    return {};
}

PyStatus TextColumns::read_buffer(PyObject* column, const std::string& what, const Visit& visit) {
    const Py_buffer* view = hold(column, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS);
    if (!view) return pending();
    if (view->ndim != 1) return value_error(what + " must be one-dimensional");
    const std::string_view code = code_of(view->format);
    const auto rows = static_cast<size_t>(view->shape[0]);
    const auto* bytes = static_cast<const char*>(view->buf);
    char digits[24];
    if (view->itemsize == 8 && (code == "q" || code == "l" || code == "Q" || code == "L")) {
        const bool is_signed = code == "q" || code == "l";
        for (size_t row = 0; row < rows; ++row) {
            int64_t number;
            std::memcpy(&number, bytes + 8 * row, 8);
            const auto end = is_signed ? std::to_chars(digits, digits + sizeof digits, number).ptr
                                       : std::to_chars(digits, digits + sizeof digits, static_cast<uint64_t>(number)).ptr;
            if (PyStatus status = visit(row, keep(std::string_view(digits, static_cast<size_t>(end - digits))));
                !status) {
                return status;
            }
        }
        return {};
    }
    if (!code.empty() && code.back() == 'w') {
        const size_t width = static_cast<size_t>(view->itemsize) / 4;
        std::string text;
        for (size_t row = 0; row < rows; ++row) {
            uint32_t points[1];
            size_t length = width;
            auto point_at = [&](size_t i) {
                std::memcpy(points, bytes + (row * width + i) * 4, 4);
                return points[0];
            };
            while (length > 0 && point_at(length - 1) == 0) --length;
            text.clear();
            for (size_t i = 0; i < length; ++i) {
                if (!append_utf8(point_at(i), text)) return value_error(at(what, row) + " is not valid text");
            }
            if (PyStatus status = visit(row, keep(text)); !status) return status;
        }
        return {};
    }
    return type_error(what + " must hold str or int values, not buffer items of format '" + std::string(code) + "'");
}

PyStatus TextColumns::read_arrow(PyObject* offsets_object, PyObject* data_object, const std::string& what,
                                 const Visit& visit) {
    const Py_buffer* offsets = hold(offsets_object, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS);
    const Py_buffer* data = offsets ? hold(data_object, PyBUF_SIMPLE) : nullptr;
    if (!data) return pending();
    const std::string_view code = code_of(offsets->format);
    if (offsets->ndim != 1 || offsets->itemsize != 8 || (code != "q" && code != "l") || offsets->shape[0] < 1) {
        return value_error(what + ": Arrow offsets must be a non-empty column of int64");
    }
    const auto* bounds = static_cast<const int64_t*>(offsets->buf);
    const auto rows = static_cast<size_t>(offsets->shape[0] - 1);
    const auto* text = static_cast<const char*>(data->buf);
    for (size_t row = 0; row < rows; ++row) {
        const int64_t begin = bounds[row], end = bounds[row + 1];
        if (begin < 0 || end < begin || end > data->len) return value_error(at(what, row) + ": Arrow offsets out of bounds");
        const std::string_view value(text + begin, static_cast<size_t>(end - begin));
        if (PyStatus status = visit(row, value); !status) return status;
    }
    return {};
}

}  // namespace tessellar::py
