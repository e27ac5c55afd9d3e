#include "core/evaluate/overlap.h"

#include <algorithm>

namespace tessellar {

std::span<const Overlap> OverlapScan::scan(const Entity& entity) {
    overlaps_.clear();
    uint64_t found = 0;
    // Holders counted in runs as they come: usually one holder for all
    // items, or a few in ascending order.
    Overlap run{0, 0};
    bool ascending = true;
    const auto visit = [&](uint32_t holder) {
        if (holder == run.entity && run.shared) {
            ++run.shared;
            return;
        }
        if (run.shared) {
            ascending = ascending && run.entity < holder;
            overlaps_.push_back(run);
        }
        run = {holder, 1};
    };
    const ItemIndex::Lookup lookup = index_.lookup();
    for (const DatasetRecords& dataset : entity.datasets()) {
        dataset.records.for_each(
            [&](uint32_t record) { found += lookup.for_each_holder(dataset.dataset_id, record, visit); });
    }
    found_ = found;
    if (run.shared) overlaps_.push_back(run);
    if (ascending) return overlaps_;
    std::sort(overlaps_.begin(), overlaps_.end(),
              [](const Overlap& a, const Overlap& b) { return a.entity < b.entity; });
    size_t kept = 0;
    for (const Overlap& overlap : overlaps_) {
        if (kept && overlaps_[kept - 1].entity == overlap.entity) {
            overlaps_[kept - 1].shared += overlap.shared;
        } else {
            overlaps_[kept++] = overlap;
        }
    }
    overlaps_.resize(kept);
    return overlaps_;
}

}  // namespace tessellar
