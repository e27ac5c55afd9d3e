#include "core/interner/id_table.h"
#include "core/interner/interner.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace tessellar {
namespace {

// Inserts and erases at random against a map, with few distinct tags so
// that probes run long and erasing has to shift entries back.
TEST(IdTable, MatchesAMapThroughGrowthAndErasure) {
    for (const uint32_t tags : {3u, 97u, 1u << 30}) {
        std::mt19937 random(tags);
        IdTable table;
        std::map<uint32_t, uint32_t> model;  // id -> tag
        uint32_t next_id = 0;
        for (int step = 0; step < 20000; ++step) {
            if (model.empty() || random() % 3 != 0) {
                const uint32_t tag = IdTable::tag_of(uint64_t{random() % tags + 1} << 32);
                table.insert(tag, next_id);
                model[next_id++] = tag;
            } else {
                auto victim = model.begin();
                std::advance(victim, random() % model.size());
                table.erase(victim->second, victim->first);
                model.erase(victim);
            }
            if (step % 997 != 0) continue;
            ASSERT_EQ(table.size(), model.size());
            for (const auto& [id, tag] : model) {
                ASSERT_EQ(table.find(tag, [&](uint32_t found) { return found == id; }), id);
            }
        }
        for (uint32_t gone = 0; gone < next_id; ++gone) {
            if (model.count(gone)) continue;
            const uint32_t tag = IdTable::tag_of(uint64_t{gone % tags + 1} << 32);
            EXPECT_FALSE(table.find(tag, [&](uint32_t found) { return found == gone; }));
        }
    }
}

// The pipelined path gives each text the ID one intern() call at a time
// gives it, on fresh, grown and shared tables.
TEST(IdTable, InternEachAgreesWithIntern) {
    std::mt19937 random(7);
    std::vector<std::string> pool;
    for (int i = 0; i < 3000; ++i) pool.push_back("r" + std::to_string(random() % 100000) + std::string(i % 20, 'x'));
    std::vector<std::string_view> texts;
    for (int i = 0; i < 20000; ++i) texts.push_back(pool[random() % pool.size()]);

    StringInterner one_by_one, pipelined;
    for (const size_t cut : {size_t{0}, size_t{5}, size_t{17}, size_t{9000}, texts.size()}) {
        const std::span<const std::string_view> part = std::span(texts).first(cut);
        const StringInterner snapshot = pipelined;  // shares the tables until the next write
        std::vector<uint32_t> ids(part.size());
        ASSERT_TRUE(pipelined.intern_each(part, ids));
        for (size_t i = 0; i < part.size(); ++i) ASSERT_EQ(ids[i], one_by_one.intern(part[i]).value());
        ASSERT_EQ(pipelined.size(), one_by_one.size());
        EXPECT_LE(snapshot.size(), pipelined.size());
    }
    for (uint32_t id = 0; id < one_by_one.size(); ++id) {
        ASSERT_EQ(pipelined.string_at(id), one_by_one.string_at(id));
        ASSERT_EQ(pipelined.lookup(one_by_one.string_at(id)), id);
    }
}

}  // namespace
}  // namespace tessellar
