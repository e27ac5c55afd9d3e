// Roaring bitmaps that survive running out of memory.
//
// The Roaring library assumes its allocations succeed: after a failed one it
// stops on an assertion, taking the process with it. So it never sees one
// fail. Its allocator calls are routed to ours, which falls back on a reserve
// set aside for the purpose; a RoaringCall notices that its work drew on the
// reserve, and its owner undoes that work and reports running out of memory,
// which gives the reserve back. Work is done in steps small enough for the
// reserve to cover any one of them.
#pragma once

#include <roaring/roaring.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace tessellar {

// The most values handed to Roaring between two checks of the reserve.
inline constexpr size_t kRoaringStep = 16384;

// A stretch of work with Roaring on the calling thread.
class RoaringCall {
public:
    // Throws std::bad_alloc, before Roaring is called, when part of the
    // reserve is still in use (by a bitmap that could not give it back).
    RoaringCall();
    RoaringCall(const RoaringCall&) = delete;
    RoaringCall& operator=(const RoaringCall&) = delete;

    // Whether Roaring drew on the reserve since the call began.
    bool ran_short() const noexcept;

private:
    uint64_t reserve_uses_;
};

// A new bitmap holding `values` (any order, repeats allowed), packed for
// reading. Throws std::bad_alloc.
roaring_bitmap_t* bitmap_of(std::span<const uint32_t> values);

// Additions to a bitmap that its owner drops when memory runs short: they
// throw std::bad_alloc once `call` drew on the reserve, and undo nothing.
void bitmap_add_all(roaring_bitmap_t* target, std::span<const uint32_t> values, const RoaringCall& call);
void bitmap_add_all(roaring_bitmap_t* target, const roaring_bitmap_t* source, const RoaringCall& call);

// An independent copy. Throws std::bad_alloc.
roaring_bitmap_t* bitmap_copy(const roaring_bitmap_t* source);

// Adds `values` in place. Throws std::bad_alloc, leaving the bitmap with the
// values it held.
void bitmap_add(roaring_bitmap_t* bitmap, std::span<const uint32_t> values);

// Whether Roaring's allocations go through the reserve in this process.
bool roaring_memory_guarded() noexcept;

}  // namespace tessellar
