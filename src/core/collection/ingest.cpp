#include "core/collection/ingest.h"

#include <optional>
#include <span>

namespace tessellar {

std::span<const IngestBatch::Dataset> IngestBatch::datasets_of(size_t entity) const noexcept {
    const size_t begin = entity_starts_[entity];
    const size_t end = entity + 1 < entity_starts_.size() ? entity_starts_[entity + 1] : datasets_.size();
    return std::span(datasets_).subspan(begin, end - begin);
}

Status add_entities(Collection& collection, const IngestBatch& batch, StringInterner& interner,
                    DatasetTable& datasets) {
    std::vector<Entity>& entities = collection.entities();
    entities.reserve(entities.size() + batch.entity_count());

    for (const IngestBatch::Dataset& dataset : batch.datasets()) {
        if (datasets.find(dataset.name)) continue;
        auto id = interner.intern(dataset.name);
        if (!id) return std::unexpected(std::move(id.error()));
        datasets.put(dataset.name, *id);
    }

    interner.expect_strings(batch.record_count());

    // The records of a run of entities are interned in one pass, which asks
    // for each lookup's memory some records ahead; a run is short enough
    // that its IDs stay in cache until its entities are built.
    constexpr size_t kRunRecords = size_t{1} << 14;
    const std::span<const std::string_view> records = batch.records();
    std::vector<uint32_t> ids;
    std::vector<StringInterner::InternedGroup> interned;  // buffers reused for every entity
    for (size_t first = 0; first < batch.entity_count();) {
        size_t last = first, run_records = 0;
        std::optional<size_t> run_start;
        for (; last < batch.entity_count() && run_records < kRunRecords; ++last) {
            for (const IngestBatch::Dataset& dataset : batch.datasets_of(last)) {
                if (!run_start) run_start = dataset.first_record;
                run_records += dataset.record_count;
            }
        }
        ids.resize(run_records);
        if (run_records) {
            if (Status status = interner.intern_each(records.subspan(*run_start, run_records), ids); !status) {
                return status;
            }
        }
        for (size_t entity = first; entity < last; ++entity) {
            const auto datasets_of_entity = batch.datasets_of(entity);
            interned.resize(datasets_of_entity.size());
            for (size_t i = 0; i < datasets_of_entity.size(); ++i) {
                const IngestBatch::Dataset& dataset = datasets_of_entity[i];
                interner.fill_group(interned[i], *datasets.find(dataset.name),
                                    std::span(ids).subspan(dataset.first_record - *run_start, dataset.record_count));
            }
            entities.push_back(Entity::from_interned(interned));
        }
        first = last;
    }
    return {};
}

}  // namespace tessellar
