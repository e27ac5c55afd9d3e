#include "core/collection/compare.h"

#include "core/entity/similarity.h"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <stdexcept>

namespace tessellar {

namespace {

// From this many entities on, chunks of them are compared on the pool.
constexpr size_t kParallelFrom = 20000;
constexpr size_t kChunk = 8192;
// Each entity's datasets live in a block of their own: asking for the block
// of an entity this far ahead hides most of the wait for memory.
constexpr size_t kAhead = 8;

void compare_range(std::span<const Entity> a, std::span<const Entity> b, size_t first, size_t last,
                   std::vector<double>& jaccard) noexcept {
    for (size_t i = first; i < last; ++i) {
        if (i + kAhead < last) {
            __builtin_prefetch(a[i + kAhead].datasets().data());
            __builtin_prefetch(b[i + kAhead].datasets().data());
        }
        jaccard[i] = jaccard_similarity(a[i], b[i]);
    }
}

}  // namespace

Result<Comparison> compare(const Collection& a, const Collection& b) {
    if (a.size() != b.size()) {
        return fail(ErrorKind::InvalidValue, "Collections must have the same number of entities to compare");
    }
    Comparison result{a.process_name(), b.process_name(), std::vector<double>(a.size())};
    const std::span<const Entity> left = a.entities(), right = b.entities();
    if (left.size() < kParallelFrom) {
        compare_range(left, right, 0, left.size(), result.jaccard);
        return result;
    }
    try {
        // Reading never changes an entity; each chunk writes its own slots.
        tbb::parallel_for(tbb::blocked_range<size_t>(0, left.size(), kChunk), [&](const tbb::blocked_range<size_t>& range) {
            compare_range(left, right, range.begin(), range.end(), result.jaccard);
        });
    } catch (const std::runtime_error&) {
        // The pool could not start its threads (a process limit reached).
        compare_range(left, right, 0, left.size(), result.jaccard);
    }
    return result;
}

}  // namespace tessellar
