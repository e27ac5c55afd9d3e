// Python class StringInternerCore.
#include "core/interner/interner.h"
#include "python/tessellar/classes.h"
#include "python/boundary/type_factory.h"

namespace tessellar::py {
namespace {

StringInterner make() { return StringInterner(); }

Result<StringInterner> with_capacity(uint64_t capacity) { return StringInterner::with_capacity(capacity); }

Result<uint32_t> intern(StringInterner& self, std::string_view s) { return self.intern(s); }

Result<std::string_view> get_string(const StringInterner& self, uint32_t id) { return self.get_string(id); }

std::optional<uint32_t> lookup(const StringInterner& self, std::string_view s) { return self.lookup(s); }

uint64_t len(const StringInterner& self) { return self.size(); }

bool is_empty(const StringInterner& self) { return self.empty(); }

const ClassDef<StringInterner> kInternerClass = {
    .name = "StringInternerCore",
    .signature = "()",
    .doc = "String interning for efficient record ID storage and lookup.",
    .constructor = constructor<&make>(),
    .members =
        {
            method<Borrow::Exclusive, &intern>("intern", "($self, s)", "Intern a string and return its ID."),
            static_method<&with_capacity>("with_capacity", "(capacity)",
                                          "Create interner with pre-allocated capacity for better performance"),
            method<Borrow::Shared, &get_string>("get_string", "($self, id)", "Get the string for a given ID."),
            method<Borrow::Shared, &lookup>(
                "lookup", "($self, s)", "Look up a string and return its ID if it exists (does not add new strings)."),
            method<Borrow::Shared, &len>("len", "($self)", "Get the number of interned strings."),
            method<Borrow::Shared, &is_empty>("is_empty", "($self)", "Check if the interner is empty."),
        },
};

}  // namespace

PyTypeObject* create_interner_type(PyObject* module) {
    return create_type<StringInterner, kInternerClass>(module);
}

}  // namespace tessellar::py
