// The entities of one collection that share items with an entity of
// another, and the chunked parallel loop that every evaluation runs on.
#pragma once

#include "core/entity/entity.h"
#include "core/evaluate/item_index.h"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tessellar {

struct Overlap {
    uint32_t entity;  // of the indexed collection
    uint64_t shared;  // items in common
};

// Scans entities against an index, reusing its buffers from one entity to
// the next. One per thread.
class OverlapScan {
public:
    explicit OverlapScan(const ItemIndex& index) : index_(index) {}

    // The indexed entities sharing items with `entity`, by ascending index.
    // Valid until the next scan.
    std::span<const Overlap> scan(const Entity& entity);
    // Items of the last scanned entity that some indexed entity holds.
    uint64_t found() const noexcept { return found_; }

private:
    const ItemIndex& index_;
    std::vector<uint32_t> holders_;
    std::vector<Overlap> overlaps_;
    uint64_t found_ = 0;
};

// Entities per work item. Fixed, so that sums reduced chunk by chunk come
// out the same on any number of threads.
inline constexpr size_t kChunkSize = 2048;

inline size_t chunk_count(size_t count) noexcept { return (count + kChunkSize - 1) / kChunkSize; }

// Calls body(chunk, first, last) for the chunks of [0, count) on the pool.
template <class Body>
void for_each_chunk(size_t count, Body&& body) {
    tbb::parallel_for(
        tbb::blocked_range<size_t>(0, chunk_count(count), 1),
        [&](const tbb::blocked_range<size_t>& chunks) {
            for (size_t chunk = chunks.begin(); chunk != chunks.end(); ++chunk) {
                body(chunk, chunk * kChunkSize, std::min(count, (chunk + 1) * kChunkSize));
            }
        },
        tbb::simple_partitioner());
}

}  // namespace tessellar
