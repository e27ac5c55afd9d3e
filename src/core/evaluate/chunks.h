// The chunked parallel loop that every evaluation runs on.
#pragma once

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>

#include <algorithm>
#include <cstddef>

namespace tessellar {

// Elements per work item. Fixed, so that sums reduced chunk by chunk come
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
