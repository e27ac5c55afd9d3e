// A set of 32-bit record IDs that behaves like a Roaring bitmap but stays
// small for the tiny sets that make up most entities.
//
// The storage follows the cardinality:
//   up to kInlineCapacity values  inside the object, no allocation;
//   up to kArrayLimit values      a sorted array on the heap;
//   more                          a roaring_bitmap_t.
// Sets only grow, so a set never moves back to a smaller mode, except right
// after a bulk insertion whose duplicates left it small.
//
// Reading never changes the object, so any number of threads may read one
// set at once. Allocation failures throw std::bad_alloc.
#pragma once

#include "core/memory/roaring_memory.h"

#include <roaring/roaring.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

namespace tessellar {

class RecordSet {
public:
    static constexpr uint32_t kInlineCapacity = 3;
    // Past this a bitmap is smaller than the array unless the IDs cluster in
    // runs, and record IDs of one entity are often scattered across the
    // interner.
    static constexpr uint32_t kArrayLimit = 256;

    enum class Mode : uint8_t { Inline, Array, Bitmap };

    RecordSet() noexcept = default;
    // Any order; duplicates collapse.
    explicit RecordSet(std::span<const uint32_t> values);
    RecordSet(const RecordSet& other);
    RecordSet(RecordSet&& other) noexcept;
    RecordSet& operator=(const RecordSet& other);
    RecordSet& operator=(RecordSet&& other) noexcept;
    ~RecordSet();

    void add(uint32_t value);
    // One bulk insertion; duplicates and values already present have no effect.
    void add_many(std::span<const uint32_t> values);

    uint64_t cardinality() const noexcept;
    bool empty() const noexcept { return size_ == 0; }
    bool contains(uint32_t value) const noexcept;
    Mode mode() const noexcept;

    // Values in ascending order.
    std::vector<uint32_t> to_vector() const;
    template <class F>
        requires std::is_invocable_v<F&, uint32_t>
    void for_each(F&& visit) const;

    friend uint64_t intersection_cardinality(const RecordSet& a, const RecordSet& b) noexcept;
    friend uint64_t union_cardinality(const RecordSet& a, const RecordSet& b) noexcept;

private:
    friend class RecordUnion;

    // size_ value that marks bitmap mode; array sizes never come near it.
    static constexpr uint32_t kBitmapTag = UINT32_MAX;

    bool is_bitmap() const noexcept { return size_ == kBitmapTag; }
    // The values of an inline or array set, ascending.
    std::span<const uint32_t> small_values() const noexcept;
    const roaring_bitmap_t* bitmap() const noexcept;
    roaring_bitmap_t* bitmap() noexcept;
    uint32_t* array() const noexcept;
    uint32_t array_capacity() const noexcept { return words_[2]; }
    void set_pointer(const void* pointer) noexcept;

    void release() noexcept;
    // Replaces the contents with sorted unique values, choosing the mode.
    void assign_sorted(std::span<const uint32_t> values);
    // Takes ownership of `bitmap`, moving its values into a small mode when
    // they fit there.
    void adopt_bitmap(roaring_bitmap_t* bitmap);
    void insert_into_array(uint32_t value, size_t offset);

    // Inline mode: the values. Array mode: the array pointer in words 0-1
    // and its capacity in word 2. Bitmap mode: the bitmap pointer in 0-1.
    uint32_t words_[3] = {};
    // Number of values for inline and array mode, else kBitmapTag.
    uint32_t size_ = 0;
};

static_assert(sizeof(RecordSet) == 16);

// Collects the union of many record sets to count their distinct values.
// Throws std::bad_alloc when memory runs out; the union is then of no use.
class RecordUnion {
public:
    RecordUnion();
    RecordUnion(const RecordUnion&) = delete;
    RecordUnion& operator=(const RecordUnion&) = delete;
    ~RecordUnion();

    void add(const RecordSet& set);
    uint64_t cardinality() const noexcept;

private:
    RoaringCall call_;
    roaring_bitmap_t* bitmap_;
};

template <class F>
    requires std::is_invocable_v<F&, uint32_t>
void RecordSet::for_each(F&& visit) const {
    if (!is_bitmap()) {
        for (uint32_t value : small_values()) visit(value);
        return;
    }
    roaring_uint32_iterator_t it;
    roaring_init_iterator(bitmap(), &it);
    for (; it.has_value; roaring_advance_uint32_iterator(&it)) visit(it.current_value);
}

}  // namespace tessellar
