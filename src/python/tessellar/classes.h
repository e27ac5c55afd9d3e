// The classes of the module `tessellar`, in registration order. A new class
// is its value type in the core, a line here, a binding file defining its
// class_def<T>(), and its entry in the stubs.
#pragma once

#include "core/collection/collection.h"
#include "core/entity/entity.h"
#include "core/frame/frame.h"
#include "core/interner/interner.h"
#include "python/boundary/object.h"

namespace tessellar::py {

template <>
struct ClassTraits<StringInterner> {
    static constexpr const char* name = "StringInternerCore";
    static constexpr int slot = 0;
};
template <>
struct ClassTraits<Entity> {
    static constexpr const char* name = "EntityCore";
    static constexpr int slot = 1;
};
template <>
struct ClassTraits<Collection> {
    static constexpr const char* name = "CollectionCore";
    static constexpr int slot = 2;
};
template <>
struct ClassTraits<Frame> {
    static constexpr const char* name = "EntityFrame";
    static constexpr int slot = 3;
};

using ModuleClasses = ClassList<StringInterner, Entity, Collection, Frame>;

}  // namespace tessellar::py
