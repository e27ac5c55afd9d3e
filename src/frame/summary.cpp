#include "frame/summary.h"

#include <sys/ioctl.h>
#include <unistd.h>

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

uint64_t distinct_records(const Collection& collection, uint32_t dataset_id) {
    RecordUnion records;
    for (const Entity& entity : collection.entities()) {
        if (const RecordSet* set = entity.find(dataset_id)) records.add(*set);
    }
    return records.cardinality();
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

    for (size_t i = 0; i < datasets.size(); ++i) {
        const bool last = i + 1 == datasets.size();
        TableRow row{{(last ? "└─ " : "├─ ") + datasets[i]->first, false}};
        for (const auto* collection : collections) {
            row.push_back({std::to_string(distinct_records(collection->second, datasets[i]->second)), false});
        }
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

RenderOptions terminal_render_options() {
    RenderOptions options;
    if (!isatty(STDOUT_FILENO)) return options;
    options.styled = true;
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) options.width_limit = size.ws_col;
    return options;
}

}  // namespace tessellar
