#include "core/entity/similarity.h"

namespace tessellar {

namespace {

// Entities with many datasets added one at a time find them by table.
void count_by_lookup(const Entity& a, const Entity& b, uint64_t& intersection, uint64_t& union_size) noexcept {
    for (const DatasetRecords& dataset : a.datasets()) {
        if (const RecordSet* other = b.find(dataset.dataset_id)) {
            const uint64_t common = intersection_cardinality(dataset.records, *other);
            intersection += common;
            union_size += dataset.records.cardinality() + other->cardinality() - common;
        } else {
            union_size += dataset.records.cardinality();
        }
    }
    for (const DatasetRecords& dataset : b.datasets()) {
        if (!a.has_dataset(dataset.dataset_id)) union_size += dataset.records.cardinality();
    }
}

}  // namespace

double jaccard_similarity(const Entity& a, const Entity& b) noexcept {
    uint64_t intersection = 0;
    uint64_t union_size = 0;
    if (!a.datasets_in_id_order() || !b.datasets_in_id_order()) {
        count_by_lookup(a, b, intersection, union_size);
        return union_size == 0 ? 1.0 : static_cast<double>(intersection) / static_cast<double>(union_size);
    }
    // Both keep their datasets in ascending ID order: one merge.
    const auto left = a.datasets(), right = b.datasets();
    size_t i = 0, j = 0;
    while (i < left.size() || j < right.size()) {
        if (j == right.size() || (i < left.size() && left[i].dataset_id < right[j].dataset_id)) {
            union_size += left[i++].records.cardinality();
        } else if (i == left.size() || right[j].dataset_id < left[i].dataset_id) {
            union_size += right[j++].records.cardinality();
        } else {
            const uint64_t common = intersection_cardinality(left[i].records, right[j].records);
            intersection += common;
            union_size += left[i].records.cardinality() + right[j].records.cardinality() - common;
            ++i;
            ++j;
        }
    }
    if (union_size == 0) return 1.0;
    return static_cast<double>(intersection) / static_cast<double>(union_size);
}

}  // namespace tessellar
