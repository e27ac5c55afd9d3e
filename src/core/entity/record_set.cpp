#include "core/entity/record_set.h"

#include "core/memory/allocate.h"
#include "core/memory/roaring_memory.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace tessellar {

namespace {

// The first array fills the allocator's smallest block (24 usable bytes).
constexpr uint32_t kFirstArrayCapacity = 6;

using SmallBuffer = std::array<uint32_t, RecordSet::kArrayLimit>;

uint32_t* allocate_array(uint32_t capacity) {
    return static_cast<uint32_t*>(allocate_or_throw(size_t{capacity} * sizeof(uint32_t)));
}

// Sorts the first `count` values of `buffer` and drops repeats.
std::span<const uint32_t> sort_unique(SmallBuffer& buffer, size_t count) {
    std::sort(buffer.begin(), buffer.begin() + count);
    const auto end = std::unique(buffer.begin(), buffer.begin() + count);
    return {buffer.data(), static_cast<size_t>(end - buffer.begin())};
}

uint64_t count_common(std::span<const uint32_t> a, std::span<const uint32_t> b) noexcept {
    uint64_t common = 0;
    auto x = a.begin();
    auto y = b.begin();
    while (x != a.end() && y != b.end()) {
        if (*x < *y) {
            ++x;
        } else if (*y < *x) {
            ++y;
        } else {
            ++common;
            ++x;
            ++y;
        }
    }
    return common;
}

uint64_t count_in_bitmap(std::span<const uint32_t> values, const roaring_bitmap_t* bitmap) noexcept {
    return static_cast<uint64_t>(std::count_if(values.begin(), values.end(), [bitmap](uint32_t value) {
        return roaring_bitmap_contains(bitmap, value);
    }));
}

}  // namespace

RecordSet::RecordSet(std::span<const uint32_t> values) {
    if (values.size() <= kArrayLimit) {
        SmallBuffer buffer;
        std::copy(values.begin(), values.end(), buffer.begin());
        assign_sorted(sort_unique(buffer, values.size()));
        return;
    }
    adopt_bitmap(bitmap_of(values));
}

RecordSet::RecordSet(const RecordSet& other) {
    switch (other.mode()) {
        case Mode::Inline:
            std::memcpy(words_, other.words_, sizeof words_);
            break;
        case Mode::Array: {
            uint32_t* array = allocate_array(other.size_);
            std::memcpy(array, other.array(), size_t{other.size_} * sizeof(uint32_t));
            set_pointer(array);
            words_[2] = other.size_;
            break;
        }
        case Mode::Bitmap:
            set_pointer(bitmap_copy(other.bitmap()));
            break;
    }
    size_ = other.size_;
}

RecordSet::RecordSet(RecordSet&& other) noexcept : size_(std::exchange(other.size_, 0)) {
    std::memcpy(words_, other.words_, sizeof words_);
}

RecordSet& RecordSet::operator=(const RecordSet& other) {
    if (this != &other) *this = RecordSet(other);
    return *this;
}

RecordSet& RecordSet::operator=(RecordSet&& other) noexcept {
    if (this != &other) {
        release();
        std::memcpy(words_, other.words_, sizeof words_);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

RecordSet::~RecordSet() { release(); }

void RecordSet::release() noexcept {
    switch (mode()) {
        case Mode::Inline:
            break;
        case Mode::Array:
            std::free(array());
            break;
        case Mode::Bitmap:
            roaring_bitmap_free(bitmap());
            break;
    }
    size_ = 0;
}

RecordSet::Mode RecordSet::mode() const noexcept {
    if (is_bitmap()) return Mode::Bitmap;
    return size_ > kInlineCapacity ? Mode::Array : Mode::Inline;
}

std::span<const uint32_t> RecordSet::small_values() const noexcept {
    return {size_ > kInlineCapacity ? array() : words_, size_};
}

const roaring_bitmap_t* RecordSet::bitmap() const noexcept {
    const roaring_bitmap_t* pointer;
    std::memcpy(&pointer, words_, sizeof pointer);
    return pointer;
}

roaring_bitmap_t* RecordSet::bitmap() noexcept {
    roaring_bitmap_t* pointer;
    std::memcpy(&pointer, words_, sizeof pointer);
    return pointer;
}

uint32_t* RecordSet::array() const noexcept {
    uint32_t* pointer;
    std::memcpy(&pointer, words_, sizeof pointer);
    return pointer;
}

void RecordSet::set_pointer(const void* pointer) noexcept { std::memcpy(words_, &pointer, sizeof pointer); }

void RecordSet::assign_sorted(std::span<const uint32_t> values) {
    const auto count = static_cast<uint32_t>(values.size());
    if (count > kInlineCapacity) {
        uint32_t* array = allocate_array(count);
        std::copy(values.begin(), values.end(), array);
        release();
        set_pointer(array);
        words_[2] = count;
    } else {
        release();
        std::copy(values.begin(), values.end(), words_);
    }
    size_ = count;
}

void RecordSet::adopt_bitmap(roaring_bitmap_t* bitmap) {
    const uint64_t count = roaring_bitmap_get_cardinality(bitmap);
    if (count > kArrayLimit) {
        release();
        set_pointer(bitmap);
        size_ = kBitmapTag;
        return;
    }
    SmallBuffer buffer;
    roaring_bitmap_to_uint32_array(bitmap, buffer.data());
    roaring_bitmap_free(bitmap);
    assign_sorted({buffer.data(), static_cast<size_t>(count)});
}

void RecordSet::add(uint32_t value) {
    if (is_bitmap()) {
        bitmap_add(bitmap(), {&value, 1});
        return;
    }
    const auto values = small_values();
    const auto position = std::lower_bound(values.begin(), values.end(), value);
    if (position != values.end() && *position == value) return;
    const auto offset = static_cast<size_t>(position - values.begin());

    if (size_ < kInlineCapacity) {
        std::copy_backward(words_ + offset, words_ + size_, words_ + size_ + 1);
        words_[offset] = value;
        ++size_;
    } else if (size_ < kArrayLimit) {
        insert_into_array(value, offset);
    } else {
        std::array<uint32_t, kArrayLimit + 1> all;
        std::copy(values.begin(), values.end(), all.begin());
        all.back() = value;
        roaring_bitmap_t* grown = bitmap_of(all);
        release();
        set_pointer(grown);
        size_ = kBitmapTag;
    }
}

void RecordSet::insert_into_array(uint32_t value, size_t offset) {
    const bool was_inline = size_ <= kInlineCapacity;
    const uint32_t capacity = was_inline ? kInlineCapacity : array_capacity();
    uint32_t* target = was_inline ? nullptr : array();
    if (size_ == capacity) {
        const uint32_t grown_capacity = std::min(kArrayLimit, std::max(kFirstArrayCapacity, capacity * 2));
        uint32_t* grown = allocate_array(grown_capacity);
        const auto values = small_values();
        std::copy(values.begin(), values.end(), grown);
        if (!was_inline) std::free(target);
        target = grown;
        set_pointer(grown);
        words_[2] = grown_capacity;
    }
    std::copy_backward(target + offset, target + size_, target + size_ + 1);
    target[offset] = value;
    ++size_;
}

void RecordSet::add_many(std::span<const uint32_t> values) {
    if (values.empty()) return;
    if (is_bitmap()) {
        bitmap_add(bitmap(), values);
        return;
    }
    const auto current = small_values();
    RecordSet merged;
    if (current.size() + values.size() <= kArrayLimit) {
        SmallBuffer buffer;
        const auto tail = std::copy(current.begin(), current.end(), buffer.begin());
        std::copy(values.begin(), values.end(), tail);
        merged.assign_sorted(sort_unique(buffer, current.size() + values.size()));
    } else {
        std::vector<uint32_t> all(current.begin(), current.end());
        all.insert(all.end(), values.begin(), values.end());
        merged.adopt_bitmap(bitmap_of(all));
    }
    *this = std::move(merged);
}

uint64_t RecordSet::cardinality() const noexcept {
    return is_bitmap() ? roaring_bitmap_get_cardinality(bitmap()) : size_;
}

bool RecordSet::contains(uint32_t value) const noexcept {
    if (is_bitmap()) return roaring_bitmap_contains(bitmap(), value);
    const auto values = small_values();
    return std::binary_search(values.begin(), values.end(), value);
}

std::vector<uint32_t> RecordSet::to_vector() const {
    if (!is_bitmap()) {
        const auto values = small_values();
        return {values.begin(), values.end()};
    }
    std::vector<uint32_t> values(roaring_bitmap_get_cardinality(bitmap()));
    roaring_bitmap_to_uint32_array(bitmap(), values.data());
    return values;
}

uint64_t intersection_cardinality(const RecordSet& a, const RecordSet& b) noexcept {
    if (a.is_bitmap() && b.is_bitmap()) return roaring_bitmap_and_cardinality(a.bitmap(), b.bitmap());
    if (a.is_bitmap()) return count_in_bitmap(b.small_values(), a.bitmap());
    if (b.is_bitmap()) return count_in_bitmap(a.small_values(), b.bitmap());
    return count_common(a.small_values(), b.small_values());
}

uint64_t union_cardinality(const RecordSet& a, const RecordSet& b) noexcept {
    if (a.is_bitmap() && b.is_bitmap()) return roaring_bitmap_or_cardinality(a.bitmap(), b.bitmap());
    return a.cardinality() + b.cardinality() - intersection_cardinality(a, b);
}

RecordUnion::RecordUnion() : bitmap_(bitmap_of({})) {}

RecordUnion::~RecordUnion() { roaring_bitmap_free(bitmap_); }

void RecordUnion::add(const RecordSet& set) {
    if (set.is_bitmap()) {
        bitmap_add_all(bitmap_, set.bitmap(), call_);
    } else {
        bitmap_add_all(bitmap_, set.small_values(), call_);
    }
}

uint64_t RecordUnion::cardinality() const noexcept { return roaring_bitmap_get_cardinality(bitmap_); }

}  // namespace tessellar
