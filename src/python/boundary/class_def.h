// One declaration per class: its name, constructor signature, docstring and
// member table. Docstrings, __text_signature__, argument binding and the
// borrow taken on the receiver all derive from it.
#pragma once

#include "python/boundary/call.h"

#include <Python.h>

#include <string>
#include <type_traits>
#include <vector>

namespace tessellar::py {

struct Member {
    enum class Kind { Method, Static, Getter };
    Kind kind;
    const char* name;
    const char* signature;  // null for getters
    const char* description;
    PyCFunction function;   // methods
    getter get;             // getters
    // Parses the signature for this member's function and returns its doc.
    const char* (*prepare)(const char* class_name, const Member& member);
};

// METH_FASTCALL functions are stored in the PyCFunction slot; the detour
// through a generic function pointer tells the compiler the cast is intended.
template <class F>
PyCFunction as_cfunction(F function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

template <auto Fn>
const char* prepare_member(const char* class_name, const Member& member) {
    if (member.kind == Member::Kind::Getter) {
        Registered<Fn>::doc = member.description;
        return Registered<Fn>::doc.c_str();
    }
    auto signature = parse_signature(class_name, member.name, member.signature);
    if (!signature) return nullptr;
    Registered<Fn>::signature = std::move(*signature);
    Registered<Fn>::doc = std::string(member.name) + member.signature + "\n--\n\n" + member.description;
    return Registered<Fn>::doc.c_str();
}

// An instance method. The declared borrow must match the receiver parameter:
// `const T&` reads under a shared borrow, `T&` writes under an exclusive one.
template <Borrow B, auto Fn>
Member method(const char* name, const char* signature, const char* description) {
    using Receiver = std::tuple_element_t<0, typename FunctionTraits<decltype(Fn)>::Arguments>;
    static_assert(std::is_reference_v<Receiver>);
    static_assert(std::is_const_v<std::remove_reference_t<Receiver>> == (B == Borrow::Shared),
                  "declared borrow does not match the receiver's constness");
    return {Member::Kind::Method, name,   signature, description, as_cfunction(&call_method<Fn>),
            nullptr,              &prepare_member<Fn>};
}

template <auto Fn>
Member static_method(const char* name, const char* signature, const char* description) {
    return {Member::Kind::Static, name,   signature, description, as_cfunction(&call_static<Fn>),
            nullptr,              &prepare_member<Fn>};
}

template <auto Fn>
Member getter_of(const char* name, const char* description) {
    return {Member::Kind::Getter, name, nullptr, description, nullptr, +call_getter<Fn>, &prepare_member<Fn>};
}

struct Constructor {
    newfunc function;
    bool (*prepare)(const char* class_name, const char* signature);
};

template <class T>
struct ClassDef {
    const char* name;
    const char* signature;  // of the constructor, e.g. "(process_name)"
    const char* doc;
    Constructor constructor;
    std::vector<Member> members;
    // Set for classes whose values hold Python objects (cyclic GC support).
    int (*traverse)(const T& value, visitproc visit, void* arg) = nullptr;
    void (*clear)(T& value) = nullptr;
    std::vector<PyType_Slot> extra_slots = {};
};

template <auto Fn>
bool prepare_constructor(const char* class_name, const char* signature) {
    auto parsed = parse_signature(class_name, nullptr, signature);
    if (!parsed) return false;
    Registered<Fn>::signature = std::move(*parsed);
    return true;
}

template <auto Fn>
Constructor constructor() {
    return {+call_new<Fn>, &prepare_constructor<Fn>};
}

}  // namespace tessellar::py
