#include "entity/similarity.h"

namespace tessellar {

double jaccard_similarity(const Entity& a, const Entity& b) noexcept {
    uint64_t intersection = 0;
    uint64_t union_size = 0;
    for (const auto& [dataset_id, records] : a.datasets()) {
        const uint64_t size = records.cardinality();
        if (const RecordSet* other = b.find(dataset_id)) {
            const uint64_t common = intersection_cardinality(records, *other);
            intersection += common;
            union_size += size + other->cardinality() - common;
        } else {
            union_size += size;
        }
    }
    for (const auto& [dataset_id, records] : b.datasets()) {
        if (!a.has_dataset(dataset_id)) union_size += records.cardinality();
    }
    if (union_size == 0) return 1.0;
    return static_cast<double>(intersection) / static_cast<double>(union_size);
}

}  // namespace tessellar
