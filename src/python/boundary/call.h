// Calling a bound C++ function from Python: argument binding, receiver check
// and borrow, argument conversion in signature order, the call, result
// conversion, and release of everything on every path.
#pragma once

#include "python/boundary/convert.h"
#include "python/boundary/result.h"

#include <Python.h>

#include <cstddef>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace tessellar::py {

struct Parameter {
    std::string name;
    // Only texts have defaults. A C++ value rather than a Python object:
    // signatures are statics, destroyed after the interpreter is gone.
    std::optional<std::string> default_text;
};

// Parsed from a text signature such as ($self, name, algorithm="sha256").
struct Signature {
    std::string qualname;  // "Class.method()", the prefix of binding errors
    std::vector<Parameter> parameters;
};

// Fails (Python error set) when the text cannot be parsed.
std::optional<Signature> parse_signature(const char* class_name, const char* method_name, const char* text);

// Fills slots[i] with the argument for parameter i (borrowed) from a
// vectorcall argument array, or null where the default applies; or sets a
// TypeError and returns false.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** slots);

// Sets the Python exception for a deferred error; returns nullptr.
PyObject* raise(const Error& error);
// As raise(), but a TypeError becomes "argument 'name': " + its message.
PyObject* raise_for_argument(const Error& error, const std::string& parameter);
// Replaces the pending exception, if any, by a new `type` exception whose
// message is `message` and whose cause is the replaced one.
PyObject* raise_from_pending(PyObject* type, PyObject* message);

// Runs `body`, turning any C++ exception into a Python one.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_Format(PyExc_RuntimeError, "internal error: %s", error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "internal error");
    }
    return nullptr;
}

template <class R>
struct IsResult : std::false_type {};
template <class R>
struct IsResult<std::expected<R, Error>> : std::true_type {};

// Converts a function's return value (plain or Result) to Python.
template <class R>
PyObject* deliver(R&& value) {
    if constexpr (IsResult<std::remove_cvref_t<R>>::value) {
        if (!value) return raise(value.error());
        if constexpr (std::is_void_v<typename std::remove_cvref_t<R>::value_type>) {
            Py_RETURN_NONE;
        } else {
            return to_python(std::move(*value)).release();
        }
    } else {
        return to_python(std::forward<R>(value)).release();
    }
}

template <class F>
struct FunctionTraits;
template <class R, class... A>
struct FunctionTraits<R (*)(A...)> {
    using Return = R;
    using Arguments = std::tuple<A...>;
    static constexpr size_t arity = sizeof...(A);
};

// The holder of an omitted argument: its declared default.
template <class Arg>
Result<typename Converter<Arg>::Holder> default_of(const Parameter& parameter) {
    if constexpr (std::is_same_v<Arg, std::string_view>) {
        if (parameter.default_text) return std::string_view(*parameter.default_text);
    }
    return fail(ErrorKind::RuntimeError, "no default for argument '" + parameter.name + "'");
}

// Converts slots[0..n) by the parameter types `Args`, then calls
// fn(leading..., converted...) and delivers its result.
template <class... Args, size_t... I, class F, class... Leading>
PyObject* convert_and_call(std::tuple<Args...>*, std::index_sequence<I...>, F fn, const Signature& signature,
                           PyObject** slots, Leading&... leading) {
    std::tuple<std::optional<typename Converter<Args>::Holder>...> holders;
    bool converted = true;
    auto convert_one = [&]<size_t K>(std::integral_constant<size_t, K>) {
        using Arg = std::tuple_element_t<K, std::tuple<Args...>>;
        const Parameter& parameter = signature.parameters[K];
        auto holder = slots[K] ? Converter<Arg>::convert(slots[K]) : default_of<Arg>(parameter);
        if (!holder) {
            raise_for_argument(holder.error(), parameter.name);
            return false;
        }
        std::get<K>(holders).emplace(std::move(*holder));
        return true;
    };
    ((converted = converted && convert_one(std::integral_constant<size_t, I>{})), ...);
    (void)convert_one;  // unused for functions without arguments
    if (!converted) return nullptr;
    using Return = decltype(fn(leading..., Converter<Args>::pass(*std::get<I>(holders))...));
    if constexpr (std::is_void_v<Return>) {
        fn(leading..., Converter<Args>::pass(*std::get<I>(holders))...);
        Py_RETURN_NONE;
    } else {
        return deliver(fn(leading..., Converter<Args>::pass(*std::get<I>(holders))...));
    }
}

template <class Tuple>
struct DropFirst;
template <class First, class... Rest>
struct DropFirst<std::tuple<First, Rest...>> {
    using type = std::tuple<Rest...>;
};

// Per bound function: its parsed signature, docstring and qualified name.
template <auto Fn>
struct Registered {
    static inline Signature signature;
    static inline std::string doc;
};

template <auto Fn>
constexpr size_t slot_count() {
    return FunctionTraits<decltype(Fn)>::arity + 1;  // never a zero-length array
}

// An instance method whose first parameter is the receiver: `const T&` for a
// shared borrow, `T&` for an exclusive one.
template <auto Fn>
PyObject* call_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        using Traits = FunctionTraits<decltype(Fn)>;
        using ReceiverRef = std::tuple_element_t<0, typename Traits::Arguments>;
        using Receiver = std::remove_cvref_t<ReceiverRef>;
        constexpr Borrow borrow = std::is_const_v<std::remove_reference_t<ReceiverRef>> ? Borrow::Shared
                                                                                        : Borrow::Exclusive;
        const Signature& signature = Registered<Fn>::signature;
        PyObject* slots[slot_count<Fn>()];
        if (!bind_arguments(signature, args, nargs, kwnames, slots)) return nullptr;
        if (!is_instance<Receiver>(self)) return raise(conversion_error(self, Class<Receiver>::name));
        auto receiver = Borrowed<Receiver, borrow>::acquire(self);
        if (!receiver) return raise(receiver.error());
        using Rest = typename DropFirst<typename Traits::Arguments>::type;
        auto& value = receiver->get();
        return convert_and_call(static_cast<Rest*>(nullptr), std::make_index_sequence<Traits::arity - 1>{}, Fn,
                                signature, slots, value);
    });
}

// A static method: every parameter is an argument.
template <auto Fn>
PyObject* call_static(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        using Traits = FunctionTraits<decltype(Fn)>;
        const Signature& signature = Registered<Fn>::signature;
        PyObject* slots[slot_count<Fn>()];
        if (!bind_arguments(signature, args, nargs, kwnames, slots)) return nullptr;
        return convert_and_call(static_cast<typename Traits::Arguments*>(nullptr),
                                std::make_index_sequence<Traits::arity>{}, Fn, signature, slots);
    });
}

// A constructor (__new__): as a static method, called with a tuple and dict.
template <auto Fn>
PyObject* call_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        std::vector<PyObject*> flat(&PyTuple_GET_ITEM(args, 0), &PyTuple_GET_ITEM(args, 0) + PyTuple_GET_SIZE(args));
        PyRef kwnames;
        if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
            kwnames = PyRef::steal(PyTuple_New(PyDict_GET_SIZE(kwargs)));
            if (!kwnames) return nullptr;
            Py_ssize_t position = 0, index = 0;
            PyObject *key, *value;
            while (PyDict_Next(kwargs, &position, &key, &value)) {
                Py_INCREF(key);
                PyTuple_SET_ITEM(kwnames.get(), index++, key);
                flat.push_back(value);
            }
        }
        return call_static<Fn>(nullptr, flat.data(), PyTuple_GET_SIZE(args), kwnames.get());
    });
}

// A read-only property: fn(const T&).
template <auto Fn>
PyObject* call_getter(PyObject* self, void*) noexcept {
    return guarded([&]() -> PyObject* {
        using Traits = FunctionTraits<decltype(Fn)>;
        using Receiver = std::remove_cvref_t<std::tuple_element_t<0, typename Traits::Arguments>>;
        if (!is_instance<Receiver>(self)) return raise(conversion_error(self, Class<Receiver>::name));
        auto receiver = Borrowed<Receiver, Borrow::Shared>::acquire(self);
        if (!receiver) return raise(receiver.error());
        return deliver(Fn(receiver->get()));
    });
}

// A slot such as __str__ taking only the receiver: fn(const T&).
template <auto Fn>
PyObject* call_unary_slot(PyObject* self) noexcept {
    return call_getter<Fn>(self, nullptr);
}

}  // namespace tessellar::py
