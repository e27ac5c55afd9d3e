#include "core/frame/frame.h"
#include "counted_values.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>

namespace tessellar {
namespace {

// A batch of `entities` entities with records r0, r1, ... over datasets d0, d1;
// entity 0 carries a metadata value.
IngestBatch batch_of(size_t entities, std::deque<std::string>& texts, CountedValues& values) {
    IngestBatch batch;
    for (size_t entity = 0; entity < entities; ++entity) {
        batch.start_entity();
        if (entity == 0) batch.add_metadata(0, values.make());
        batch.add_dataset(entity % 2 ? "d1" : "d0");
        batch.add_record(texts.emplace_back("r" + std::to_string(entity)));
    }
    return batch;
}

// When the interner runs out of IDs half-way, the frame is as before the call.
TEST(FrameAddMethod, FailureLeavesTheFrameAsItWas) {
    CountedValues values;
    {
        Frame frame;
        frame.interner() = StringInterner(8);
        ASSERT_TRUE(frame.declare_dataset("d0").has_value());
        std::deque<std::string> texts;
        IngestBatch too_many = batch_of(20, texts, values);
        const auto refused = frame.add_method("m", too_many);
        ASSERT_FALSE(refused.has_value());
        EXPECT_EQ(refused.error().kind, ErrorKind::Overflow);
        EXPECT_EQ(frame.interner().size(), 1u);
        EXPECT_EQ(frame.dataset_names(), std::vector<std::string>{"d0"});
        EXPECT_EQ(frame.collections().size(), 0u);
        EXPECT_EQ(CountedValues::references(too_many.metadata()[0].value), 1);  // the frame kept none

        // The strings taken back are free for the next call.
        IngestBatch fitting = batch_of(6, texts, values);
        ASSERT_TRUE(frame.add_method("m", fitting).has_value());
        EXPECT_EQ(frame.interner().size(), 8u);
        EXPECT_EQ(frame.interner().lookup("r5"), 7u);
        EXPECT_EQ((*frame.collection("m"))->size(), 6u);
        EXPECT_TRUE((*frame.collection("m"))->entities()[0].has_metadata(0));
    }
    EXPECT_EQ(CountedValues::live(), 0u);
}

}  // namespace
}  // namespace tessellar
