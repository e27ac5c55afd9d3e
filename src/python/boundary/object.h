// The Python object that carries one of the module's values, and the borrow
// flag that guards it against re-entrant changes.
#pragma once

#include "core/error.h"
#include "python/boundary/pyref.h"

#include <Python.h>

#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

namespace tessellar {
class StringInterner;
class Entity;
class Collection;
class Frame;
}  // namespace tessellar

namespace tessellar::py {

enum class Borrow { Shared, Exclusive };

// The value types that Python sees as classes of the module.
template <class T>
inline constexpr bool kBoundClass = false;
template <>
inline constexpr bool kBoundClass<StringInterner> = true;
template <>
inline constexpr bool kBoundClass<Entity> = true;
template <>
inline constexpr bool kBoundClass<Collection> = true;
template <>
inline constexpr bool kBoundClass<Frame> = true;

// The Python class of a value type; filled in when the type is created. A
// borrowed pointer: the module object owns its classes.
template <class T>
    requires kBoundClass<T>
struct Class {
    static inline PyTypeObject* type = nullptr;
    static inline const char* name = nullptr;
};

template <class T>
struct Object {
    PyObject_HEAD
    // 0: free; n > 0: n shared borrows; kExclusive: one exclusive borrow.
    intptr_t borrow;
    T value;
};

inline constexpr intptr_t kExclusive = -1;

// The name Python shows for an object's type (the part after the module).
const char* type_name(PyObject* object) noexcept;

// "'int' object cannot be converted to 'PyString'"
Error conversion_error(PyObject* object, const char* target);

template <class T>
bool is_instance(PyObject* object) noexcept {
    return PyObject_TypeCheck(object, Class<T>::type);
}

// Holds a borrow of the value inside a Python object for the length of a
// call and gives it back on every path.
template <class T, Borrow B>
class Borrowed {
public:
    using Value = std::conditional_t<B == Borrow::Shared, const T, T>;

    static Result<Borrowed> acquire(PyObject* object) {
        auto* holder = reinterpret_cast<Object<T>*>(object);
        if constexpr (B == Borrow::Shared) {
            if (holder->borrow == kExclusive) return fail(ErrorKind::RuntimeError, "Already mutably borrowed");
            ++holder->borrow;
        } else {
            if (holder->borrow != 0) return fail(ErrorKind::RuntimeError, "Already borrowed");
            holder->borrow = kExclusive;
        }
        return Borrowed(holder);
    }

    Borrowed(Borrowed&& other) noexcept : holder_(std::exchange(other.holder_, nullptr)) {}
    Borrowed(const Borrowed&) = delete;
    Borrowed& operator=(const Borrowed&) = delete;
    Borrowed& operator=(Borrowed&&) = delete;
    ~Borrowed() {
        if (!holder_) return;
        if constexpr (B == Borrow::Shared) {
            --holder_->borrow;
        } else {
            holder_->borrow = 0;
        }
    }

    Value& get() const noexcept { return holder_->value; }
    PyObject* object() const noexcept { return reinterpret_cast<PyObject*>(holder_); }

private:
    explicit Borrowed(Object<T>* holder) : holder_(holder) {}
    Object<T>* holder_;
};

// A new Python object of T's class owning `value`.
template <class T>
PyRef wrap(T&& value) {
    static_assert(std::is_nothrow_move_constructible_v<T>);
    PyTypeObject* type = Class<T>::type;
    PyObject* object = type->tp_alloc(type, 0);
    if (!object) return {};
    auto* holder = reinterpret_cast<Object<T>*>(object);
    holder->borrow = 0;
    new (&holder->value) T(std::move(value));
    return PyRef::steal(object);
}

}  // namespace tessellar::py
