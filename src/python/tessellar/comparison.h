// The Python form of a comparison: one dict per position.
#pragma once

#include "core/collection/collection.h"
#include "core/error.h"
#include "python/boundary/pyref.h"

namespace tessellar::py {

// [{"entity_index": i, "process1": ..., "process2": ..., "jaccard": ...}, ...]
Result<PyRef> comparison_list(const Collection& a, const Collection& b);

}  // namespace tessellar::py
