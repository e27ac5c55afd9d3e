// The Python forms of the frame's composite results.
#pragma once

#include "core/collection/batch_hash.h"
#include "core/collection/compare.h"
#include "python/boundary/failure.h"
#include "python/boundary/pyref.h"

#include <string>
#include <utility>
#include <vector>

namespace tessellar::py {

// [{"entity_index": i, "process1": ..., "process2": ..., "jaccard": ...}, ...]
PyResult<PyRef> comparison_list(const Comparison& comparison);

// A list with one `bytes` per digest, in order.
PyResult<PyRef> digest_list(const DigestList& digests);

// {collection name: [bytes, ...], ...}
PyResult<PyRef> digest_dict(const std::vector<std::pair<std::string, DigestList>>& digests);

}  // namespace tessellar::py
