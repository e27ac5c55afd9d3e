#include "core/evaluate/overlap.h"

#include <algorithm>

namespace tessellar {

std::span<const Overlap> OverlapScan::scan(const Entity& entity) {
    holders_.clear();
    overlaps_.clear();
    found_ = 0;
    for (const DatasetRecords& dataset : entity.datasets()) {
        dataset.records.for_each([&](uint32_t record) {
            const size_t before = holders_.size();
            index_.for_each_holder(dataset.dataset_id, record, [&](uint32_t holder) { holders_.push_back(holder); });
            found_ += holders_.size() != before;
        });
    }
    // Usually one holder for all items, already in order.
    if (!std::is_sorted(holders_.begin(), holders_.end())) std::sort(holders_.begin(), holders_.end());
    for (const uint32_t holder : holders_) {
        if (overlaps_.empty() || overlaps_.back().entity != holder) {
            overlaps_.push_back({holder, 1});
        } else {
            ++overlaps_.back().shared;
        }
    }
    return overlaps_;
}

}  // namespace tessellar
