// Digests of every entity of a collection in one batch.
//
// Each digest is the canonical entity hash, except that record IDs naming no
// string of the interner are skipped instead of reported. Large batches are
// hashed in chunks on the process-wide work-stealing pool; pool threads read
// only records and interned strings, never metadata, so they touch no Python
// object.
#pragma once

#include "core/collection/collection.h"
#include "core/entity/entity.h"
#include "core/hash/digest.h"
#include "core/interner/interner.h"
#include "core/error.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace tessellar {

// One digest per entity in index order, stored back to back in one buffer.
class DigestList {
public:
    DigestList() = default;
    DigestList(size_t count, size_t digest_size)
        : count_(count), digest_size_(digest_size), bytes_(count * digest_size) {}

    size_t size() const noexcept { return count_; }
    bool empty() const noexcept { return count_ == 0; }
    size_t digest_size() const noexcept { return digest_size_; }
    std::span<const uint8_t> operator[](size_t index) const noexcept {
        return std::span(bytes_).subspan(index * digest_size_, digest_size_);
    }
    std::span<uint8_t> slot(size_t index) noexcept {
        return std::span(bytes_).subspan(index * digest_size_, digest_size_);
    }

private:
    size_t count_ = 0;
    size_t digest_size_ = 0;
    std::vector<uint8_t> bytes_;
};

// From this many entities on, a batch is hashed on the pool.
inline constexpr size_t kParallelThreshold = 1000;
// No pool work item covers fewer consecutive entities than this.
inline constexpr size_t kMinChunkSize = 500;

// max(entity_count / threads, kMinChunkSize); `threads` of 0 counts as 1.
size_t parallel_chunk_size(size_t entity_count, size_t threads);

// The digest of every entity. An empty collection gives an empty list
// without the name being looked at; otherwise an unsupported name fails
// with ValueError before anything is hashed.
Result<DigestList> hash_all_entities(const Collection& collection, const StringInterner& interner,
                                     std::string_view algorithm);

// Hashes consecutive chunks of `chunk_size` entities (the last one may be
// shorter) as independent pool work items; the result is in index order.
// The first failure recorded wins and chunks not yet started are skipped.
Result<DigestList> hash_entities_parallel(std::span<const Entity> entities, size_t chunk_size,
                                          const StringInterner& interner, Algorithm algorithm);

}  // namespace tessellar
