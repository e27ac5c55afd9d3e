// One declaration per bound function, next to the function: its Python name,
// its parameter names (with text defaults) and its one-line description. The
// declared parameters are checked against the C++ function at compile time;
// the text signature, the docstring, keyword binding and defaults all follow
// from the declaration.
//
//   method<&hash_entity>("hash_entity", "Compute hash of an entity",
//                        "collection_name", "entity_index", arg("algorithm") = "sha256")
#pragma once

#include "python/boundary/call.h"

#include <Python.h>

#include <array>
#include <cstddef>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

namespace tessellar::py {

// A parameter with a text default: arg("algorithm") = "sha256".
struct TextDefault {
    const char* name;
    const char* value;
};

struct arg {
    const char* name;
    constexpr TextDefault operator=(const char* value) const { return {name, value}; }
};

// A declared parameter is a name ("s") or a name with a default.
template <class Declaration>
concept ParamDeclaration = std::is_convertible_v<Declaration, const char*> || std::is_same_v<Declaration, TextDefault>;

inline Param param_of(const char* name) { return {name, nullptr}; }
inline Param param_of(TextDefault parameter) { return {parameter.name, parameter.value}; }

template <class Declaration>
inline constexpr bool kHasDefault = std::is_same_v<Declaration, TextDefault>;

// Only text parameters take a default.
template <class Params, class... Declared, size_t... I>
consteval bool defaults_are_texts(std::index_sequence<I...>) {
    return ((!kHasDefault<Declared> || std::is_same_v<std::tuple_element_t<I, Params>, std::string_view>) && ...);
}

// No parameter without a default follows one with.
template <class... Declared>
consteval bool defaults_trail() {
    const bool defaulted[] = {kHasDefault<Declared>..., true};
    for (size_t i = 1; i < sizeof...(Declared); ++i) {
        if (defaulted[i - 1] && !defaulted[i]) return false;
    }
    return true;
}

// Checks the declared parameters against the C++ parameter types `Params`.
template <class Params, class... Declared>
consteval bool declaration_fits() {
    static_assert(std::tuple_size_v<Params> == sizeof...(Declared),
                  "the declared parameters do not match the function's parameters");
    if constexpr (std::tuple_size_v<Params> == sizeof...(Declared)) {
        static_assert(defaults_are_texts<Params, Declared...>(std::index_sequence_for<Declared...>{}),
                      "only text parameters take a default");
        static_assert(defaults_trail<Declared...>(), "a default must not precede a required parameter");
    }
    return true;
}

struct Member {
    enum class Kind { Method, Static, Getter };
    Kind kind;
    const char* name;
    const char* description;
    std::vector<Param> params;
    PyCFunction function;  // methods and static methods
    getter get;            // getters
    Binding* binding;
};

// METH_FASTCALL functions are stored in the PyCFunction slot; the detour
// through a generic function pointer tells the compiler the cast is intended.
template <class F>
PyCFunction as_cfunction(F function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

template <auto Fn>
using ParamsAfterReceiver = typename DropFirst<typename FunctionTraits<decltype(Fn)>::Arguments>::type;

// An instance method. The receiver parameter decides the borrow: `const T&`
// reads under a shared borrow, `T&` writes under an exclusive one; the
// declared borrow must say the same.
template <Borrow B, auto Fn, ParamDeclaration... Declared>
Member method(const char* name, const char* description, Declared... declared) {
    static_assert(std::is_reference_v<ReceiverOf<Fn>>);
    static_assert(kReceiverBorrow<Fn> == B, "declared borrow does not match the receiver's constness");
    static_assert(declaration_fits<ParamsAfterReceiver<Fn>, Declared...>());
    return {Member::Kind::Method, name, description, {param_of(declared)...}, as_cfunction(&call_method<Fn>), nullptr,
            &binding_of<Fn>};
}

template <auto Fn, ParamDeclaration... Declared>
Member static_method(const char* name, const char* description, Declared... declared) {
    static_assert(declaration_fits<typename FunctionTraits<decltype(Fn)>::Arguments, Declared...>());
    return {Member::Kind::Static, name, description, {param_of(declared)...}, as_cfunction(&call_static<Fn>), nullptr,
            &binding_of<Fn>};
}

// A read-only property: fn(const T&).
template <auto Fn>
Member getter_of(const char* name, const char* description) {
    static_assert(FunctionTraits<decltype(Fn)>::arity == 1 && kReceiverBorrow<Fn> == Borrow::Shared);
    return {Member::Kind::Getter, name, description, {}, nullptr, +call_getter<Fn>, &binding_of<Fn>};
}

struct Constructor {
    newfunc function;
    std::vector<Param> params;
    Binding* binding;
};

template <auto Fn, ParamDeclaration... Declared>
Constructor constructor(Declared... declared) {
    static_assert(declaration_fits<typename FunctionTraits<decltype(Fn)>::Arguments, Declared...>());
    return {+call_new<Fn>, {param_of(declared)...}, &binding_of<Fn>};
}

template <class T>
struct ClassDef {
    const char* doc;
    Constructor constructor;
    std::vector<Member> members;
    // Set for classes whose values hold Python objects (cyclic GC support).
    int (*traverse)(const T& value, visitproc visit, void* arg) = nullptr;
    void (*clear)(T& value) = nullptr;
    std::vector<PyType_Slot> extra_slots = {};
};

// Defined in the class's binding file.
template <BoundClass T>
const ClassDef<T>& class_def();

}  // namespace tessellar::py
