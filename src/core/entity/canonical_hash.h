// The canonical byte stream of an entity and its digest.
//
// The stream holds, for each dataset whose ID names a string of the
// interner, in the byte order of those names: the dataset name, then its
// record strings in byte order (the order stored by ingestion when there is
// one, duplicates included). Nothing separates the strings, so the digest
// depends only on the strings, never on IDs, insertion or map order.
#pragma once

#include "core/entity/entity.h"
#include "core/hash/digest.h"
#include "core/interner/interner.h"
#include "core/error.h"

#include <cstdint>
#include <string_view>
#include <vector>

namespace tessellar {

// What to do with a record ID that names no string of the interner.
enum class UnknownRecords { Fail, Skip };

// Feeds the stream into `digest`, in blocks of strings. With Fail, a
// record ID outside the interner stops it with IndexError "Invalid string
// ID", leaving a partial stream in `digest`; with Skip it never fails.
// Dataset IDs outside the interner are always left out.
Status feed_canonical_stream(const Entity& entity, const StringInterner& interner, DynDigest& digest,
                             UnknownRecords unknown);

// The digest of the stream under `algorithm` (ValueError for an unsupported
// name, before anything else is looked at).
Result<std::vector<uint8_t>> deterministic_hash(const Entity& entity, const StringInterner& interner,
                                                std::string_view algorithm);

}  // namespace tessellar
