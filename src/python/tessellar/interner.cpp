// Python class StringInternerCore.
#include "core/interner/interner.h"
#include "python/boundary/type_factory.h"
#include "python/tessellar/classes.h"

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
    .doc = "String interning for efficient record ID storage and lookup.",
    .constructor = constructor<&make>(),
    .members =
        {
            method<Borrow::Exclusive, &intern>("intern", "Intern a string and return its ID.", "s"),
            static_method<&with_capacity>(
                "with_capacity", "Create interner with pre-allocated capacity for better performance", "capacity"),
            method<Borrow::Shared, &get_string>("get_string", "Get the string for a given ID.", "id"),
            method<Borrow::Shared, &lookup>(
                "lookup", "Look up a string and return its ID if it exists (does not add new strings).", "s"),
            method<Borrow::Shared, &len>("len", "Get the number of interned strings."),
            method<Borrow::Shared, &is_empty>("is_empty", "Check if the interner is empty."),
        },
};

}  // namespace

template <>
const ClassDef<StringInterner>& class_def<StringInterner>() {
    return kInternerClass;
}

}  // namespace tessellar::py
