#include "core/hash/dataset_id.h"
#include "core/hash/digest.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace tessellar {
namespace {

std::string hex(std::span<const uint8_t> bytes) {
    std::string out;
    for (uint8_t byte : bytes) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        out += pair;
    }
    return out;
}

std::unique_ptr<DynDigest> hasher(std::string_view name) {
    auto created = create_hasher(name);
    EXPECT_TRUE(created.has_value()) << name;
    return std::move(*created);
}

const std::string kLong448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const std::string kMillionA(1'000'000, 'a');

struct Vector {
    std::string_view algorithm;
    const std::string* input;
    std::string_view digest;
};
const std::string kEmpty;
const std::string kAbc = "abc";
const std::string kFox = "The quick brown fox jumps over the lazy dog";
const std::string kTwoChunks(2000, 'a');

class DigestVectors : public testing::TestWithParam<Vector> {};

TEST_P(DigestVectors, MatchesPublishedValue) {
    const Vector& vector = GetParam();
    auto digest = hasher(vector.algorithm);
    digest->update(*vector.input);
    EXPECT_EQ(hex(DynDigest::finalize(std::move(digest))), vector.digest);
}

INSTANTIATE_TEST_SUITE_P(
    Standards, DigestVectors,
    testing::Values(
        Vector{"sha256", &kEmpty, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        Vector{"sha256", &kAbc, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        Vector{"sha256", &kLong448, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        Vector{"sha256", &kMillionA, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        Vector{"sha512", &kEmpty, "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
        Vector{"sha512", &kAbc, "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        Vector{"sha512", &kLong448, "204a8fc6dda82f0a0ced7beb8e08a41657c16ef468b228a8279be331a703c33596fd15c13b1b07f9aa1d3bea57789ca031ad85c7a71dd70354ec631238ca3445"},
        Vector{"sha512", &kMillionA, "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
        Vector{"sha3-256", &kEmpty, "a7ffc6f8bf1ed76651c14756a061d662f580ff4de43b49fa82d80a4b80f8434a"},
        Vector{"sha3-256", &kAbc, "3a985da74fe225b2045c172d6bd390bd855f086e3e9d525b46bfe24511431532"},
        Vector{"sha3-256", &kLong448, "41c0dba2a9d6240849100376a8235e2c82e1b9998a999e21db32dd97496d3376"},
        Vector{"sha3-256", &kMillionA, "5c8875ae474a3634ba4fd55ec85bffd661f32aca75c6d699d0cdcb6c115891c1"},
        Vector{"sha3-512", &kEmpty, "a69f73cca23a9ac5c8b567dc185a756e97c982164fe25859e0d1dcc1475c80a615b2123af1f5f94c11e3e9402c3ac558f500199d95b6d3e301758586281dcd26"},
        Vector{"sha3-512", &kAbc, "b751850b1a57168a5693cd924b6b096e08f621827444f70d884f5d0240d2712e10e116e9192af3c91a7ec57647e3934057340b4cf408d5a56592f8274eec53f0"},
        Vector{"sha3-512", &kLong448, "04a371e84ecfb5b8b77cb48610fca8182dd457ce6f326a0fd3d7ec2f1e91636dee691fbe0c985302ba1b0d8dc78c086346b533b49c030d99a27daf1139d6e75e"},
        Vector{"blake3", &kEmpty, "af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262"},
        Vector{"blake3", &kAbc, "6437b3ac38465133ffb63b75273a8db548c558465d79db03fd359c6cd5bd9d85"},
        Vector{"blake3", &kLong448, "c19012cc2aaf0dc3d8e5c45a1b79114d2df42abb2a410bf54be09e891af06ff8"},
        Vector{"blake3", &kFox, "2f1514181aadccd913abd94cfa592701a5686ab23f8df1dff1b74710febc6d4a"},
        Vector{"blake3", &kTwoChunks, "c849401fee5e93cf05cbbeb2c60ae6fda8778dfadb996910aded82052fff769d"},
        Vector{"blake3", &kMillionA, "616f575a1b58d4c9797d4217b9730ae5e6eb319d76edef6549b46f4efe31ff8b"}));

// Behaviour common to every algorithm, checked against a digest of the same
// text computed in one piece.
class DigestOperations : public testing::TestWithParam<std::string_view> {
protected:
    std::vector<uint8_t> whole(std::string_view text) const {
        auto digest = hasher(GetParam());
        digest->update(text);
        return DynDigest::finalize(std::move(digest));
    }
};

TEST_P(DigestOperations, OutputSizeMatchesTable) {
    const size_t expected = GetParam().ends_with("512") ? 64 : 32;
    auto digest = hasher(GetParam());
    EXPECT_EQ(digest->output_size(), expected);
    EXPECT_EQ(DynDigest::finalize(std::move(digest)).size(), expected);
}

TEST_P(DigestOperations, SplitUpdatesEqualOneUpdate) {
    auto digest = hasher(GetParam());
    for (std::string_view piece : {"", "abcdbcdecdefdefg", "", "efghfghighijhijkijkljklmklmnlmnomnopnopq"}) {
        digest->update(piece);
    }
    EXPECT_EQ(DynDigest::finalize(std::move(digest)), whole(kLong448));
}

TEST_P(DigestOperations, FinalizeIntoRefusesWrongLengthWithoutWriting) {
    const size_t size = hasher(GetParam())->output_size();
    for (size_t length : {size_t{0}, size - 1, size + 1}) {
        std::vector<uint8_t> buffer(length, 0xee);
        auto digest = hasher(GetParam());
        auto status = digest->finalize_into_reset(buffer);
        ASSERT_FALSE(status.has_value());
        EXPECT_EQ(status.error().kind, ErrorKind::InvalidValue);
        EXPECT_EQ(buffer, std::vector<uint8_t>(length, 0xee));
    }
}

// Into a buffer, then reset: the next digest starts over.
std::vector<uint8_t> finalize_reset(DynDigest& digest) {
    std::vector<uint8_t> buffer(digest.output_size());
    EXPECT_TRUE(digest.finalize_into_reset(buffer).has_value());
    return buffer;
}

TEST_P(DigestOperations, ResettingFinalizerStartsOver) {
    auto digest = hasher(GetParam());
    digest->update(kAbc);
    EXPECT_EQ(finalize_reset(*digest), whole(kAbc));
    digest->update(kFox);
    EXPECT_EQ(finalize_reset(*digest), whole(kFox));
    EXPECT_EQ(finalize_reset(*digest), whole(""));
    digest->update(kAbc);
    EXPECT_EQ(DynDigest::finalize(std::move(digest)), whole(kAbc));
}

TEST_P(DigestOperations, ResetDiscardsAbsorbedBytes) {
    auto digest = hasher(GetParam());
    digest->update(kFox);
    digest->reset();
    digest->update(kAbc);
    EXPECT_EQ(DynDigest::finalize(std::move(digest)), whole(kAbc));
}

TEST_P(DigestOperations, ConcurrentThreadsAgree) {
    const auto expected = whole(kTwoChunks);
    std::vector<std::vector<std::vector<uint8_t>>> results(8);
    std::vector<std::thread> threads;
    const std::string_view name = GetParam();
    for (auto& result : results) {
        threads.emplace_back([&result, name] {
            auto digest = make_digest(*parse_algorithm(name));
            for (int round = 0; round < 200; ++round) {
                digest->update(kTwoChunks);
                result.push_back(finalize_reset(*digest));
                auto fresh = hasher(name);
                fresh->update(kTwoChunks);
                result.push_back(DynDigest::finalize(std::move(fresh)));
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (const auto& result : results) {
        for (const auto& digest : result) ASSERT_EQ(digest, expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Algorithms, DigestOperations,
                         testing::Values("sha256", "sha512", "sha3-256", "sha3-512", "blake3"));

class DigestNamesAccepted
    : public testing::TestWithParam<std::pair<std::string_view, std::string_view>> {};

TEST_P(DigestNamesAccepted, BehavesAsCanonicalName) {
    const auto& [given, canonical] = GetParam();
    EXPECT_EQ(parse_algorithm(given).value(), parse_algorithm(canonical).value());
    auto digest = hasher(given);
    auto reference = hasher(canonical);
    digest->update(kAbc);
    reference->update(kAbc);
    EXPECT_EQ(DynDigest::finalize(std::move(digest)), DynDigest::finalize(std::move(reference)));
}

INSTANTIATE_TEST_SUITE_P(
    Names, DigestNamesAccepted,
    testing::Values(std::pair{"SHA256", "sha256"}, std::pair{"Sha3-512", "sha3-512"},
                    std::pair{"BLAKE3", "blake3"}, std::pair{"BLA\u212aE3", "blake3"}));  // KELVIN SIGN lower-cases to k

class DigestNamesRefused : public testing::TestWithParam<std::string_view> {};

TEST_P(DigestNamesRefused, ReportsNameAsGiven) {
    auto created = create_hasher(GetParam());
    ASSERT_FALSE(created.has_value());
    EXPECT_EQ(created.error().kind, ErrorKind::InvalidValue);
    EXPECT_EQ(created.error().message,
              "Unsupported hash algorithm: " + std::string(GetParam()) +
                  ". Supported: sha256, sha512, sha3-256, sha3-512, blake3");
}

INSTANTIATE_TEST_SUITE_P(
    Names, DigestNamesRefused,
    testing::Values("sha-256", "sha3_256", "md5", " sha256", "", "SHA-1",
                    "\u017fha256",            // LONG S folds to s but is already lower case
                    "sha256\xff", "sha3-2566", "blake3blake3"));

TEST(DigestNames, RefusalMessagesKeepSpacing) {
    EXPECT_EQ(create_hasher(" sha256").error().message,
              "Unsupported hash algorithm:  sha256. Supported: sha256, sha512, sha3-256, sha3-512, blake3");
    EXPECT_EQ(create_hasher("").error().message,
              "Unsupported hash algorithm: . Supported: sha256, sha512, sha3-256, sha3-512, blake3");
}

TEST(DigestDatasetId, MatchesCheckValues) {
    EXPECT_EQ(name_derived_dataset_id("abc"), 2897426276u);
    EXPECT_EQ(name_derived_dataset_id(""), 3108574127u);
    EXPECT_EQ(name_derived_dataset_id("ABC"), 1953657297u);
}

}  // namespace
}  // namespace tessellar
