#include "core/evaluate/digest_diff.h"

#include <boost/unordered/unordered_flat_set.hpp>

#include <algorithm>
#include <cstring>

namespace tessellar {

namespace {

// Positions into two lists at once: below the first list's size they name
// its digests, from there on the second's. One set type then serves both
// to hold one list and to probe it with the other.
struct TwoLists {
    const DigestList* first;
    const DigestList* second;

    std::span<const uint8_t> at(uint64_t position) const noexcept {
        return position < first->size() ? (*first)[position] : (*second)[position - first->size()];
    }
};

struct DigestHash {
    TwoLists lists;
    // Digests are uniformly distributed already: their first bytes do.
    size_t operator()(uint64_t position) const noexcept {
        const auto digest = lists.at(position);
        uint64_t prefix = 0;
        std::memcpy(&prefix, digest.data(), std::min(digest.size(), sizeof prefix));
        return prefix;
    }
};

struct DigestEqual {
    TwoLists lists;
    bool operator()(uint64_t a, uint64_t b) const noexcept {
        const auto left = lists.at(a), right = lists.at(b);
        return std::equal(left.begin(), left.end(), right.begin(), right.end());
    }
};

// Positions of `from` whose digest `in` lacks, ascending.
std::vector<int64_t> absent(const DigestList& from, const DigestList& in) {
    const TwoLists lists{&in, &from};
    boost::unordered_flat_set<uint64_t, DigestHash, DigestEqual> held(in.size(), DigestHash{lists},
                                                                     DigestEqual{lists});
    for (uint64_t position = 0; position < in.size(); ++position) held.insert(position);
    std::vector<int64_t> missing;
    for (uint64_t position = 0; position < from.size(); ++position) {
        if (!held.contains(in.size() + position)) missing.push_back(static_cast<int64_t>(position));
    }
    return missing;
}

Result<DigestList> digests_of(const Frame& frame, std::string_view name, std::string_view algorithm) {
    if (auto parsed = parse_algorithm(algorithm); !parsed) return std::unexpected(std::move(parsed.error()));
    auto collection = frame.collection(name);
    if (!collection) return std::unexpected(std::move(collection.error()));
    return hash_all_entities(**collection, frame.interner(), algorithm);
}

}  // namespace

Result<size_t> digest_size_of(std::string_view algorithm) {
    auto parsed = parse_algorithm(algorithm);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    return make_digest(*parsed)->output_size();
}

DigestDiff diff_digests(const DigestList& newer, const DigestList& older) {
    return {absent(newer, older), absent(older, newer)};
}

Result<DigestDiff> diff_collections(const Frame& frame, std::string_view collection, std::string_view other,
                                    std::string_view algorithm) {
    auto newer = digests_of(frame, collection, algorithm);
    if (!newer) return std::unexpected(std::move(newer.error()));
    auto older = digests_of(frame, other, algorithm);
    if (!older) return std::unexpected(std::move(older.error()));
    return diff_digests(*newer, *older);
}

Result<DigestDiff> diff_against(const Frame& frame, std::string_view collection, const DigestList& older,
                                std::string_view algorithm) {
    auto newer = digests_of(frame, collection, algorithm);
    if (!newer) return std::unexpected(std::move(newer.error()));
    return diff_digests(*newer, older);
}

}  // namespace tessellar
