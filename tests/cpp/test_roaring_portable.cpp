// The portable writer and reader against CRoaring's own serialization: the
// same bytes out, each side reading what the other wrote, and damaged bytes
// that our reader accepts meaning to CRoaring what they mean to us.
#include "core/io/roaring_portable.h"

#include <gtest/gtest.h>
#include <roaring/roaring.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <set>
#include <vector>

namespace tessellar {
namespace {

using Ids = std::vector<uint32_t>;
using Bytes = std::vector<uint8_t>;

// One 2^16 block per kind of container, drawn to need that kind: scattered
// values up to the array limit, scattered values past it, or a few long runs.
enum class Shape { Array, Bitset, Runs, Full };

void add_block(uint16_t key, Shape shape, std::mt19937& rng, Ids& values) {
    const uint32_t high = uint32_t{key} << 16;
    auto below = [&](uint32_t bound) { return std::uniform_int_distribution<uint32_t>(0, bound - 1)(rng); };
    switch (shape) {
        case Shape::Array:
            for (uint32_t n = 1 + below(4096); n > 0; --n) values.push_back(high | below(0x10000));
            return;
        case Shape::Bitset:
            for (uint32_t n = 4200 + below(8000); n > 0; --n) values.push_back(high | below(0x10000));
            return;
        case Shape::Runs:
            for (uint32_t runs = 1 + below(30); runs > 0; --runs) {
                const uint32_t start = below(0x10000), length = 1 + below(2000);
                for (uint32_t value = start; value < std::min(start + length, 0x10000u); ++value) values.push_back(high | value);
            }
            return;
        case Shape::Full:
            for (uint32_t value = 0; value < 0x10000; ++value) values.push_back(high | value);
            return;
    }
}

// 1 to 6 blocks (with runs, 4 or more take an offset table), at random keys
// that include both ends of the ID space.
Ids random_set(std::mt19937& rng) {
    std::set<uint16_t> keys;
    const int blocks = std::uniform_int_distribution<int>(1, 6)(rng);
    while (static_cast<int>(keys.size()) < blocks) {
        const uint32_t pick = std::uniform_int_distribution<uint32_t>(0, 20)(rng);
        keys.insert(pick == 0 ? 0 : pick == 1 ? 0xFFFF : static_cast<uint16_t>(rng()));
    }
    constexpr std::array kShapes = {Shape::Array, Shape::Array, Shape::Array, Shape::Bitset, Shape::Bitset,
                                    Shape::Runs, Shape::Runs, Shape::Runs, Shape::Full};
    Ids values;
    for (const uint16_t key : keys) add_block(key, kShapes[rng() % kShapes.size()], rng, values);
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    return values;
}

Bytes ours(const Ids& values) {
    ByteWriter out;
    write_portable(values, out);
    const auto written = out.written();
    return Bytes(written.begin(), written.end());
}

// CRoaring picks the smallest container for each block after run_optimize,
// the rule our writer follows.
Bytes theirs(roaring_bitmap_t* bitmap) {
    roaring_bitmap_run_optimize(bitmap);
    Bytes bytes(roaring_bitmap_portable_size_in_bytes(bitmap));
    EXPECT_EQ(roaring_bitmap_portable_serialize(bitmap, reinterpret_cast<char*>(bytes.data())), bytes.size());
    return bytes;
}

Ids values_of(const roaring_bitmap_t* bitmap) {
    Ids values(roaring_bitmap_get_cardinality(bitmap));
    roaring_bitmap_to_uint32_array(bitmap, values.data());
    return values;
}

// Our reading of `bytes`, or nothing when it refuses them.
std::optional<Ids> read(const Bytes& bytes) {
    ByteReader in(bytes);
    Ids values;
    uint64_t budget = UINT64_MAX;
    read_portable(in, values, budget);
    if (!in.ok()) return std::nullopt;
    return values;
}

// CRoaring's reading of `bytes`, or nothing when it refuses them.
std::optional<Ids> read_theirs(const Bytes& bytes) {
    roaring_bitmap_t* bitmap = roaring_bitmap_portable_deserialize_safe(reinterpret_cast<const char*>(bytes.data()),
                                                                        bytes.size());
    if (!bitmap) return std::nullopt;
    Ids values = values_of(bitmap);
    roaring_bitmap_free(bitmap);
    return values;
}

TEST(RoaringPortable, SameBytesAsCRoaringAndEachReadsTheOther) {
    std::mt19937 rng(20240611);
    std::array<uint64_t, 3> containers{};  // array, bitset, run containers met
    for (int trial = 0; trial < 200; ++trial) {
        SCOPED_TRACE(trial);
        const Ids values = random_set(rng);
        roaring_bitmap_t* bitmap = roaring_bitmap_of_ptr(values.size(), values.data());
        const Bytes expected = theirs(bitmap);
        roaring_statistics_t stats;
        roaring_bitmap_statistics(bitmap, &stats);
        containers[0] += stats.n_array_containers;
        containers[1] += stats.n_bitset_containers;
        containers[2] += stats.n_run_containers;
        roaring_bitmap_free(bitmap);

        const Bytes written = ours(values);
        ASSERT_EQ(written, expected);
        EXPECT_EQ(read_theirs(written), values);
        EXPECT_EQ(read(expected), values);
    }
    for (const uint64_t count : containers) EXPECT_GT(count, 100u);
}

TEST(RoaringPortable, EmptySetRoundTrips) {
    roaring_bitmap_t* bitmap = roaring_bitmap_create();
    EXPECT_EQ(ours({}), theirs(bitmap));
    roaring_bitmap_free(bitmap);
    EXPECT_EQ(read(ours({})), Ids{});
}

// Whatever damaged bytes our reader still takes are a valid serialization:
// CRoaring must take them too and find the same values.
TEST(RoaringPortable, DamageWeAcceptMeansTheSameToCRoaring) {
    std::mt19937 rng(7);
    int accepted = 0, refused = 0;
    for (int trial = 0; trial < 600; ++trial) {
        SCOPED_TRACE(trial);
        Bytes bytes = ours(random_set(rng));
        const bool in_header = rng() % 2;  // a changed key often still makes a valid set, changed data seldom
        const size_t span = in_header ? std::min<size_t>(bytes.size(), 64) : bytes.size();
        for (int flips = 1 + rng() % 3; flips > 0; --flips) bytes[rng() % span] ^= static_cast<uint8_t>(1 << rng() % 8);
        if (rng() % 8 == 0) bytes.resize(rng() % bytes.size());
        const auto mine = read(bytes);
        if (!mine) {
            ++refused;
            continue;
        }
        ++accepted;
        EXPECT_EQ(read_theirs(bytes), mine);
    }
    EXPECT_GT(accepted, 20);
    EXPECT_GT(refused, 100);
}

}  // namespace
}  // namespace tessellar
