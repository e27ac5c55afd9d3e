// Errors as values: an operation of the core returns its result or an Error
// saying what kind of failure it was and why. Only the binding above the
// core decides how a kind is reported to its caller.
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace tessellar {

enum class ErrorKind {
    InvalidValue,  // an argument the operation cannot work with
    NotFound,      // no entry under the given name
    OutOfRange,    // a position or ID past the end
    Overflow,      // a count beyond what the structure can hold
    OutOfMemory,   // an allocation failed
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

}  // namespace tessellar
