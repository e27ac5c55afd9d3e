// Digests kept on the entities themselves: every entity's digest stored as a
// byte-string metadata value under the key "hash", and stored digests
// checked against fresh ones.
#pragma once

#include "core/collection/collection.h"
#include "core/error.h"
#include "core/interner/interner.h"

#include <string_view>

namespace tessellar {

inline constexpr std::string_view kHashKey = "hash";

// Stores every entity's digest under "hash", replacing earlier values. On
// failure no entity has changed and "hash" has not been interned.
Status add_hash(Collection& collection, StringInterner& interner, std::string_view algorithm);

// Interns "hash" (every call), then compares each stored value with the
// entity's fresh digest; entities without one are skipped, and when none has
// one nothing is hashed. A value that is not a byte string, or differs,
// gives false.
Result<bool> verify_hashes(const Collection& collection, StringInterner& interner, std::string_view algorithm);

}  // namespace tessellar
