#include "core/interner/interner.h"
#include "core/text_hash.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <numeric>
#include <span>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace tessellar {
namespace {

using namespace std::string_view_literals;
using Ids = std::vector<uint32_t>;

Ids intern_all(StringInterner& interner, const std::vector<std::string_view>& texts) {
    Ids ids;
    for (std::string_view text : texts) {
        auto id = interner.intern(text);
        EXPECT_TRUE(id.has_value()) << "interning '" << text << "' failed";
        ids.push_back(id.value_or(UINT32_MAX));
    }
    return ids;
}

std::vector<std::string> all_strings(const StringInterner& interner) {
    std::vector<std::string> texts;
    for (uint32_t id = 0; id < interner.size(); ++id) texts.emplace_back(interner.get_string(id).value());
    return texts;
}

std::vector<std::string> numbered(std::string_view prefix, size_t count, size_t padding = 1) {
    std::vector<std::string> texts;
    for (size_t i = 0; i < count; ++i) {
        texts.push_back(std::string(prefix) + std::to_string(i) + std::string(i % padding + 1, '.'));
    }
    return texts;
}

void intern_each(StringInterner& interner, const std::vector<std::string>& texts) {
    for (const std::string& text : texts) ASSERT_TRUE(interner.intern(text).has_value());
}

// Every ID of the interner, ordered by the bytes of its string.
Ids sorted_ids(const StringInterner& interner) {
    Ids ids(interner.size());
    std::iota(ids.begin(), ids.end(), 0u);
    interner.sort_by_string(ids);
    return ids;
}

struct Group {
    uint32_t dataset_id;
    std::span<const std::string_view> texts;
};

// Groups interned the way ingestion does it: texts in order, then each
// group's IDs filled in.
Result<std::vector<StringInterner::InternedGroup>> batch(StringInterner& interner, std::span<const Group> groups) {
    std::vector<StringInterner::InternedGroup> out(groups.size());
    for (size_t i = 0; i < groups.size(); ++i) {
        std::vector<uint32_t> ids(groups[i].texts.size());
        if (Status status = interner.intern_each(groups[i].texts, ids); !status) return std::unexpected(status.error());
        interner.fill_group(out[i], groups[i].dataset_id, ids);
    }
    return out;
}

TEST(InternerSortedIds, OrdersByUnsignedBytes) {
    StringInterner interner;
    EXPECT_EQ(intern_all(interner, {"b", "a", "ab", "B"}), (Ids{0, 1, 2, 3}));
    EXPECT_EQ(sorted_ids(interner), (Ids{3, 1, 2, 0}));

    // Bytes above 0x7f sort after ASCII; a proper prefix and "" come first.
    StringInterner bytes;
    intern_all(bytes, {"\xc3\xa9", "z", "a\0b"sv, "a", "", "\xff"});
    EXPECT_EQ(sorted_ids(bytes), (Ids{4, 3, 2, 1, 0, 5}));
}

TEST(InternerBatch, SingleGroupKeepsDuplicates) {
    StringInterner interner;
    const std::vector<std::string_view> texts = {"y", "x", "y"};
    const Group groups[] = {{5, texts}};
    auto result = batch(interner, groups);
    ASSERT_TRUE(result.has_value());
    ASSERT_EQ(result->size(), 1u);
    EXPECT_EQ((*result)[0].dataset_id, 5u);
    EXPECT_EQ((*result)[0].in_order, (Ids{0, 1, 0}));
    EXPECT_EQ((*result)[0].by_string, (Ids{1, 0, 0}));
    EXPECT_EQ(interner.size(), 2u);
}

TEST(InternerBatch, GroupsShareStrings) {
    StringInterner interner;
    ASSERT_TRUE(interner.intern("q").has_value());
    const std::vector<std::string_view> first = {"p", "q", "r", "p"};
    const std::vector<std::string_view> second = {"r", "", "p", "s"};
    const std::vector<std::string_view> empty;
    const Group groups[] = {{7, first}, {2, empty}, {9, second}};
    auto result = batch(interner, groups);
    ASSERT_TRUE(result.has_value());
    ASSERT_EQ(result->size(), 3u);
    // q=0 existed; p=1, r=2 from the first group; ""=3, s=4 from the last.
    EXPECT_EQ((*result)[0].dataset_id, 7u);
    EXPECT_EQ((*result)[0].in_order, (Ids{1, 0, 2, 1}));
    EXPECT_EQ((*result)[0].by_string, (Ids{1, 1, 0, 2}));
    EXPECT_EQ((*result)[1].dataset_id, 2u);
    EXPECT_TRUE((*result)[1].in_order.empty());
    EXPECT_TRUE((*result)[1].by_string.empty());
    EXPECT_EQ((*result)[2].dataset_id, 9u);
    EXPECT_EQ((*result)[2].in_order, (Ids{2, 3, 1, 4}));
    EXPECT_EQ((*result)[2].by_string, (Ids{3, 1, 2, 4}));
    EXPECT_EQ(interner.size(), 5u);
}

TEST(InternerBatch, FailsWhenIdsRunOut) {
    StringInterner interner(2);
    const std::vector<std::string_view> texts = {"a", "b", "a", "c"};
    const Group groups[] = {{1, texts}};
    auto result = batch(interner, groups);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, ErrorKind::Overflow);
    EXPECT_FALSE(interner.lookup("c").has_value());
}

TEST(InternerLimit, FullInternerRefusesNewStringsOnly) {
    StringInterner interner(3);
    EXPECT_EQ(intern_all(interner, {"a", "b", "c"}), (Ids{0, 1, 2}));
    const Ids sorted = sorted_ids(interner);
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto refused = interner.intern("d");
        ASSERT_FALSE(refused.has_value());
        EXPECT_EQ(refused.error().kind, ErrorKind::Overflow);
        EXPECT_FALSE(refused.error().message.empty());
    }
    EXPECT_EQ(interner.size(), 3u);
    EXPECT_FALSE(interner.lookup("d").has_value());
    EXPECT_EQ(interner.get_string(3).error().kind, ErrorKind::OutOfRange);
    EXPECT_EQ(intern_all(interner, {"c", "a"}), (Ids{2, 0}));
    EXPECT_EQ(sorted_ids(interner), sorted);

    StringInterner closed(0);
    EXPECT_FALSE(closed.intern("").has_value());
    EXPECT_TRUE(closed.empty());

    StringInterner copy = interner;  // the limit travels with copies
    EXPECT_FALSE(copy.intern("d").has_value());
}

TEST(InternerGetString, InvalidId) {
    StringInterner interner;
    auto missing = interner.get_string(0);
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().kind, ErrorKind::OutOfRange);
    EXPECT_EQ(missing.error().message, "Invalid string ID");
    interner.intern("x");
    EXPECT_EQ(interner.get_string(0).value(), "x");
    EXPECT_FALSE(interner.get_string(UINT32_MAX).has_value());
}

TEST(InternerWithCapacity, BehavesLikeNew) {
    for (uint64_t capacity : {uint64_t{0}, uint64_t{1}, uint64_t{1000}}) {
        auto reserved = StringInterner::with_capacity(capacity);
        ASSERT_TRUE(reserved.has_value());
        EXPECT_TRUE(reserved->empty());
        EXPECT_EQ(intern_all(*reserved, {"b", "a", "b", ""}), (Ids{0, 1, 0, 2}));
        EXPECT_EQ(sorted_ids(*reserved), (Ids{2, 1, 0}));
    }
}

TEST(InternerCopy, SharesTextsNotTables) {
    StringInterner source;
    intern_all(source, {"a", "b"});
    StringInterner copy = source;
    EXPECT_EQ(copy.string_at(0).data(), source.string_at(0).data());

    EXPECT_EQ(copy.intern("c").value(), 2u);
    EXPECT_EQ(source.size(), 2u);
    EXPECT_FALSE(source.lookup("c").has_value());

    EXPECT_EQ(source.intern("d").value(), 2u);
    EXPECT_FALSE(copy.lookup("d").has_value());
    EXPECT_EQ(copy.get_string(2).value(), "c");
    EXPECT_EQ(source.get_string(2).value(), "d");
}

TEST(InternerCopy, TextsOutliveTheSource) {
    auto source = std::make_unique<StringInterner>();
    const auto early = numbered("early-", 300, 40);
    intern_each(*source, early);
    StringInterner copy = *source;
    StringInterner assigned;
    ASSERT_TRUE(assigned.intern("overwritten").has_value());
    assigned = *source;

    // The source keeps writing into the block it shares with the copies.
    intern_each(*source, numbered("late-", 20000, 64));
    EXPECT_EQ(all_strings(copy), early);
    source.reset();
    EXPECT_EQ(all_strings(copy), early);
    EXPECT_EQ(all_strings(assigned), early);

    // Copies grow on their own without touching each other's texts.
    intern_each(copy, numbered("copy-", 5000, 30));
    intern_each(assigned, numbered("assigned-", 5000, 50));
    auto expected_copy = early;
    for (auto& text : numbered("copy-", 5000, 30)) expected_copy.push_back(text);
    auto expected_assigned = early;
    for (auto& text : numbered("assigned-", 5000, 50)) expected_assigned.push_back(text);
    EXPECT_EQ(all_strings(copy), expected_copy);
    EXPECT_EQ(all_strings(assigned), expected_assigned);
}

TEST(InternerCopy, MovedFromIsEmptyAndUsable) {
    StringInterner source;
    intern_each(source, numbered("m-", 100));
    StringInterner moved = std::move(source);
    EXPECT_EQ(moved.size(), 100u);
    EXPECT_EQ(moved.get_string(99).value(), "m-99.");
    EXPECT_TRUE(source.empty());  // NOLINT(bugprone-use-after-move): documented state
    EXPECT_FALSE(source.lookup("m-0.").has_value());
    EXPECT_EQ(source.intern("fresh").value(), 0u);
    EXPECT_EQ(sorted_ids(source), (Ids{0}));
    EXPECT_EQ(moved.intern("fresh").value(), 100u);
}

class InternerLongText : public ::testing::TestWithParam<size_t> {};

TEST_P(InternerLongText, RoundTripsAmongShortTexts) {
    const size_t length = GetParam();
    std::string long_text(length, 'x');
    for (size_t i = 0; i < length; i += 4093) long_text[i] = static_cast<char>('a' + i % 26);
    StringInterner interner;
    intern_each(interner, numbered("before-", 50));
    ASSERT_EQ(interner.intern(long_text).value(), 50u);
    intern_each(interner, numbered("after-", 50));
    EXPECT_EQ(interner.get_string(50).value(), long_text);
    EXPECT_EQ(interner.lookup(long_text), 50u);
    EXPECT_EQ(interner.get_string(51).value(), "after-0.");
    EXPECT_EQ(interner.get_string(49).value(), "before-49.");
}

INSTANTIATE_TEST_SUITE_P(InternerSizes, InternerLongText,
                         ::testing::Values(size_t{4095}, size_t{4097}, size_t{65535}, size_t{65536}, size_t{65537},
                                           size_t{1} << 20, (size_t{1} << 21) + 3));

TEST(InternerText, EmptyAndEmbeddedNul) {
    StringInterner interner;
    EXPECT_EQ(intern_all(interner, {"a", "", "a\0b"sv, "a\0c"sv, "\0"sv, ""}), (Ids{0, 1, 2, 3, 4, 1}));
    EXPECT_EQ(interner.get_string(1).value(), "");
    EXPECT_EQ(interner.get_string(2).value(), "a\0b"sv);
    EXPECT_EQ(interner.get_string(4).value().size(), 1u);
    EXPECT_EQ(interner.lookup(""), 1u);
    EXPECT_FALSE(interner.lookup("a\0"sv).has_value());
    EXPECT_EQ(sorted_ids(interner), (Ids{1, 4, 0, 2, 3}));
}

// Random operations against std::map (byte order) and std::vector.
TEST(InternerModel, RandomOperations) {
    std::mt19937 rng(20240611);
    const std::string alphabet("ab\0\xc3\xa9\xff Z", 8);
    auto random_text = [&] {
        const size_t length = rng() % 64 == 0 ? 3000 + rng() % 70000 : rng() % 6;
        std::string text;
        for (size_t i = 0; i < length; ++i) text.push_back(alphabet[rng() % alphabet.size()]);
        return text;
    };

    StringInterner interner;
    std::map<std::string, uint32_t> ids;
    std::vector<std::string> strings;
    for (int step = 0; step < 12000; ++step) {
        const unsigned op = rng() % 100;
        if (op < 50) {
            std::string text = random_text();
            auto [entry, added] = ids.try_emplace(text, static_cast<uint32_t>(strings.size()));
            if (added) strings.push_back(text);
            ASSERT_EQ(interner.intern(text).value(), entry->second);
        } else if (op < 75) {
            std::string text = random_text();
            auto found = ids.find(text);
            ASSERT_EQ(interner.lookup(text), found == ids.end() ? std::nullopt : std::optional(found->second));
        } else if (op < 97) {
            const auto id = static_cast<uint32_t>(rng() % (strings.size() + 3));
            auto text = interner.get_string(id);
            ASSERT_EQ(text.has_value(), id < strings.size());
            if (text) {
                ASSERT_EQ(*text, strings[id]);
            }
        } else if (op < 99) {
            Ids expected;
            for (const auto& [text, id] : ids) expected.push_back(id);
            ASSERT_EQ(sorted_ids(interner), expected);
        } else {
            // Carry on in a copy; the old interner is dropped with its blocks.
            StringInterner copy = interner;
            interner = std::move(copy);
        }
        ASSERT_EQ(interner.size(), strings.size());
    }
    EXPECT_EQ(all_strings(interner), strings);
}

}  // namespace
}  // namespace tessellar

// equal_text against ==, for every length its loads treat differently and a
// difference at every position.
TEST(TextEquality, AgreesWithPlainComparison) {
    for (size_t length = 0; length <= 20; ++length) {
        const std::string base(length, 'a');
        for (size_t position = 0; position < length; ++position) {
            std::string other = base;
            other[position] = 'b';
            EXPECT_FALSE(tessellar::equal_text(base, other)) << length << " " << position;
        }
        EXPECT_TRUE(tessellar::equal_text(base, std::string(length, 'a')));
        EXPECT_FALSE(tessellar::equal_text(base, base + "a"));
    }
}
