// Deferred errors: internal code reports a failure as a value (exception type
// plus message) and never touches the interpreter's error state. The boundary
// layer turns it into a Python exception when the call returns to Python.
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace tessellar {

enum class ErrorKind {
    TypeError,
    ValueError,
    KeyError,
    IndexError,
    OverflowError,
    RuntimeError,
    MemoryError,
    // A Python exception is already set (raised by the interpreter's own
    // conversion functions); the boundary keeps it instead of making one.
    Raised,
};

struct Error {
    ErrorKind kind;
    std::string message;
};

template <class T>
using Result = std::expected<T, Error>;

// Result of an operation that only succeeds or fails.
using Status = std::expected<void, Error>;

inline std::unexpected<Error> fail(ErrorKind kind, std::string message) {
    return std::unexpected<Error>(Error{kind, std::move(message)});
}

// The error already set in the interpreter (see ErrorKind::Raised).
inline std::unexpected<Error> raised() { return fail(ErrorKind::Raised, {}); }

}  // namespace tessellar
