#include "core/convert/rows.h"

#include <tbb/parallel_sort.h>

#include <numeric>
#include <string>

namespace tessellar {

Result<RecordRows> rows_of(const Collection& collection, const StringInterner& interner) {
    RecordRows rows;
    const std::vector<Entity>& entities = collection.entities();
    size_t total = 0;
    for (const Entity& entity : entities) {
        for (const DatasetRecords& dataset : entity.datasets()) total += dataset.records.cardinality();
    }
    rows.entity.reserve(total);
    rows.dataset.reserve(total);
    rows.record.reserve(total);
    const size_t known = interner.size();
    for (size_t index = 0; index < entities.size(); ++index) {
        for (const DatasetRecords& dataset : entities[index].datasets()) {
            bool all_known = dataset.dataset_id < known;
            dataset.records.for_each([&](uint32_t record) {
                all_known = all_known && record < known;
                rows.entity.push_back(static_cast<long>(index));
                rows.dataset.push_back(dataset.dataset_id);
                rows.record.push_back(record);
            });
            if (!all_known) {
                return fail(ErrorKind::InvalidValue, "Entity " + std::to_string(index) + " of collection '" +
                                                         collection.process_name() +
                                                         "' holds IDs that name no string of this frame");
            }
        }
    }
    return rows;
}

void order_by_record(RecordRows& rows, const StringInterner& interner) {
    std::vector<uint32_t> order(rows.record.size());
    std::iota(order.begin(), order.end(), 0);
    // Equal strings are equal IDs; ties (a record in two entities) keep row order.
    tbb::parallel_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        if (rows.dataset[a] != rows.dataset[b]) {
            return interner.string_at(rows.dataset[a]) < interner.string_at(rows.dataset[b]);
        }
        if (rows.record[a] != rows.record[b]) {
            return interner.string_at(rows.record[a]) < interner.string_at(rows.record[b]);
        }
        return a < b;
    });
    RecordRows sorted;
    sorted.entity.reserve(order.size());
    sorted.dataset.reserve(order.size());
    sorted.record.reserve(order.size());
    for (const uint32_t row : order) {
        sorted.entity.push_back(rows.entity[row]);
        sorted.dataset.push_back(rows.dataset[row]);
        sorted.record.push_back(rows.record[row]);
    }
    rows = std::move(sorted);
}

}  // namespace tessellar
