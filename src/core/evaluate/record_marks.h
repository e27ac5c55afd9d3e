// Whether a collection holds any record ID twice, told from marks its
// entities leave as they go by on any thread, without indexing it.
#pragma once

#include "core/entity/entity.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessellar {

class RecordMarks {
public:
    // For record IDs below `table_size` (the interner's size).
    explicit RecordMarks(size_t table_size) : marks_(table_size) {}

    // Marks the entity's record IDs; its items. Any thread, any order.
    uint64_t mark(const Entity& entity) noexcept;
    // Whether `items`, the items of all marked entities, were of as many
    // record IDs. When not, an item may be in two entities, or one record
    // string in two datasets, and only an index can tell.
    bool all_distinct(uint64_t items) const;

private:
    std::vector<uint8_t> marks_;
    bool past_table_ = false;
};

}  // namespace tessellar
