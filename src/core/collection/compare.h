// Position-by-position comparison of two collections.
#pragma once

#include "core/collection/collection.h"
#include "core/error.h"

#include <string>
#include <vector>

namespace tessellar {

struct Comparison {
    std::string process1;  // process name of the first collection
    std::string process2;
    std::vector<double> jaccard;  // by entity position
};

// The Jaccard similarity of entity i of `a` with entity i of `b`, for every
// i; InvalidValue when the two differ in length. Large collections are
// compared in chunks on the process-wide pool, which only reads them.
Result<Comparison> compare(const Collection& a, const Collection& b);

}  // namespace tessellar
