// Order-free matching, scores and digest diffs over a frame's collections,
// read in place under a shared borrow of the frame.
#include "python/tools/functions.h"

#include "core/evaluate/digest_diff.h"
#include "core/evaluate/match.h"
#include "core/evaluate/metrics.h"
#include "python/boundary/functions.h"
#include "python/boundary/result.h"
#include "python/tessellar/classes.h"
#include "python/tools/column.h"

#include <string>
#include <utility>

namespace tessellar::py {
namespace {

PyResult<PyRef> columns_of(MatchColumns columns) {
    return dict_of({
        {"match", to_python(column_of(std::move(columns.match)))},
        {"shared", to_python(column_of(std::move(columns.shared)))},
        {"jaccard", to_python(column_of(std::move(columns.jaccard)))},
        {"kind", to_python(column_of(std::move(columns.kind)))},
    });
}

PyResult<PyRef> match(const Frame& frame, std::string_view first, std::string_view second) {
    auto matching = match_collections(frame, first, second);
    if (!matching) return std::unexpected(std::move(matching.error()));
    auto forward = columns_of(std::move(matching->first));
    if (!forward) return forward;
    auto backward = columns_of(std::move(matching->second));
    if (!backward) return backward;
    return dict_of({{"first", std::move(*forward)}, {"second", std::move(*backward)}});
}

PyResult<PyRef> score(const Frame& frame, std::string_view prediction, std::string_view reference) {
    auto metrics = evaluate(frame, prediction, reference);
    if (!metrics) return std::unexpected(std::move(metrics.error()));
    const Metrics& m = *metrics;
    return dict_of({
        {"pairwise_precision", to_python(m.pairwise_precision)},
        {"pairwise_recall", to_python(m.pairwise_recall)},
        {"pairwise_f1", to_python(m.pairwise_f1)},
        {"bcubed_precision", to_python(m.bcubed_precision)},
        {"bcubed_recall", to_python(m.bcubed_recall)},
        {"bcubed_f1", to_python(m.bcubed_f1)},
        {"cluster_precision", to_python(m.cluster_precision)},
        {"cluster_recall", to_python(m.cluster_recall)},
        {"cluster_f1", to_python(m.cluster_f1)},
        {"homogeneity", to_python(m.homogeneity)},
        {"completeness", to_python(m.completeness)},
        {"v_measure", to_python(m.v_measure)},
        {"adjusted_rand_index", to_python(m.adjusted_rand_index)},
        {"items", to_python(m.items)},
        {"only_in_prediction", to_python(m.only_in_prediction)},
        {"only_in_reference", to_python(m.only_in_reference)},
    });
}

PyResult<PyRef> diff_of(Result<DigestDiff> diff) {
    if (!diff) return std::unexpected(std::move(diff.error()));
    return dict_of({{"added", to_python(column_of(std::move(diff->added)))},
                    {"removed", to_python(column_of(std::move(diff->removed)))}});
}

PyResult<PyRef> diff_collections(const Frame& frame, std::string_view collection, std::string_view other,
                                 std::string_view algorithm) {
    return diff_of(tessellar::diff_collections(frame, collection, other, algorithm));
}

// A list of earlier digests: each item `bytes` of the algorithm's size.
PyResult<DigestList> digest_list_from(const ItemList& digests, std::string_view algorithm) {
    auto size = digest_size_of(algorithm);
    if (!size) return std::unexpected(std::move(size.error()));
    DigestList list(digests.items.size(), *size);
    for (size_t index = 0; index < digests.items.size(); ++index) {
        PyObject* item = digests.items[index].get();
        if (!PyBytes_Check(item)) {
            return type_error("digests[" + std::to_string(index) + "] must be bytes, not '" + type_name(item) + "'");
        }
        if (static_cast<size_t>(PyBytes_GET_SIZE(item)) != *size) {
            return std::unexpected(Failure{PyExc_ValueError, "digests[" + std::to_string(index) + "] has " +
                                                                 std::to_string(PyBytes_GET_SIZE(item)) +
                                                                 " bytes, a " + std::string(algorithm) +
                                                                 " digest has " + std::to_string(*size)});
        }
        const auto* bytes = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(item));
        std::copy(bytes, bytes + *size, list.slot(index).begin());
    }
    return list;
}

PyResult<PyRef> diff_digests(const Frame& frame, std::string_view collection, ItemList digests,
                             std::string_view algorithm) {
    auto older = digest_list_from(digests, algorithm);
    if (!older) return std::unexpected(std::move(older.error()));
    return diff_of(diff_against(frame, collection, *older, algorithm));
}

}  // namespace

std::vector<Member> evaluation_functions() {
    return {
        function<&match>("match", "Best match of every entity in the other collection, both ways, as columns", "frame", "first", "second"),
        function<&score>("score", "Scores of a prediction against a reference partition", "frame", "prediction", "reference"),
        function<&diff_collections>("diff_collections", "Positions whose digest the other collection lacks, both ways", "frame", "collection", "other", "algorithm"),
        function<&diff_digests>("diff_digests", "Positions whose digest the list lacks, and list positions the collection lacks", "frame", "collection", "digests", "algorithm"),
    };
}

}  // namespace tessellar::py
