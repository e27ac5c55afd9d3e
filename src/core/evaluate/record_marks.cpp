#include "core/evaluate/record_marks.h"

#include <tbb/blocked_range.h>
#include <tbb/parallel_reduce.h>

#include <algorithm>
#include <atomic>
#include <functional>

namespace tessellar {

uint64_t RecordMarks::mark(const Entity& entity) noexcept {
    uint64_t items = 0;
    for (const DatasetRecords& dataset : entity.datasets()) {
        dataset.records.for_each([&](uint32_t record) {
            ++items;
            // Threads marking the same record store the same value.
            if (record < marks_.size()) {
                std::atomic_ref(marks_[record]).store(1, std::memory_order_relaxed);
            } else {
                std::atomic_ref(past_table_).store(true, std::memory_order_relaxed);
            }
        });
    }
    return items;
}

bool RecordMarks::all_distinct(uint64_t items) const {
    if (past_table_) return false;
    const uint64_t marked = tbb::parallel_reduce(
        tbb::blocked_range<size_t>(0, marks_.size(), 1 << 18), uint64_t{0},
        [&](const tbb::blocked_range<size_t>& range, uint64_t count) {
            return count + static_cast<uint64_t>(std::count(marks_.begin() + range.begin(),
                                                            marks_.begin() + range.end(), uint8_t{1}));
        },
        std::plus<>());
    return marked == items;
}

}  // namespace tessellar
