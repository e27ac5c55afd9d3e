#include "core/evaluate/metrics.h"

#include "core/evaluate/overlap.h"
#include "core/evaluate/record_marks.h"

#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace tessellar {

namespace {

// What a chunk of entities adds to the scores. Prediction entities have
// size a, reference entities size b (over the items both collections
// hold); a cell is a pair of them sharing n items.
struct Sums {
    uint64_t held = 0;          // items of the entities, whether the other side holds them or not
    uint64_t items = 0;         // N: the sum of the sizes
    uint64_t clusters = 0;      // entities of size > 0
    uint64_t pairs = 0;         // sum of C(size, 2)
    uint64_t joint_pairs = 0;   // sum of C(n, 2) over cells
    uint64_t exact = 0;         // cells with n = a = b
    double size_log_size = 0;   // sum of size log size
    double n_log_n = 0;         // sum of n log n over cells
    double share = 0;           // sum over cells of n^2 / a, or n^2 / b

    void add(const Sums& other) {
        held += other.held;
        items += other.items;
        clusters += other.clusters;
        pairs += other.pairs;
        joint_pairs += other.joint_pairs;
        exact += other.exact;
        size_log_size += other.size_log_size;
        n_log_n += other.n_log_n;
        share += other.share;
    }
};

// Chunk by chunk on the pool, reduced in chunk order: the same sums on any
// number of threads.
template <class Body>
Sums sum_chunks(size_t count, Body&& body) {
    std::vector<Sums> parts(chunk_count(count));
    for_each_chunk(count, [&](size_t chunk, size_t first, size_t last) { body(parts[chunk], first, last); });
    Sums total;
    for (const Sums& part : parts) total.add(part);
    return total;
}

uint64_t pairs_of(uint64_t n) { return n ? n * (n - 1) / 2 : 0; }

// Most clusters and cells are small: their n log n comes from a table.
double x_log_x(uint64_t n) {
    static const auto table = [] {
        std::array<double, 1024> values{};
        for (size_t k = 2; k < values.size(); ++k) values[k] = static_cast<double>(k) * std::log(static_cast<double>(k));
        return values;
    }();
    if (n < table.size()) return table[n];
    return static_cast<double>(n) * std::log(static_cast<double>(n));
}

double ratio_or(uint64_t numerator, uint64_t denominator, double otherwise) {
    return denominator ? static_cast<double>(numerator) / static_cast<double>(denominator) : otherwise;
}

double harmonic_mean(double a, double b) { return a + b > 0 ? 2 * a * b / (a + b) : 0.0; }

std::string text_of(const StringInterner& interner, uint32_t id) {
    // Appended piece by piece: g++ 12 misreads a concatenation here (-Wrestrict).
    std::string shown;
    if (auto text = interner.get_string(id)) {
        shown.append("'").append(*text).append("'");
    } else {
        shown.append("#").append(std::to_string(id));
    }
    return shown;
}

Status check_partition(const std::optional<SharedItem>& shared, std::string_view name,
                       const StringInterner& interner) {
    if (!shared) return {};
    return fail(ErrorKind::InvalidValue, "Collection '" + std::string(name) + "' is not a partition: record " +
                                             text_of(interner, shared->record_id) + " of dataset " +
                                             text_of(interner, shared->dataset_id) + " is in entities " +
                                             std::to_string(shared->first) + " and " +
                                             std::to_string(shared->second));
}

// What an entity of either side adds, given its size over the items both
// sides hold and the sum of n^2 over its cells.
void add_entity(Sums& part, uint64_t size, uint64_t squares) {
    part.items += size;
    part.clusters += size > 0;
    part.pairs += pairs_of(size);
    part.size_log_size += x_log_x(size);
    if (size) part.share += static_cast<double>(squares) / static_cast<double>(size);
}

// A cell as its reference entity tallies it.
struct Cell {
    uint32_t reference;
    bool alone;  // the only cell of its prediction entity
    uint64_t shared;
};

// The cells of a reference entity, added up. A cell is exact when it is
// the only one of both its entities.
struct Tally {
    uint64_t items = 0;    // b
    uint64_t squares = 0;  // sum of n^2
    uint8_t cells = 0;     // 0, 1, or 2 for more
    bool alone = false;    // holds a cell that is alone in its prediction entity
};

// The prediction's sums, from its entities scanned against the reference
// index; its cells go to the reference entities' tallies, its record IDs
// to `marks`.
Sums scan_prediction(const Collection& prediction, const ItemIndex& reference, RecordMarks& marks,
                     std::vector<Tally>& tallies) {
    const std::vector<Entity>& entities = prediction.entities();
    std::vector<std::vector<Cell>> chunk_cells(chunk_count(entities.size()));
    const Sums sums = sum_chunks(entities.size(), [&](Sums& part, size_t first, size_t last) {
        OverlapScan scan(reference);
        std::vector<Cell>& out = chunk_cells[first / kChunkSize];
        for (size_t index = first; index < last; ++index) {
            const auto cells = scan.scan(entities[index]);
            uint64_t squares = 0;
            for (const Overlap& cell : cells) {
                squares += cell.shared * cell.shared;
                part.joint_pairs += pairs_of(cell.shared);
                part.n_log_n += x_log_x(cell.shared);
                out.push_back({cell.entity, cells.size() == 1, cell.shared});
            }
            add_entity(part, scan.found(), squares);
            part.held += marks.mark(entities[index]);
        }
    });
    tallies.assign(reference.entity_count(), Tally{});
    for (const std::vector<Cell>& cells : chunk_cells) {
        for (const Cell& cell : cells) {
            Tally& tally = tallies[cell.reference];
            tally.items += cell.shared;
            tally.squares += cell.shared * cell.shared;
            tally.cells += tally.cells < 2;
            tally.alone = tally.alone || cell.alone;
        }
    }
    return sums;
}

// Sklearn's form of the adjusted Rand index, on unordered pair counts, in
// exact integer arithmetic: the products overflow 64 bits from a few
// million items on.
double adjusted_rand(uint64_t items, uint64_t joint, uint64_t prediction_pairs, uint64_t reference_pairs) {
    using Wide = __int128;
    const Wide tp = joint, fp = Wide(prediction_pairs) - joint, fn = Wide(reference_pairs) - joint;
    const Wide tn = Wide(pairs_of(items)) - prediction_pairs - reference_pairs + joint;
    if (fp == 0 && fn == 0) return 1.0;
    const Wide numerator = 2 * (tp * tn - fn * fp);
    const Wide denominator = (tp + fn) * (fn + tn) + (tp + fp) * (fp + tn);
    return static_cast<double>(static_cast<long double>(numerator) / static_cast<long double>(denominator));
}

Metrics scores(const Sums& prediction, const Sums& reference) {
    Metrics metrics;
    const uint64_t n = prediction.items;
    metrics.items = n;
    if (n == 0) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        for (double* score : {&metrics.pairwise_precision, &metrics.pairwise_recall, &metrics.pairwise_f1,
                              &metrics.bcubed_precision, &metrics.bcubed_recall, &metrics.bcubed_f1,
                              &metrics.cluster_precision, &metrics.cluster_recall, &metrics.cluster_f1,
                              &metrics.homogeneity, &metrics.completeness, &metrics.v_measure,
                              &metrics.adjusted_rand_index}) {
            *score = nan;
        }
        return metrics;
    }
    const double total = static_cast<double>(n), log_total = std::log(total);
    // A partition that links no pair makes no false link (precision) or
    // asks for none (recall).
    metrics.pairwise_precision = ratio_or(prediction.joint_pairs, prediction.pairs, 1.0);
    metrics.pairwise_recall = ratio_or(prediction.joint_pairs, reference.pairs, 1.0);
    metrics.pairwise_f1 = harmonic_mean(metrics.pairwise_precision, metrics.pairwise_recall);
    metrics.bcubed_precision = prediction.share / total;
    metrics.bcubed_recall = reference.share / total;
    metrics.bcubed_f1 = harmonic_mean(metrics.bcubed_precision, metrics.bcubed_recall);
    metrics.cluster_precision = ratio_or(reference.exact, prediction.clusters, 0.0);
    metrics.cluster_recall = ratio_or(reference.exact, reference.clusters, 0.0);
    metrics.cluster_f1 = harmonic_mean(metrics.cluster_precision, metrics.cluster_recall);
    // Entropies in nats; one cluster has none, which counts as perfect. The
    // mutual information is the sum over cells of n/N log(n N / (a b)).
    const double prediction_entropy = prediction.clusters > 1 ? log_total - prediction.size_log_size / total : 0.0;
    const double reference_entropy = reference.clusters > 1 ? log_total - reference.size_log_size / total : 0.0;
    const double mutual = std::max(
        0.0, log_total + (prediction.n_log_n - prediction.size_log_size - reference.size_log_size) / total);
    metrics.homogeneity = reference_entropy > 0 ? mutual / reference_entropy : 1.0;
    metrics.completeness = prediction_entropy > 0 ? mutual / prediction_entropy : 1.0;
    metrics.v_measure = harmonic_mean(metrics.homogeneity, metrics.completeness);
    metrics.adjusted_rand_index = adjusted_rand(n, prediction.joint_pairs, prediction.pairs, reference.pairs);
    return metrics;
}

}  // namespace

Result<Metrics> evaluate(const Frame& frame, std::string_view prediction_name, std::string_view reference_name) {
    auto prediction = frame.collection(prediction_name);
    if (!prediction) return std::unexpected(std::move(prediction.error()));
    auto reference = frame.collection(reference_name);
    if (!reference) return std::unexpected(std::move(reference.error()));
    // Only the reference is indexed: the prediction is scanned against it,
    // and its own index is built only when its marks leave its partition
    // check open.
    const size_t table_size = frame.interner().size();
    if (Status ok = ItemIndex::check_size(**prediction); !ok) return std::unexpected(std::move(ok.error()));
    auto reference_index = ItemIndex::build(**reference, table_size);
    if (!reference_index) return std::unexpected(std::move(reference_index.error()));
    RecordMarks marks(table_size);
    std::vector<Tally> tallies;
    const Sums by_prediction = scan_prediction(**prediction, *reference_index, marks, tallies);
    if (!marks.all_distinct(by_prediction.held)) {
        auto prediction_index = ItemIndex::build(**prediction, table_size);
        if (!prediction_index) return std::unexpected(std::move(prediction_index.error()));
        if (Status ok = check_partition(prediction_index->shared_item(), prediction_name, frame.interner()); !ok) {
            return std::unexpected(std::move(ok.error()));
        }
    }
    if (Status ok = check_partition(reference_index->shared_item(), reference_name, frame.interner()); !ok) {
        return std::unexpected(std::move(ok.error()));
    }
    Sums by_reference = sum_chunks(tallies.size(), [&](Sums& part, size_t first, size_t last) {
        for (size_t index = first; index < last; ++index) {
            const Tally& tally = tallies[index];
            add_entity(part, tally.items, tally.squares);
            part.exact += tally.cells == 1 && tally.alone;
        }
    });
    Metrics metrics = scores(by_prediction, by_reference);
    metrics.only_in_prediction = by_prediction.held - metrics.items;
    metrics.only_in_reference = reference_index->item_count() - metrics.items;
    return metrics;
}

}  // namespace tessellar
