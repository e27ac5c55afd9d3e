// The evaluation functions against plain definitions computed the slow way
// on small random resolutions. Record strings recur across datasets, so
// the index's shared-record path is taken as well as its flat table.
#include "core/collection/batch_hash.h"
#include "core/evaluate/digest_diff.h"
#include "core/evaluate/match.h"
#include "core/evaluate/metrics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace tessellar {
namespace {

using Item = std::pair<std::string, std::string>;  // dataset, record
using Resolution = std::vector<std::set<Item>>;

// `entities` clusters over 2 x 25 items; each item lands in one of them (or,
// with `overlap`, sometimes in two), or in none.
Resolution random_resolution(std::mt19937& rng, size_t entities, bool overlap) {
    Resolution resolution(entities);
    for (const char* dataset : {"a", "b"}) {
        for (int record = 0; record < 25; ++record) {
            const Item item{dataset, "r" + std::to_string(record)};
            if (rng() % 5 == 0) continue;
            resolution[rng() % entities].insert(item);
            if (overlap && rng() % 4 == 0) resolution[rng() % entities].insert(item);
        }
    }
    return resolution;
}

void add(Frame& frame, const std::string& name, const Resolution& resolution) {
    IngestBatch batch;
    for (const auto& entity : resolution) {
        batch.start_entity();
        for (const auto& [dataset, record] : entity) {
            if (batch.datasets_of(batch.entity_count() - 1).empty() ||
                batch.datasets().back().name != dataset) {
                batch.add_dataset(dataset);
            }
            batch.add_record(record);
        }
    }
    Collection collection{name};
    ASSERT_TRUE(add_entities(collection, batch, frame.interner(), frame.datasets()));
    frame.add_collection(name, std::move(collection));
}

size_t shared_count(const std::set<Item>& a, const std::set<Item>& b) {
    return std::count_if(a.begin(), a.end(), [&](const Item& item) { return b.contains(item); });
}

MatchKind kind_of(const std::set<Item>& entity, const Resolution& other, size_t best) {
    std::vector<size_t> touched;
    for (size_t index = 0; index < other.size(); ++index) {
        if (shared_count(entity, other[index])) touched.push_back(index);
    }
    if (touched.empty()) return MatchKind::Unmatched;
    if (other[best] == entity) return MatchKind::Exact;
    const auto inside = [&](size_t index) { return shared_count(other[index], entity) == other[index].size(); };
    if (touched.size() > 1 && std::all_of(touched.begin(), touched.end(), inside)) return MatchKind::Split;
    if (touched.size() == 1 && shared_count(entity, other[best]) == entity.size()) return MatchKind::Merged;
    return MatchKind::Partial;
}

void expect_matches(const MatchColumns& columns, const Resolution& from, const Resolution& to) {
    for (size_t index = 0; index < from.size(); ++index) {
        size_t best = 0, most = 0;
        for (size_t other = 0; other < to.size(); ++other) {
            if (const size_t shared = shared_count(from[index], to[other]); shared > most) best = other, most = shared;
        }
        EXPECT_EQ(columns.match[index], most ? int64_t(best) : -1) << index;
        EXPECT_EQ(columns.shared[index], int64_t(most));
        const double total = double(from[index].size() + to[best].size() - most);
        EXPECT_DOUBLE_EQ(columns.jaccard[index], most ? most / total : 0.0);
        EXPECT_EQ(columns.kind[index], uint8_t(most ? kind_of(from[index], to, best) : MatchKind::Unmatched));
    }
}

TEST(Evaluate, MatchingFollowsItsDefinitionBothWays) {
    std::mt19937 rng(3);
    for (int round = 0; round < 40; ++round) {
        const Resolution first = random_resolution(rng, 1 + rng() % 12, round % 2);
        const Resolution second = random_resolution(rng, 1 + rng() % 12, round % 3 == 0);
        Frame frame;
        add(frame, "first", first);
        add(frame, "second", second);
        const auto matching = match_collections(frame, "first", "second");
        ASSERT_TRUE(matching);
        expect_matches(matching->first, first, second);
        expect_matches(matching->second, second, first);
    }
}

// The scores from their definitions over pairs and items of the shared items.
Metrics slow_scores(const Resolution& prediction, const Resolution& reference) {
    std::map<Item, size_t> p, r;
    for (size_t index = 0; index < prediction.size(); ++index) for (const Item& item : prediction[index]) p[item] = index;
    for (size_t index = 0; index < reference.size(); ++index) for (const Item& item : reference[index]) r[item] = index;
    std::vector<std::pair<size_t, size_t>> items;  // (p, r) of each shared item
    for (const auto& [item, cluster] : p) if (r.contains(item)) items.emplace_back(cluster, r[item]);
    const double n = double(items.size());
    double joint = 0, predicted = 0, true_pairs = 0, precision = 0, recall = 0;
    std::map<size_t, double> a, b;
    std::map<std::pair<size_t, size_t>, double> cells;
    for (const auto& [pi, ri] : items) ++a[pi], ++b[ri], ++cells[{pi, ri}];
    for (size_t i = 0; i < items.size(); ++i) {
        for (size_t j = i + 1; j < items.size(); ++j) {
            const bool same_p = items[i].first == items[j].first, same_r = items[i].second == items[j].second;
            joint += same_p && same_r, predicted += same_p, true_pairs += same_r;
        }
        precision += cells[items[i]] / a[items[i].first] / n;
        recall += cells[items[i]] / b[items[i].second] / n;
    }
    double exact = 0, mutual = 0, h_p = 0, h_r = 0;
    for (const auto& [cell, count] : cells) {
        exact += count == a[cell.first] && count == b[cell.second];
        mutual += count / n * std::log(count * n / (a[cell.first] * b[cell.second]));
    }
    for (const auto& [cluster, count] : a) h_p -= count / n * std::log(count / n);
    for (const auto& [cluster, count] : b) h_r -= count / n * std::log(count / n);
    const auto f1 = [](double x, double y) { return x + y ? 2 * x * y / (x + y) : 0.0; };
    Metrics m;
    m.items = items.size();
    m.pairwise_precision = predicted ? joint / predicted : 1.0;
    m.pairwise_recall = true_pairs ? joint / true_pairs : 1.0;
    m.bcubed_precision = precision, m.bcubed_recall = recall;
    m.cluster_precision = exact / double(a.size()), m.cluster_recall = exact / double(b.size());
    m.homogeneity = h_r > 1e-12 ? mutual / h_r : 1.0;
    m.completeness = h_p > 1e-12 ? mutual / h_p : 1.0;
    m.v_measure = f1(m.homogeneity, m.completeness);
    const double all = n * (n - 1) / 2, expected = predicted * true_pairs / all;
    m.adjusted_rand_index = predicted == joint && true_pairs == joint
                                ? 1.0 : (joint - expected) / ((predicted + true_pairs) / 2 - expected);
    m.only_in_prediction = p.size() - items.size();
    m.only_in_reference = r.size() - items.size();
    return m;
}

TEST(Evaluate, ScoresFollowTheirDefinitions) {
    std::mt19937 rng(5);
    for (int round = 0; round < 60; ++round) {
        const Resolution prediction = random_resolution(rng, 1 + rng() % 15, false);
        const Resolution reference = random_resolution(rng, 1 + rng() % 15, false);
        Frame frame;
        add(frame, "prediction", prediction);
        add(frame, "reference", reference);
        const auto m = evaluate(frame, "prediction", "reference");
        ASSERT_TRUE(m);
        const Metrics slow = slow_scores(prediction, reference);
        ASSERT_EQ(m->items, slow.items);
        EXPECT_EQ(m->only_in_prediction, slow.only_in_prediction);
        EXPECT_EQ(m->only_in_reference, slow.only_in_reference);
        for (auto score : {&Metrics::pairwise_precision, &Metrics::pairwise_recall, &Metrics::bcubed_precision,
                           &Metrics::bcubed_recall, &Metrics::cluster_precision, &Metrics::cluster_recall,
                           &Metrics::homogeneity, &Metrics::completeness, &Metrics::v_measure,
                           &Metrics::adjusted_rand_index}) {
            EXPECT_NEAR((*m).*score, slow.*score, 1e-9) << round;
        }
    }
}

TEST(Evaluate, AnItemInTwoEntitiesIsNoPartition) {
    Frame frame;
    add(frame, "ok", {{{"a", "r1"}}, {{"a", "r2"}}});
    add(frame, "twice", {{{"b", "r1"}}, {{"a", "r2"}, {"b", "r3"}}, {{"b", "r3"}}});
    const auto m = evaluate(frame, "ok", "twice");
    ASSERT_FALSE(m);
    EXPECT_EQ(m.error().kind, ErrorKind::InvalidValue);
    EXPECT_EQ(m.error().message, "Collection 'twice' is not a partition: record 'r3' of dataset 'b' is in entities 1 and 2");
}

TEST(Evaluate, DigestDiffIsTheSetDifferenceBothWays) {
    std::mt19937 rng(7);
    Frame frame;
    add(frame, "old", random_resolution(rng, 20, true));
    add(frame, "new", random_resolution(rng, 20, true));
    const auto old_digests = hash_all_entities(*frame.collection("old").value(), frame.interner(), "blake3").value();
    const auto new_digests = hash_all_entities(*frame.collection("new").value(), frame.interner(), "blake3").value();
    const auto absent = [](const DigestList& from, const DigestList& in) {
        std::set<std::vector<uint8_t>> held;
        for (size_t i = 0; i < in.size(); ++i) held.emplace(in[i].begin(), in[i].end());
        std::vector<int64_t> missing;
        for (size_t i = 0; i < from.size(); ++i) {
            if (!held.contains(std::vector<uint8_t>(from[i].begin(), from[i].end()))) missing.push_back(int64_t(i));
        }
        return missing;
    };
    const auto diff = diff_collections(frame, "new", "old", "BLAKE3");
    ASSERT_TRUE(diff);
    EXPECT_EQ(diff->added, absent(new_digests, old_digests));
    EXPECT_EQ(diff->removed, absent(old_digests, new_digests));
    EXPECT_EQ(diff_against(frame, "new", old_digests, "blake3")->added, diff->added);
}

}  // namespace
}  // namespace tessellar
