#include "core/collection/batch_hash.h"

#include "core/entity/canonical_hash.h"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace tessellar {

namespace {

// libtbb is not built with ThreadSanitizer, so the sanitizer cannot see that
// a chunk starts after everything the caller wrote and ends before the caller
// goes on. These restate the two orderings; elsewhere they compile to nothing.
// The tokens are globals so that using them reads nothing the pool handed over.
char chunks_started, chunks_finished;
#if defined(__SANITIZE_THREAD__)
void hand_over(char& token) { __tsan_release(&token); }
void take_over(char& token) { __tsan_acquire(&token); }
#else
void hand_over(char&) {}
void take_over(char&) {}
#endif

size_t digest_size(Algorithm algorithm) { return make_digest(algorithm)->output_size(); }

// Hashes entities[first, last) into their slots of `out`, reusing one digest
// object so that no entity costs an allocation of its own.
Status hash_range(std::span<const Entity> entities, size_t first, size_t last, const StringInterner& interner,
                  Algorithm algorithm, DigestList& out) {
    const std::unique_ptr<DynDigest> digest = make_digest(algorithm);
    for (size_t index = first; index < last; ++index) {
        if (Status fed = feed_canonical_stream(entities[index], interner, *digest, UnknownRecords::Skip); !fed) {
            return fed;
        }
        if (Status written = digest->finalize_into_reset(out.slot(index)); !written) return written;
    }
    return {};
}

}  // namespace

size_t parallel_chunk_size(size_t entity_count, size_t threads) {
    return std::max(entity_count / std::max<size_t>(threads, 1), kMinChunkSize);
}

Result<DigestList> hash_entities_parallel(std::span<const Entity> entities, size_t chunk_size,
                                          const StringInterner& interner, Algorithm algorithm) {
    const size_t chunk = std::max<size_t>(chunk_size, 1);
    const size_t chunk_count = (entities.size() + chunk - 1) / chunk;
    DigestList digests(entities.size(), digest_size(algorithm));

    std::atomic<bool> failed = false;
    std::mutex error_mutex;
    std::optional<Error> first_error;
    hand_over(chunks_started);
    try {
        // Grain 1 with the simple partitioner makes each chunk its own work
        // item; chunks write disjoint slots of one buffer.
        tbb::parallel_for(
            tbb::blocked_range<size_t>(0, chunk_count, 1),
            [&](const tbb::blocked_range<size_t>& range) {
                take_over(chunks_started);
                for (size_t index = range.begin(); index != range.end(); ++index) {
                    if (failed.load(std::memory_order_relaxed)) break;
                    const size_t first = index * chunk;
                    const size_t last = std::min(first + chunk, entities.size());
                    if (Status hashed = hash_range(entities, first, last, interner, algorithm, digests); !hashed) {
                        const std::lock_guard lock(error_mutex);
                        if (!first_error) first_error = std::move(hashed.error());
                        failed.store(true, std::memory_order_relaxed);
                        break;
                    }
                }
                hand_over(chunks_finished);
            },
            tbb::simple_partitioner());
    } catch (const std::runtime_error&) {
        // The pool could not start its threads (a process limit reached):
        // the same digests, on this thread alone.
        take_over(chunks_finished);
        if (Status hashed = hash_range(entities, 0, entities.size(), interner, algorithm, digests); !hashed) {
            return std::unexpected(std::move(hashed.error()));
        }
        return digests;
    }
    take_over(chunks_finished);

    if (first_error) return std::unexpected(std::move(*first_error));
    return digests;
}

Result<DigestList> hash_all_entities(const Collection& collection, const StringInterner& interner,
                                     std::string_view algorithm) {
    const std::span<const Entity> entities = collection.entities();
    if (entities.empty()) return DigestList();
    const auto parsed = parse_algorithm(algorithm);
    if (!parsed) return std::unexpected(parsed.error());

    if (entities.size() < kParallelThreshold) {
        DigestList digests(entities.size(), digest_size(*parsed));
        if (Status hashed = hash_range(entities, 0, entities.size(), interner, *parsed, digests); !hashed) {
            return std::unexpected(std::move(hashed.error()));
        }
        return digests;
    }
    // Read at every batch: the caller may run inside an arena of its own size.
    const auto threads = static_cast<size_t>(std::max(tbb::this_task_arena::max_concurrency(), 1));
    return hash_entities_parallel(entities, parallel_chunk_size(entities.size(), threads), interner, *parsed);
}

}  // namespace tessellar
