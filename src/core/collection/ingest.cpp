#include "core/collection/ingest.h"

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

    std::vector<StringInterner::Group> groups;
    std::vector<StringInterner::InternedGroup> interned;  // buffers reused for every entity
    for (size_t entity = 0; entity < batch.entity_count(); ++entity) {
        groups.clear();
        for (const IngestBatch::Dataset& dataset : batch.datasets_of(entity)) {
            groups.push_back({*datasets.find(dataset.name), batch.records_of(dataset)});
        }
        if (Status status = interner.batch_intern_by_dataset(groups, interned); !status) return status;
        entities.push_back(Entity::from_interned(interned));
    }
    return {};
}

}  // namespace tessellar
