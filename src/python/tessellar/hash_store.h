// Digests as Python `bytes`: storing them on entities under the metadata key
// "hash" and checking stored ones against fresh digests.
#pragma once

#include "core/collection/batch_hash.h"
#include "core/collection/collection.h"
#include "core/interner/interner.h"
#include "core/error.h"
#include "python/boundary/pyref.h"

#include <string_view>

namespace tessellar::py {

// A new list holding one `bytes` per digest, in order.
Result<PyRef> digest_list(const DigestList& digests);

// Stores every entity's digest under "hash", replacing earlier values. On
// failure no entity has changed and "hash" has not been interned.
Status add_hash(Collection& collection, StringInterner& interner, std::string_view algorithm);

// Interns "hash" (every call), then compares each stored value with the
// entity's fresh digest; entities without one are skipped, and when none has
// one nothing is hashed. A value that is not `bytes` or differs gives false.
Result<bool> verify_hashes(const Collection& collection, StringInterner& interner, std::string_view algorithm);

}  // namespace tessellar::py
