// The Python object that carries one of the core's values, the borrow flag
// that guards it against re-entrant changes, and the classes a module binds.
#pragma once

#include "python/boundary/failure.h"
#include "python/boundary/pyref.h"
#include "python/boundary/state.h"

#include <Python.h>

#include <concepts>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

namespace tessellar::py {

enum class Borrow { Shared, Exclusive };

// Specialised for every value type a module binds as a class, with its
// Python name and its slot among the module's classes.
template <class T>
struct ClassTraits;

template <class T>
concept BoundClass = requires {
    { ClassTraits<T>::name } -> std::convertible_to<const char*>;
    { ClassTraits<T>::slot } -> std::convertible_to<int>;
};

template <class... T>
struct ClassList {};

template <BoundClass T>
PyTypeObject* type_of() noexcept {
    static_assert(ClassTraits<T>::slot < kMaxClasses);
    return reinterpret_cast<PyTypeObject*>(boundary_state().types[ClassTraits<T>::slot]);
}

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
Failure conversion_error(PyObject* object, const char* target);

template <BoundClass T>
bool is_instance(PyObject* object) noexcept {
    return PyObject_TypeCheck(object, type_of<T>());
}

// Holds a borrow of the value inside a Python object for the length of a
// call and gives it back on every path.
template <class T, Borrow B>
class Borrowed {
public:
    using Value = std::conditional_t<B == Borrow::Shared, const T, T>;

    static PyResult<Borrowed> acquire(PyObject* object) {
        auto* holder = reinterpret_cast<Object<T>*>(object);
        if constexpr (B == Borrow::Shared) {
            if (holder->borrow == kExclusive) return std::unexpected(Failure{PyExc_RuntimeError, "Already mutably borrowed"});
            ++holder->borrow;
        } else {
            if (holder->borrow != 0) return std::unexpected(Failure{PyExc_RuntimeError, "Already borrowed"});
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

private:
    explicit Borrowed(Object<T>* holder) : holder_(holder) {}
    Object<T>* holder_;
};

// A new Python object of T's class owning `value`.
template <BoundClass T>
PyRef wrap(T&& value) {
    static_assert(std::is_nothrow_move_constructible_v<T>);
    PyTypeObject* type = type_of<T>();
    PyObject* object = type->tp_alloc(type, 0);
    if (!object) return {};
    auto* holder = reinterpret_cast<Object<T>*>(object);
    holder->borrow = 0;
    new (&holder->value) T(std::move(value));
    return PyRef::steal(object);
}

}  // namespace tessellar::py
