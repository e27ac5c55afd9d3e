#include "core/collection/batch_hash.h"
#include "core/collection/hash_store.h"
#include "core/collection/ingest.h"
#include "core/entity/canonical_hash.h"
#include "counted_values.h"

#include <gtest/gtest.h>
#include <tbb/task_arena.h>

#include <array>
#include <deque>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace tessellar {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr std::array<std::string_view, 5> kAlgorithms{"sha256", "sha512", "sha3-256", "sha3-512", "blake3"};

Bytes bytes_of(std::span<const uint8_t> digest) { return Bytes(digest.begin(), digest.end()); }

Bytes sha256_of(std::string_view text) {
    auto digest = create_hasher("sha256");
    (*digest)->update(text);
    return DynDigest::finalize(std::move(*digest));
}

// A collection as ingestion makes it, with the shapes hashing must handle:
// record strings that are prefixes of others, duplicates, datasets whose
// names share prefixes, empty datasets, sets large enough for bitmap mode,
// and entities whose later additions dropped the ingested order. Every
// seventh entity carries metadata, which hashing must never read.
struct Fixture {
    CountedValues values;
    StringInterner interner;
    DatasetTable datasets;
    Collection collection{"method"};

    explicit Fixture(size_t entities, unsigned seed = 1) {
        constexpr std::array<std::string_view, 4> kNames{"crm", "erp", "cr", "web"};
        for (std::string_view name : kNames) datasets.put(name, interner.intern(name).value());
        std::mt19937 rng(seed);
        std::deque<std::string> texts;
        IngestBatch batch;
        for (size_t entity = 0; entity < entities; ++entity) {
            batch.start_entity();
            const size_t dataset_count = 1 + rng() % 3;
            for (size_t d = 0; d < dataset_count; ++d) {
                batch.add_dataset(kNames[(entity + d) % kNames.size()]);
                const size_t records = entity % 97 == 3 ? 300 : rng() % 5;
                for (size_t r = 0; r < records; ++r) {
                    batch.add_record(texts.emplace_back("r" + std::to_string(rng() % 20000)));
                }
            }
        }
        EXPECT_TRUE(add_entities(collection, batch, interner, datasets));
        for (size_t index = 0; index < entities; ++index) {
            Entity& entity = collection.entities()[index];
            const uint32_t first_dataset = entity.datasets()[0].dataset_id;
            if (index % 5 == 0) entity.add_record(first_dataset, static_cast<uint32_t>(rng() % interner.size()));
            if (index % 11 == 0) entity.add_records(*datasets.find("web"), {});
            if (index % 7 == 0) entity.set_metadata(0, values.make());
        }
    }
};

std::vector<Bytes> one_by_one(const Collection& collection, const StringInterner& interner,
                              std::string_view algorithm) {
    std::vector<Bytes> digests;
    for (const Entity& entity : collection.entities()) {
        digests.push_back(*deterministic_hash(entity, interner, algorithm));
    }
    return digests;
}

std::vector<Bytes> listed(const DigestList& digests) {
    std::vector<Bytes> out;
    for (size_t index = 0; index < digests.size(); ++index) out.push_back(bytes_of(digests[index]));
    return out;
}

class BatchHashSizes : public testing::TestWithParam<std::tuple<size_t, std::string_view>> {};

TEST_P(BatchHashSizes, EqualsEachEntityHashedAlone) {
    const auto [entities, algorithm] = GetParam();
    const Fixture fixture(entities);
    const auto digests = hash_all_entities(fixture.collection, fixture.interner, algorithm);
    ASSERT_TRUE(digests);
    ASSERT_EQ(digests->size(), entities);
    EXPECT_EQ(digests->digest_size(), create_hasher(algorithm).value()->output_size());
    EXPECT_EQ(listed(*digests), one_by_one(fixture.collection, fixture.interner, algorithm));
}

// 999 stays on the calling thread, 1000 is the first batch on the pool.
INSTANTIATE_TEST_SUITE_P(BatchHashAroundThreshold, BatchHashSizes,
                         testing::Combine(testing::Values(size_t{1}, size_t{999}, size_t{1000}, size_t{5000}),
                                          testing::ValuesIn(kAlgorithms)),
                         [](const auto& info) {
                             std::string name = std::to_string(std::get<0>(info.param)) + "_" +
                                                std::string(std::get<1>(info.param));
                             std::erase(name, '-');
                             return name;
                         });

TEST(BatchHashChunks, SizeFollowsThreadCountWithFloor) {
    EXPECT_EQ(parallel_chunk_size(1000, 8), 500u);
    EXPECT_EQ(parallel_chunk_size(10000, 8), 1250u);
    EXPECT_EQ(parallel_chunk_size(1000, 1), 1000u);
    EXPECT_EQ(parallel_chunk_size(1000, 0), 1000u);
    EXPECT_EQ(parallel_chunk_size(999'999, 2), 499'999u);
}

TEST(BatchHashChunks, AnyChunkingKeepsIndexOrder) {
    const Fixture fixture(1234, 2);
    const auto expected = one_by_one(fixture.collection, fixture.interner, "blake3");
    for (size_t chunk : {size_t{1}, size_t{7}, size_t{500}, size_t{617}, size_t{1234}, size_t{5000}}) {
        const auto digests =
            hash_entities_parallel(fixture.collection.entities(), chunk, fixture.interner, Algorithm::Blake3);
        ASSERT_TRUE(digests);
        EXPECT_EQ(listed(*digests), expected) << "chunk size " << chunk;
    }
}

TEST(BatchHashChunks, OneThreadAndAllThreadsAgree) {
    const Fixture fixture(50'000, 3);
    Result<DigestList> single;
    tbb::task_arena(1).execute([&] { single = hash_all_entities(fixture.collection, fixture.interner, "sha256"); });
    const auto all = hash_all_entities(fixture.collection, fixture.interner, "sha256");
    ASSERT_TRUE(single && all);
    EXPECT_EQ(listed(*single), listed(*all));
    for (size_t index : {size_t{0}, size_t{24'999}, size_t{49'999}}) {
        EXPECT_EQ(bytes_of((*all)[index]),
                  *deterministic_hash(fixture.collection.entities()[index], fixture.interner, "sha256"));
    }
}

TEST(BatchHashNames, UnsupportedNameFailsOnlyWhenThereIsSomethingToHash) {
    const StringInterner interner;
    const Collection empty("empty");
    const auto nothing = hash_all_entities(empty, interner, "md5");
    ASSERT_TRUE(nothing);
    EXPECT_TRUE(nothing->empty());
    for (size_t entities : {size_t{1}, size_t{1000}}) {
        const Fixture fixture(entities);
        const auto refused = hash_all_entities(fixture.collection, fixture.interner, "md5");
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error().kind, ErrorKind::InvalidValue);
        EXPECT_EQ(refused.error().message,
                  "Unsupported hash algorithm: md5. Supported: sha256, sha512, sha3-256, sha3-512, blake3");
    }
}

// Strings by ID: 0 users, 1 r2, 2 r10, 3 orders, 4 o1.
StringInterner worked_example_interner() {
    StringInterner interner;
    for (std::string_view text : {"users", "r2", "r10", "orders", "o1"}) EXPECT_TRUE(interner.intern(text));
    return interner;
}

Collection repeated(const Entity& entity, size_t count) {
    Collection collection("repeated");
    collection.entities().assign(count, entity);
    return collection;
}

TEST(BatchHashStreams, IngestedOrderKeepsDuplicatesAndBitmapOrderSortsByString) {
    const StringInterner interner = worked_example_interner();
    Entity ingested = Entity::from_interned(std::array{
        StringInterner::InternedGroup{0, {1, 2, 1}, {2, 1, 1}}, StringInterner::InternedGroup{3, {4}, {4}}});
    Entity bitmap;
    bitmap.add_records(0, std::array<uint32_t, 3>{1, 2, 1});
    bitmap.add_record(3, 4);
    for (size_t count : {size_t{1}, size_t{1000}}) {
        const auto twenty = hash_all_entities(repeated(ingested, count), interner, "sha256");
        const auto eighteen = hash_all_entities(repeated(bitmap, count), interner, "sha256");
        ASSERT_TRUE(twenty && eighteen);
        EXPECT_EQ(bytes_of((*twenty)[count - 1]), sha256_of("orderso1usersr10r2r2"));
        EXPECT_EQ(bytes_of((*eighteen)[count - 1]), sha256_of("orderso1usersr10r2"));
    }
}

TEST(BatchHashStreams, OutOfRangeIdsAreSkipped) {
    const StringInterner interner = worked_example_interner();
    Entity bitmap;
    bitmap.add_records(0, std::array<uint32_t, 3>{5, 1, 70000});
    bitmap.add_records(9, std::array<uint32_t, 1>{2});
    const Entity ingested = Entity::from_interned(std::array{StringInterner::InternedGroup{0, {5, 1}, {1, 5}},
                                                             StringInterner::InternedGroup{9, {2}, {2}}});
    for (const Entity* entity : std::array<const Entity*, 2>{&bitmap, &ingested}) {
        ASSERT_FALSE(deterministic_hash(*entity, interner, "sha256"));
        for (size_t count : {size_t{1}, size_t{1000}}) {
            const auto digests = hash_all_entities(repeated(*entity, count), interner, "sha256");
            ASSERT_TRUE(digests);
            EXPECT_EQ(bytes_of((*digests)[count - 1]), sha256_of("usersr2"));
        }
    }
}

// Stored digests are counted values: every one is released with its entity.
TEST(HashStore, StoresVerifiesAndReleasesEveryDigest) {
    {
        Fixture fixture(1200);
        const size_t strings_before = fixture.interner.size();
        const auto refused = add_hash(fixture.collection, fixture.interner, "md5");
        ASSERT_FALSE(refused.has_value());
        EXPECT_EQ(fixture.interner.size(), strings_before);
        EXPECT_FALSE(fixture.interner.lookup(kHashKey).has_value());

        ASSERT_TRUE(add_hash(fixture.collection, fixture.interner, "blake3"));
        const uint32_t key = *fixture.interner.lookup(kHashKey);
        const auto digests = hash_all_entities(fixture.collection, fixture.interner, "blake3");
        for (size_t index = 0; index < digests->size(); ++index) {
            const MetadataValue* stored = fixture.collection.entities()[index].get_metadata(key);
            ASSERT_TRUE(stored);
            EXPECT_EQ(CountedValues::references(*stored), 1);
            EXPECT_TRUE(std::ranges::equal(*CountedValues::cell(*stored).bytes, (*digests)[index]));
        }
        EXPECT_EQ(verify_hashes(fixture.collection, fixture.interner, "blake3"), true);
        EXPECT_EQ(verify_hashes(fixture.collection, fixture.interner, "sha512"), false);
        fixture.collection.entities()[7].set_metadata(key, fixture.values.make());  // not a byte string
        EXPECT_EQ(verify_hashes(fixture.collection, fixture.interner, "blake3"), false);
    }
    EXPECT_EQ(CountedValues::live(), 0u);
}

}  // namespace
}  // namespace tessellar
