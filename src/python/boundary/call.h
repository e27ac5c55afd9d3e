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

// One declared parameter: its name and, for a text, an optional default.
struct Param {
    const char* name;
    const char* default_text = nullptr;
};

// What a bound function needs at call time; filled in when its class is
// created. Plain C++ only: it is a static, destroyed after the interpreter.
struct Binding {
    std::string qualname;  // "Class.method()", the prefix of binding errors
    std::vector<Param> params;
    // Where this function's interned parameter names start in the module's
    // list of parameter names.
    Py_ssize_t first_name = 0;
};

template <auto Fn>
inline Binding binding_of;

// Fills slots[i] with the argument for parameter i (borrowed) from a
// vectorcall argument array, or null where the default applies; or sets a
// TypeError and returns false.
bool bind_arguments(const Binding& binding, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** slots);

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
struct IsExpected : std::false_type {};
template <class V, class E>
struct IsExpected<std::expected<V, E>> : std::true_type {};

// Converts a function's return value (plain, or a Result of the core or of
// the boundary) to Python.
template <class R>
PyObject* deliver(R&& value) {
    using Plain = std::remove_cvref_t<R>;
    if constexpr (IsExpected<Plain>::value) {
        if (!value) return raise(value.error());
        if constexpr (std::is_void_v<typename Plain::value_type>) {
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

// The holder of an omitted argument: its declared default (texts only, as
// the declaration checks).
template <class Arg>
PyResult<typename Converter<Arg>::Holder> default_of(const Param& param) {
    if constexpr (std::is_same_v<Arg, std::string_view>) {
        return std::string_view(param.default_text);
    } else {
        return std::unexpected(Failure{PyExc_SystemError, std::string("no default for ") + param.name});
    }
}

// Converts slots[0..n) by the parameter types `Args`, then calls
// fn(leading..., converted...) and delivers its result.
template <class... Args, size_t... I, class F, class... Leading>
PyObject* convert_and_call(std::tuple<Args...>*, std::index_sequence<I...>, F fn, const Binding& binding,
                           PyObject** slots, Leading&... leading) {
    std::tuple<std::optional<typename Converter<Args>::Holder>...> holders;
    auto convert_one = [&]<size_t K>(std::integral_constant<size_t, K>) {
        using Arg = std::tuple_element_t<K, std::tuple<Args...>>;
        const Param& param = binding.params[K];
        auto holder = slots[K] ? Converter<Arg>::convert(slots[K]) : default_of<Arg>(param);
        if (!holder) {
            raise_for_argument(holder.error(), param.name);
            return false;
        }
        std::get<K>(holders).emplace(std::move(*holder));
        return true;
    };
    if (!(convert_one(std::integral_constant<size_t, I>{}) && ...)) return nullptr;
    (void)convert_one;  // unused for functions without arguments
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

// The receiver parameter of a method: `const T&` for a shared borrow, `T&`
// for an exclusive one.
template <auto Fn>
using ReceiverOf = std::tuple_element_t<0, typename FunctionTraits<decltype(Fn)>::Arguments>;

template <auto Fn>
constexpr Borrow kReceiverBorrow =
    std::is_const_v<std::remove_reference_t<ReceiverOf<Fn>>> ? Borrow::Shared : Borrow::Exclusive;

template <auto Fn>
PyObject* call_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        using Traits = FunctionTraits<decltype(Fn)>;
        using Receiver = std::remove_cvref_t<ReceiverOf<Fn>>;
        const Binding& binding = binding_of<Fn>;
        PyObject* slots[Traits::arity];  // one more than needed: never empty
        if (!bind_arguments(binding, args, nargs, kwnames, slots)) return nullptr;
        if (!is_instance<Receiver>(self)) return raise(conversion_error(self, ClassTraits<Receiver>::name));
        auto receiver = Borrowed<Receiver, kReceiverBorrow<Fn>>::acquire(self);
        if (!receiver) return raise(receiver.error());
        using Rest = typename DropFirst<typename Traits::Arguments>::type;
        auto& value = receiver->get();
        return convert_and_call(static_cast<Rest*>(nullptr), std::make_index_sequence<Traits::arity - 1>{}, Fn,
                                binding, slots, value);
    });
}

template <auto Fn>
PyObject* call_static(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        using Traits = FunctionTraits<decltype(Fn)>;
        const Binding& binding = binding_of<Fn>;
        PyObject* slots[Traits::arity + 1];
        if (!bind_arguments(binding, args, nargs, kwnames, slots)) return nullptr;
        return convert_and_call(static_cast<typename Traits::Arguments*>(nullptr),
                                std::make_index_sequence<Traits::arity>{}, Fn, binding, slots);
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
                PyTuple_SET_ITEM(kwnames.get(), index++, Py_NewRef(key));
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
        using Receiver = std::remove_cvref_t<ReceiverOf<Fn>>;
        if (!is_instance<Receiver>(self)) return raise(conversion_error(self, ClassTraits<Receiver>::name));
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
