// Similarity of two entities as sets of (dataset ID, record ID) pairs.
#pragma once

#include "core/entity/entity.h"

namespace tessellar {

// |A ∩ B| / |A ∪ B| over the pairs of both entities; 1.0 when both hold no
// record at all. Metadata and stored record orders play no part.
double jaccard_similarity(const Entity& a, const Entity& b) noexcept;

}  // namespace tessellar
