#include "core/convert/record_groups.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace tessellar {
namespace {

// Numbers against a map in order of first sight, through growth from an
// empty table and from a reserved one, with texts that one buffer holds at overlapping places (one
// pointer, different lengths) and the same text under several datasets.
TEST(RecordTable, NumbersInOrderOfFirstSight) {
    const std::string pool = "abcabcabcdefdefghijklmnopqrstuvwxyz0123456789";
    std::vector<std::string> many;
    for (int i = 0; i < 30000; ++i) many.push_back("r" + std::to_string(i));
    for (const size_t reserved : {size_t{0}, size_t{5000}}) {
        std::mt19937 rng(11);
        RecordTable table;
        table.reserve(reserved);
        std::map<std::pair<uint32_t, std::string_view>, uint32_t> model;
        for (int step = 0; step < 60000; ++step) {
            const size_t at = rng() % 20, length = rng() % 8;
            const uint32_t dataset = rng() % 3;
            const std::string_view text = rng() % 2 ? std::string_view(pool.data() + at, length)
                                                    : std::string_view(many[rng() % many.size()]);
            const auto expected = model.try_emplace({dataset, text}, static_cast<uint32_t>(model.size())).first->second;
            // The two steps, or both at once.
            auto number = step % 2 ? table.number(dataset, text) : [&] {
                const RecordTable::Hashed hashed = table.hashed(dataset, text);
                table.prefetch(hashed);
                return table.number(hashed);
            }();
            ASSERT_TRUE(number.has_value());
            ASSERT_EQ(*number, expected) << dataset << " '" << text << "'";
        }
        ASSERT_EQ(table.size(), model.size());
        for (const auto& [record, number] : model) {
            EXPECT_EQ(table[number].dataset, record.first);
            EXPECT_EQ(table[number].text, record.second);
        }
    }
}

}  // namespace
}  // namespace tessellar
