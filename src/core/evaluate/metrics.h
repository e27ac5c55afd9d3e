// The standard scores of a predicted partition against a reference one,
// over the (dataset, record) items both collections hold.
#pragma once

#include "core/error.h"
#include "core/frame/frame.h"

#include <cstdint>
#include <string_view>

namespace tessellar {

struct Metrics {
    uint64_t items = 0;               // held by both collections: the records scored
    uint64_t only_in_prediction = 0;  // held by the prediction alone, left out
    uint64_t only_in_reference = 0;   // held by the reference alone, left out
    double pairwise_precision = 0, pairwise_recall = 0, pairwise_f1 = 0;
    double bcubed_precision = 0, bcubed_recall = 0, bcubed_f1 = 0;
    double cluster_precision = 0, cluster_recall = 0, cluster_f1 = 0;
    double homogeneity = 0, completeness = 0, v_measure = 0;
    double adjusted_rand_index = 0;
};

// Every score is NaN when the collections share no item. KeyError for a
// missing collection; ValueError, naming the item and both entities, for a
// collection holding an item in two entities.
Result<Metrics> evaluate(const Frame& frame, std::string_view prediction, std::string_view reference);

}  // namespace tessellar
