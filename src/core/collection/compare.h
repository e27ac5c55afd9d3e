// Position-by-position comparison of two collections.
#pragma once

#include "core/collection/collection.h"
#include "core/error.h"

#include <vector>

namespace tessellar {

// The Jaccard similarity of entity i of `a` with entity i of `b`, for every
// i; ValueError when the two differ in length.
Result<std::vector<double>> compare(const Collection& a, const Collection& b);

}  // namespace tessellar
