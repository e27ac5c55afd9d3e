#include "core/evaluate/match.h"

#include "core/evaluate/overlap.h"

#include <algorithm>

namespace tessellar {

namespace {

struct Best {
    int64_t match = -1;
    uint64_t shared = 0;
    double jaccard = 0.0;
    MatchKind kind = MatchKind::Unmatched;
};

Best classify(uint64_t size, std::span<const Overlap> overlaps, const ItemIndex& other) {
    if (overlaps.empty()) return {};
    const Overlap* best = &overlaps[0];
    for (const Overlap& overlap : overlaps) {
        if (overlap.shared > best->shared) best = &overlap;
    }
    const uint64_t other_size = other.entity_size(best->entity);
    Best result{best->entity, best->shared,
                static_cast<double>(best->shared) / static_cast<double>(size + other_size - best->shared),
                MatchKind::Partial};
    const auto inside = [&](const Overlap& overlap) { return overlap.shared == other.entity_size(overlap.entity); };
    if (best->shared == size && best->shared == other_size) {
        result.kind = MatchKind::Exact;
    } else if (overlaps.size() > 1 && std::all_of(overlaps.begin(), overlaps.end(), inside)) {
        result.kind = MatchKind::Split;
    } else if (overlaps.size() == 1 && best->shared == size) {
        result.kind = MatchKind::Merged;
    }
    return result;
}

MatchColumns match_against(const Collection& from, const ItemIndex& from_index, const ItemIndex& to) {
    const std::vector<Entity>& entities = from.entities();
    const size_t count = entities.size();
    MatchColumns columns{std::vector<int64_t>(count), std::vector<int64_t>(count), std::vector<double>(count),
                         std::vector<uint8_t>(count)};
    for_each_chunk(count, [&](size_t, size_t first, size_t last) {
        OverlapScan scan(to);
        for (size_t index = first; index < last; ++index) {
            const Best best = classify(from_index.entity_size(static_cast<uint32_t>(index)),
                                       scan.scan(entities[index]), to);
            columns.match[index] = best.match;
            columns.shared[index] = static_cast<int64_t>(best.shared);
            columns.jaccard[index] = best.jaccard;
            columns.kind[index] = static_cast<uint8_t>(best.kind);
        }
    });
    return columns;
}

}  // namespace

Result<Matching> match_collections(const Frame& frame, std::string_view first, std::string_view second) {
    auto a = frame.collection(first);
    if (!a) return std::unexpected(std::move(a.error()));
    auto b = frame.collection(second);
    if (!b) return std::unexpected(std::move(b.error()));
    auto indexes = index_both(**a, **b, frame.interner().size());
    if (!indexes) return std::unexpected(std::move(indexes.error()));
    const auto& [a_index, b_index] = *indexes;
    return Matching{match_against(**a, a_index, b_index), match_against(**b, b_index, a_index)};
}

}  // namespace tessellar
