#include "core/frame/summary.h"

#include <boost/unordered/unordered_flat_map.hpp>

#include <algorithm>

namespace tessellar {

namespace {

// Names in byte order, a proper prefix first: the text never depends on the
// order in which the maps were filled.
template <class V>
std::vector<const std::pair<std::string, V>*> sorted_entries(const NameMap<V>& map) {
    std::vector<const std::pair<std::string, V>*> entries;
    for (const auto& entry : map.entries()) entries.push_back(&entry);
    std::sort(entries.begin(), entries.end(), [](auto* a, auto* b) { return a->first < b->first; });
    return entries;
}

// Per dataset ID of `dataset_ids`, the number of distinct records that the
// collection's entities hold for it, in one pass over the entities.
std::vector<uint64_t> distinct_records(const Collection& collection, const std::vector<uint32_t>& dataset_ids) {
    boost::unordered_flat_map<uint32_t, size_t> column;
    for (size_t i = 0; i < dataset_ids.size(); ++i) column.emplace(dataset_ids[i], i);
    std::vector<RecordUnion> unions(dataset_ids.size());
    for (const Entity& entity : collection.entities()) {
        for (const DatasetRecords& dataset : entity.datasets()) {
            if (auto found = column.find(dataset.dataset_id); found != column.end()) {
                unions[found->second].add(dataset.records);
            }
        }
    }
    std::vector<uint64_t> counts;
    for (const RecordUnion& records : unions) counts.push_back(records.cardinality());
    return counts;
}

}  // namespace

TextTable summary_table(const Frame& frame) {
    const auto collections = sorted_entries(frame.collections());
    const auto datasets = sorted_entries(frame.datasets());

    TextTable table;
    table.header.push_back({"", true});
    for (const auto* collection : collections) table.header.push_back({collection->first, true});

    TableRow entities{{"**Entities**", true}};
    TableRow heading{{"**Datasets**", true}};
    for (const auto* collection : collections) {
        entities.push_back({std::to_string(collection->second.size()), false});
        heading.push_back({"", false});
    }
    table.rows.push_back(std::move(entities));
    table.rows.push_back(std::move(heading));

    std::vector<uint32_t> dataset_ids;
    for (const auto* dataset : datasets) dataset_ids.push_back(dataset->second);
    std::vector<std::vector<uint64_t>> counts;  // per collection, per dataset
    for (const auto* collection : collections) counts.push_back(distinct_records(collection->second, dataset_ids));

    for (size_t i = 0; i < datasets.size(); ++i) {
        const bool last = i + 1 == datasets.size();
        TableRow row{{(last ? "└─ " : "├─ ") + datasets[i]->first, false}};
        for (const auto& column : counts) row.push_back({std::to_string(column[i]), false});
        table.rows.push_back(std::move(row));
    }
    return table;
}

std::string render_summary(const Frame& frame, const RenderOptions& options) {
    if (frame.collections().size() == 0) return "EntityFrame (empty)";
    if (frame.datasets().size() == 0) {
        return "EntityFrame with " + std::to_string(frame.collections().size()) + " collection(s), no datasets";
    }
    return render_table(summary_table(frame), options);
}

}  // namespace tessellar
