// A collection as rows, one per (entity, dataset, record), for handing out
// as columns.
#pragma once

#include "core/collection/collection.h"
#include "core/error.h"
#include "core/interner/interner.h"

#include <cstdint>
#include <vector>

namespace tessellar {

struct RecordRows {
    std::vector<long> entity;        // position in the collection
    std::vector<uint32_t> dataset;   // interner IDs
    std::vector<uint32_t> record;
};

// In entity order, each entity's datasets and records in ID order.
// ValueError when an ID names no string of the interner (an entity put in
// with add_collection from elsewhere).
Result<RecordRows> rows_of(const Collection& collection, const StringInterner& interner);

// Orders the rows by dataset name, then record ID, by their bytes: the
// order of a membership vector, the same for any collection over the same
// records.
void order_by_record(RecordRows& rows, const StringInterner& interner);

}  // namespace tessellar
