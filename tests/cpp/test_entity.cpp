#include "core/entity/canonical_hash.h"
#include "core/entity/entity.h"
#include "core/entity/record_set.h"
#include "core/entity/similarity.h"
#include "counted_values.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <array>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace tessellar {
namespace {

using Ids = std::vector<uint32_t>;

RecordSet::Mode expected_mode(size_t size) {
    if (size <= RecordSet::kInlineCapacity) return RecordSet::Mode::Inline;
    return size <= RecordSet::kArrayLimit ? RecordSet::Mode::Array : RecordSet::Mode::Bitmap;
}

void expect_matches(const RecordSet& set, const std::set<uint32_t>& model) {
    ASSERT_EQ(set.cardinality(), model.size());
    EXPECT_EQ(set.mode(), expected_mode(model.size()));
    EXPECT_EQ(set.to_vector(), Ids(model.begin(), model.end()));
    Ids visited;
    set.for_each([&](uint32_t value) { visited.push_back(value); });
    EXPECT_EQ(visited, Ids(model.begin(), model.end()));
    for (uint32_t value : model) EXPECT_TRUE(set.contains(value));
}

// Values drawn from a narrow range repeat and share roaring containers; from
// the full range they spread across many.
struct Draw {
    uint32_t range;
    size_t count;
};

Ids draw(std::mt19937& rng, Draw shape) {
    Ids values(shape.count);
    for (auto& value : values) value = static_cast<uint32_t>(rng() % shape.range);
    return values;
}

class RecordSetModel : public ::testing::TestWithParam<Draw> {};

TEST_P(RecordSetModel, SingleAddsFollowModelThroughEveryMode) {
    std::mt19937 rng(GetParam().count);
    RecordSet set;
    std::set<uint32_t> model;
    for (uint32_t value : draw(rng, GetParam())) {
        set.add(value);
        model.insert(value);
        ASSERT_EQ(set.cardinality(), model.size());
        ASSERT_EQ(set.mode(), expected_mode(model.size()));
    }
    expect_matches(set, model);
}

TEST_P(RecordSetModel, BulkAddsAndConstructionFollowModel) {
    std::mt19937 rng(GetParam().count + 1);
    const Ids values = draw(rng, GetParam());
    const std::set<uint32_t> model(values.begin(), values.end());
    expect_matches(RecordSet(values), model);

    RecordSet chunked;
    for (size_t start = 0; start < values.size(); start += 37) {
        chunked.add_many(std::span(values).subspan(start, std::min<size_t>(37, values.size() - start)));
    }
    expect_matches(chunked, model);
}

TEST_P(RecordSetModel, CopiesAreDeepAndMovesEmptyTheSource) {
    std::mt19937 rng(GetParam().count + 2);
    const Ids values = draw(rng, GetParam());
    const std::set<uint32_t> model(values.begin(), values.end());
    RecordSet original(values);
    RecordSet copy = original;
    const Ids extra{4'000'000'000u, 4'000'000'001u, 0};
    copy.add_many(extra);
    expect_matches(original, model);
    std::set<uint32_t> grown = model;
    grown.insert(extra.begin(), extra.end());
    expect_matches(copy, grown);

    RecordSet moved = std::move(copy);
    EXPECT_TRUE(copy.empty());  // NOLINT(bugprone-use-after-move): a moved-from set is empty
    EXPECT_TRUE(moved.contains(4'000'000'001u));
    moved = original;
    EXPECT_EQ(moved.to_vector(), original.to_vector());
}

INSTANTIATE_TEST_SUITE_P(RecordSetSizes, RecordSetModel,
                         ::testing::Values(Draw{10, 2}, Draw{10, 40}, Draw{1000, 3}, Draw{1000, 4},
                                           Draw{100000, 256}, Draw{100000, 257}, Draw{300, 2000},
                                           Draw{UINT32_MAX, 3000}));

TEST(RecordSetEdges, DuplicatesCollapseAndExtremesSurvive) {
    EXPECT_EQ(RecordSet(Ids{9, 3, 9, 70000, 3}).to_vector(), (Ids{3, 9, 70000}));
    const RecordSet repeated(Ids(1000, 7));
    EXPECT_EQ(repeated.mode(), RecordSet::Mode::Inline);
    EXPECT_EQ(repeated.to_vector(), Ids{7});
    RecordSet extremes;
    extremes.add(UINT32_MAX);
    extremes.add(0);
    extremes.add_many({});
    EXPECT_EQ(extremes.to_vector(), (Ids{0, UINT32_MAX}));
    RecordSet mostly_repeats(Ids{1, 2});
    mostly_repeats.add_many(Ids(500, 3));
    EXPECT_EQ(mostly_repeats.mode(), RecordSet::Mode::Inline);
    EXPECT_EQ(mostly_repeats.to_vector(), (Ids{1, 2, 3}));
}

TEST(RecordSetPairs, IntersectionAndUnionAcrossModeCombinations) {
    std::mt19937 rng(7);
    std::vector<Ids> samples;
    for (size_t size : {0, 1, 3, 20, 256, 300, 5000}) samples.push_back(draw(rng, {2000, size}));
    samples.push_back(draw(rng, {UINT32_MAX, 600}));
    for (const Ids& a : samples) {
        for (const Ids& b : samples) {
            const std::set<uint32_t> ma(a.begin(), a.end()), mb(b.begin(), b.end());
            Ids common, all;
            std::ranges::set_intersection(ma, mb, std::back_inserter(common));
            std::ranges::set_union(ma, mb, std::back_inserter(all));
            const RecordSet sa(a), sb(b);
            EXPECT_EQ(intersection_cardinality(sa, sb), common.size()) << a.size() << " x " << b.size();
            EXPECT_EQ(union_cardinality(sa, sb), all.size()) << a.size() << " x " << b.size();
            EXPECT_EQ(sa.to_vector() == sb.to_vector(), ma == mb);
        }
    }
}

TEST(RecordSetUnion, CountsDistinctValuesOfManySets) {
    std::mt19937 rng(11);
    RecordUnion combined;
    std::set<uint32_t> model;
    for (size_t size : {1, 2, 5, 300, 0, 4000, 3}) {
        const Ids values = draw(rng, {50000, size});
        combined.add(RecordSet(values));
        model.insert(values.begin(), values.end());
    }
    EXPECT_EQ(combined.cardinality(), model.size());
}

StringInterner::InternedGroup group(uint32_t dataset, Ids in_order, Ids by_string) {
    return {dataset, std::move(in_order), std::move(by_string)};
}

TEST(EntityRecords, NewAndEmptyDatasets) {
    Entity entity;
    EXPECT_TRUE(entity.dataset_ids().empty());
    EXPECT_EQ(entity.total_records(), 0u);
    EXPECT_FALSE(entity.has_dataset(0));
    EXPECT_TRUE(entity.records_of(0).empty());

    entity.add_records(5, {});
    EXPECT_TRUE(entity.has_dataset(5));
    EXPECT_EQ(entity.dataset_ids(), Ids{5});
    EXPECT_TRUE(entity.records_of(5).empty());
    EXPECT_EQ(entity.total_records(), 0u);
}

TEST(EntityRecords, AddsCountPerDatasetInIdOrder) {
    Entity entity;
    entity.add_records(1, Ids{9, 3, 9, 70000, 3});
    entity.add_record(0, 9);
    entity.add_record(1, 4);
    EXPECT_EQ(entity.records_of(1), (Ids{3, 4, 9, 70000}));
    EXPECT_EQ(entity.dataset_ids(), (Ids{0, 1}));
    EXPECT_EQ(entity.total_records(), 5u);
}

// Datasets added one at a time in any order, past the point where the
// entity switches to a table, against a map; similarity against the merge.
TEST(EntityRecords, ManyDatasetsInAnyOrderMatchAModel) {
    std::mt19937 rng(5);
    for (const int order : {0, 1, 2}) {  // ascending, descending, random
        Entity entity, sorted_twin;
        std::map<uint32_t, std::set<uint32_t>> model;
        std::vector<uint32_t> ids(200);
        std::iota(ids.begin(), ids.end(), 0u);
        if (order == 1) std::ranges::reverse(ids);
        if (order == 2) std::ranges::shuffle(ids, rng);
        for (const uint32_t id : ids) {
            const Ids records{id, id * 7 + 1, static_cast<uint32_t>(rng() % 5)};
            entity.add_records(id * 3, records);
            if (id % 4 == 0) entity.add_record(id * 3, 1'000'000);
            model[id * 3].insert(records.begin(), records.end());
            if (id % 4 == 0) model[id * 3].insert(1'000'000);
        }
        uint64_t total = 0;
        for (const auto& [dataset, records] : model) {
            ASSERT_EQ(entity.records_of(dataset), Ids(records.begin(), records.end()));
            ASSERT_FALSE(entity.has_dataset(dataset + 1));
            total += records.size();
            for (const uint32_t record : records) sorted_twin.add_record(dataset, record);
        }
        EXPECT_EQ(entity.total_records(), total);
        EXPECT_EQ(entity.datasets().size(), model.size());
        EXPECT_EQ(jaccard_similarity(entity, sorted_twin), 1.0);
        Entity half;
        for (const auto& [dataset, records] : model) {
            if (dataset % 2 == 0) half.add_records(dataset, Ids(records.begin(), records.end()));
        }
        EXPECT_DOUBLE_EQ(jaccard_similarity(entity, half), jaccard_similarity(sorted_twin, half));
        EXPECT_DOUBLE_EQ(jaccard_similarity(half, entity), jaccard_similarity(half, sorted_twin));
        EXPECT_EQ(jaccard_similarity(Entity(entity), entity), 1.0);
    }
}

// The order ingestion stored for a dataset, if any.
std::optional<Ids> stored_order(const Entity& entity, uint32_t dataset_id) {
    for (const Entity::DatasetView& view : entity.dataset_views()) {
        if (view.dataset->dataset_id == dataset_id && view.sorted) return Ids(view.sorted->begin(), view.sorted->end());
    }
    return std::nullopt;
}

bool has_stored_orders(const Entity& entity) {
    return std::ranges::any_of(entity.dataset_views(), [](const auto& view) { return view.sorted.has_value(); });
}

TEST(EntityRecords, IngestionKeepsOrdersUntilAnyAddition) {
    Entity entity = Entity::from_interned(std::array{group(4, {7, 5, 7}, {7, 7, 5}), group(2, {8}, {8}),
                                                     group(3, {}, {})});
    EXPECT_EQ(entity.dataset_ids(), (Ids{2, 3, 4}));
    EXPECT_EQ(entity.records_of(4), (Ids{5, 7}));
    EXPECT_TRUE(entity.has_dataset(3));
    EXPECT_EQ(stored_order(entity, 4), (Ids{7, 7, 5}));

    Entity copy = entity;
    EXPECT_EQ(stored_order(copy, 4), (Ids{7, 7, 5}));
    copy.add_records(9, {});
    EXPECT_FALSE(has_stored_orders(copy));
    EXPECT_TRUE(has_stored_orders(entity));
    EXPECT_FALSE(entity.has_dataset(9));
}

TEST(EntityRecords, RepeatedIngestedDatasetMergesAndDropsOrders) {
    Entity entity = Entity::from_interned(std::array{group(1, {2, 3}, {3, 2}), group(1, {4}, {4})});
    EXPECT_EQ(entity.dataset_ids(), Ids{1});
    EXPECT_EQ(entity.records_of(1), (Ids{2, 3, 4}));
    EXPECT_FALSE(has_stored_orders(entity));
}

// Heap blocks are counted as the allocator hands them out, headers included.
size_t heap_in_use() { return mallinfo2().uordblks; }

size_t bytes_per_entity(const StringInterner::InternedGroup& shape) {
    constexpr size_t kCount = 20000;
    std::vector<Entity> entities;
    entities.reserve(kCount);
    const size_t before = heap_in_use();
    for (size_t i = 0; i < kCount; ++i) entities.push_back(Entity::from_interned(std::span(&shape, 1)));
    return (heap_in_use() - before) / kCount + sizeof(Entity);
}

TEST(EntityMemory, IngestedSmallEntitiesStayCompact) {
    if (heap_in_use() == 0) GTEST_SKIP() << "allocator does not report usage";
    const size_t three = bytes_per_entity(group(0, {11, 12, 13}, {12, 13, 11}));
    const size_t one = bytes_per_entity(group(0, {11}, {11}));
    RecordProperty("bytes_three_records", std::to_string(three));
    RecordProperty("bytes_one_record", std::to_string(one));
    EXPECT_LE(three, 120u);
    EXPECT_LE(one, 80u);
}

class EntityMetadata : public ::testing::Test {
protected:
    CountedValues values;
};

TEST_F(EntityMetadata, SetReplaceAndGetKeepOneReferenceEach) {
    {
        Entity entity;
        EXPECT_EQ(entity.get_metadata(0), nullptr);
        EXPECT_TRUE(entity.metadata_keys().empty());
        MetadataValue first = values.make(), second = values.make(), third = values.make();
        entity.set_metadata(3, first);
        EXPECT_EQ(CountedValues::references(first), 2);
        EXPECT_EQ(entity.get_metadata(3)->handle(), first.handle());
        entity.set_metadata(UINT32_MAX, third);
        entity.set_metadata(3, second);
        EXPECT_EQ(CountedValues::references(first), 1);
        EXPECT_EQ(entity.get_metadata(3)->handle(), second.handle());
        EXPECT_EQ(entity.get_metadata(UINT32_MAX)->handle(), third.handle());
        EXPECT_TRUE(entity.has_metadata(UINT32_MAX));
        EXPECT_FALSE(entity.has_metadata(4));
        EXPECT_EQ(entity.metadata_keys(), (Ids{3, UINT32_MAX}));
    }
    EXPECT_EQ(CountedValues::live(), 0u);
}

TEST_F(EntityMetadata, CopiesShareValuesAndEveryOwnerReleases) {
    MetadataValue value = values.make();
    {
        Entity entity;
        entity.add_record(1, 2);
        entity.set_metadata(7, value);
        Entity copy = entity;
        EXPECT_EQ(CountedValues::references(value), 3);
        EXPECT_EQ(copy.get_metadata(7)->handle(), value.handle());
        copy.add_record(1, 3);
        EXPECT_EQ(entity.records_of(1), Ids{2});
        entity.clear_metadata();
        EXPECT_FALSE(entity.has_any_metadata());
        EXPECT_EQ(CountedValues::references(value), 2);
        entity.clear_metadata();
        entity.set_metadata(8, value);
        EXPECT_EQ(entity.metadata_keys(), Ids{8});
    }
    EXPECT_EQ(CountedValues::references(value), 1);
}

TEST_F(EntityMetadata, VisitSeesEveryValueAndStopsOnRequest) {
    Entity entity;
    MetadataValue a = values.make(), b = values.make();
    entity.set_metadata(1, a);
    entity.set_metadata(2, b);
    std::vector<void*> seen;
    EXPECT_EQ(entity.visit_metadata([&](void* handle) {
        seen.push_back(handle);
        return seen.size() == 1 ? 0 : 9;
    }), 9);
    EXPECT_EQ(seen, (std::vector<void*>{a.handle(), b.handle()}));
}

struct JaccardCase {
    std::vector<std::pair<uint32_t, Ids>> a, b;
    double expected;
};

Entity build(const std::vector<std::pair<uint32_t, Ids>>& datasets) {
    Entity entity;
    for (const auto& [dataset, records] : datasets) entity.add_records(dataset, records);
    return entity;
}

class JaccardCases : public ::testing::TestWithParam<JaccardCase> {};

TEST_P(JaccardCases, ScoresBothWays) {
    const Entity a = build(GetParam().a), b = build(GetParam().b);
    EXPECT_DOUBLE_EQ(jaccard_similarity(a, b), GetParam().expected);
    EXPECT_DOUBLE_EQ(jaccard_similarity(b, a), GetParam().expected);
}

Ids range(uint32_t first, uint32_t count) {
    Ids ids(count);
    std::iota(ids.begin(), ids.end(), first);
    return ids;
}

INSTANTIATE_TEST_SUITE_P(
    JaccardEdges, JaccardCases,
    ::testing::Values(JaccardCase{{}, {}, 1.0}, JaccardCase{{{1, {}}}, {{2, {}}}, 1.0},
                      JaccardCase{{}, {{1, {4}}}, 0.0}, JaccardCase{{{1, {1, 2, 3}}}, {{1, {2, 3, 4}}, {2, {1}}}, 0.4},
                      JaccardCase{{{1, {5}}}, {{2, {5}}}, 0.0},
                      JaccardCase{{{1, range(0, 1000)}}, {{1, range(500, 10)}}, 0.01},
                      JaccardCase{{{1, range(0, 1000)}, {2, {1}}}, {{1, range(900, 300)}}, 100.0 / 1201}));

TEST(Jaccard, SelfAndCopyScoreOne) {
    const Entity a = build({{1, range(10, 500)}, {3, {4}}});
    EXPECT_EQ(jaccard_similarity(a, a), 1.0);
    EXPECT_EQ(jaccard_similarity(a, Entity(a)), 1.0);
}

// Records every update call, so tests see the exact stream.
class RecordingDigest final : public DynDigest {
public:
    std::vector<std::string> updates;
    using DynDigest::update;
    void update(std::span<const uint8_t> data) override { updates.emplace_back(data.begin(), data.end()); }
    void reset() override { updates.clear(); }
    size_t output_size() const override { return 0; }

private:
    void finish(std::span<uint8_t>) override {}
};

// The bytes fed, however they were split into updates.
std::string stream(const Entity& entity, const StringInterner& interner, UnknownRecords unknown) {
    RecordingDigest digest;
    EXPECT_TRUE(feed_canonical_stream(entity, interner, digest, unknown));
    std::string fed;
    for (const std::string& update : digest.updates) fed += update;
    return fed;
}

StringInterner interner_of(std::span<const std::string> texts) {
    StringInterner interner;
    for (const auto& text : texts) EXPECT_TRUE(interner.intern(text));
    return interner;
}

std::vector<uint8_t> sha256_of(std::string_view text) {
    auto digest = create_hasher("sha256");
    (*digest)->update(text);
    return DynDigest::finalize(std::move(*digest));
}

TEST(CanonicalHash, WorkedExampleIgnoresNumberingAndInsertionOrder) {
    std::array<std::string, 5> texts{"o1", "orders", "r10", "r2", "users"};
    const std::string expected = "orderso1usersr10r2";
    const auto expected_digest = sha256_of("orderso1usersr10r2");
    do {
        const StringInterner interner = interner_of(texts);
        const uint32_t users = *interner.lookup("users"), orders = *interner.lookup("orders");
        const Ids records{*interner.lookup("r2"), *interner.lookup("r10")};
        const Ids records_reversed{records[1], records[0]};
        const uint32_t o1 = *interner.lookup("o1");
        for (bool users_first : {true, false}) {
            for (const Ids* users_records : {&records, &records_reversed}) {
                Entity entity;
                if (users_first) entity.add_records(users, *users_records);
                entity.add_record(orders, o1);
                if (!users_first) {
                    for (uint32_t record : *users_records) entity.add_record(users, record);
                }
                ASSERT_EQ(stream(entity, interner, UnknownRecords::Fail), expected);
                ASSERT_EQ(deterministic_hash(entity, interner, "sha256"), expected_digest);
            }
        }
    } while (std::ranges::next_permutation(texts).found);
}

TEST(CanonicalHash, IngestedDuplicatesAreFedTwiceUntilAnAddition) {
    const std::array<std::string, 5> texts{"users", "r2", "r10", "orders", "o1"};
    const StringInterner interner = interner_of(texts);
    Entity entity = Entity::from_interned(std::array{group(0, {1, 2, 1}, {2, 1, 1}), group(3, {4}, {4})});
    EXPECT_EQ(stream(entity, interner, UnknownRecords::Fail),
              std::string("orderso1usersr10r2r2"));
    entity.add_records(0, {});
    EXPECT_EQ(deterministic_hash(entity, interner, "sha256"), sha256_of("orderso1usersr10r2"));
}

TEST(CanonicalHash, UnknownIdsFailOrAreSkipped) {
    const std::array<std::string, 5> texts{"users", "r2", "r10", "orders", "o1"};
    const StringInterner interner = interner_of(texts);
    Entity bitmap_path;
    bitmap_path.add_records(0, Ids{5, 1});
    Entity stored_path = Entity::from_interned(std::array{group(0, {5, 1}, {1, 5})});
    for (const Entity* entity : {&bitmap_path, &stored_path}) {
        const auto hashed = deterministic_hash(*entity, interner, "sha256");
        ASSERT_FALSE(hashed);
        EXPECT_EQ(hashed.error().kind, ErrorKind::OutOfRange);
        EXPECT_EQ(hashed.error().message, "Invalid string ID");
        EXPECT_EQ(stream(*entity, interner, UnknownRecords::Skip), std::string("usersr2"));
    }
    Entity unknown_dataset;
    unknown_dataset.add_records(5, Ids{1, 99});
    unknown_dataset.add_record(3, 2);
    EXPECT_EQ(deterministic_hash(unknown_dataset, interner, "sha256"), sha256_of("ordersr10"));
}

TEST(CanonicalHash, EmptyDatasetsAndSeparatorlessStreams) {
    const std::array<std::string, 6> texts{"ab", "c", "a", "bc", "d", ""};
    const StringInterner interner = interner_of(texts);
    Entity empty;
    EXPECT_EQ(deterministic_hash(empty, interner, "sha256"), sha256_of(""));
    empty.add_records(4, {});
    EXPECT_EQ(deterministic_hash(empty, interner, "sha256"), sha256_of("d"));
    Entity left, right;
    left.add_record(0, 1);
    right.add_record(2, 3);
    EXPECT_EQ(*deterministic_hash(left, interner, "sha256"), *deterministic_hash(right, interner, "sha256"));
    Entity with_empty_string;
    with_empty_string.add_records(4, Ids{5, 3});
    EXPECT_EQ(stream(with_empty_string, interner, UnknownRecords::Fail), std::string("dbc"));
}

TEST(CanonicalHash, UnsupportedAlgorithmFailsFirst) {
    const StringInterner interner;
    Entity entity;
    entity.add_record(0, 7);  // would be an unknown record, but the name is checked first
    for (const Entity& subject : {Entity(), entity}) {
        const auto hashed = deterministic_hash(subject, interner, "md5");
        ASSERT_FALSE(hashed);
        EXPECT_EQ(hashed.error().kind, ErrorKind::InvalidValue);
    }
}

class CanonicalHashLengths : public ::testing::TestWithParam<std::pair<const char*, size_t>> {};

TEST_P(CanonicalHashLengths, DigestHasAlgorithmLength) {
    const std::array<std::string, 2> texts{"crm", "x"};
    Entity entity;
    entity.add_record(0, 1);
    EXPECT_EQ(deterministic_hash(entity, interner_of(texts), GetParam().first)->size(), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(CanonicalHashAlgorithms, CanonicalHashLengths,
                         ::testing::Values(std::pair{"sha256", 32}, std::pair{"SHA512", 64}, std::pair{"sha3-256", 32},
                                           std::pair{"sha3-512", 64}, std::pair{"blake3", 32}));

}  // namespace
}  // namespace tessellar
