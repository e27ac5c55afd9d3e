// Little-endian byte streams for the file format: a writer that grows one
// buffer, and a reader that checks every read against the end of its data
// and remembers the first thing that went wrong.
#pragma once

#include "core/memory/allocate.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessellar {

static_assert(std::endian::native == std::endian::little, "the format is written as the machine holds it");

// Bytes from malloc: growing them is a realloc, which the C library does for
// large blocks by remapping pages rather than copying them.
struct FreeBytes {
    void operator()(uint8_t* bytes) const noexcept { std::free(bytes); }
};
struct ByteBuffer {
    std::unique_ptr<uint8_t[], FreeBytes> data;
    size_t size = 0;
    std::span<const uint8_t> bytes() const noexcept { return {data.get(), size}; }
};

class ByteWriter {
public:
    void u8(uint8_t value) { put(value); }
    void u16(uint16_t value) { put(value); }
    void u32(uint32_t value) { put(value); }
    void u64(uint64_t value) { put(value); }
    void f64(double value) { put(value); }
    void raw(std::span<const uint8_t> data) {
        make_room(data.size());
        if (!data.empty()) std::memcpy(buffer_.data.get() + buffer_.size, data.data(), data.size());
        buffer_.size += data.size();
    }
    void raw(std::string_view text) { raw(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size())); }
    // A u32 length, then the bytes.
    void text(std::string_view text) {
        u32(static_cast<uint32_t>(text.size()));
        raw(text);
    }

    size_t size() const noexcept { return buffer_.size; }
    std::span<const uint8_t> written() const noexcept { return buffer_.bytes(); }
    // Forgets everything written from `size` on.
    void truncate(size_t size) noexcept { buffer_.size = std::min(size, buffer_.size); }
    // Overwrites a value written before, at offset `at`.
    template <class T>
    void patch(size_t at, T value) noexcept {
        std::memcpy(buffer_.data.get() + at, &value, sizeof value);
    }
    // The bytes, leaving the writer empty.
    ByteBuffer take() noexcept {
        capacity_ = 0;
        return std::exchange(buffer_, ByteBuffer{});
    }

private:
    // Grows by doubling, so that each write is a copy into room already there.
    void make_room(size_t more) {
        if (capacity_ - buffer_.size >= more) return;
        const size_t capacity = std::max({capacity_ * 2, buffer_.size + more, size_t{1} << 16});
        void* grown = injected_failure() ? nullptr : std::realloc(buffer_.data.get(), capacity);
        if (!grown) throw std::bad_alloc();
        (void)buffer_.data.release();
        buffer_.data.reset(static_cast<uint8_t*>(grown));
        capacity_ = capacity;
    }
    template <class T>
    void put(T value) {
        make_room(sizeof value);
        std::memcpy(buffer_.data.get() + buffer_.size, &value, sizeof value);
        buffer_.size += sizeof value;
    }
    ByteBuffer buffer_;
    size_t capacity_ = 0;
};

class ByteReader {
public:
    // `base` is where `data` starts in the file, for messages.
    explicit ByteReader(std::span<const uint8_t> data, size_t base = 0) noexcept : data_(data), base_(base) {}

    uint8_t u8() { return get<uint8_t>(); }
    uint16_t u16() { return get<uint16_t>(); }
    uint32_t u32() { return get<uint32_t>(); }
    uint64_t u64() { return get<uint64_t>(); }
    double f64() { return get<double>(); }
    // The next `size` bytes; empty once anything failed.
    std::span<const uint8_t> bytes(uint64_t size) {
        if (data_.size() - at_ < size || failed_) {
            has(size, 1);  // records the failure
            return {};
        }
        const auto taken = data_.subspan(at_, static_cast<size_t>(size));
        at_ += static_cast<size_t>(size);
        return taken;
    }
    std::string_view text() {
        const auto taken = bytes(u32());
        return {reinterpret_cast<const char*>(taken.data()), taken.size()};
    }
    // Everything not read yet.
    std::span<const uint8_t> rest() { return bytes(data_.size() - at_); }
    // A reader over the next `size` bytes, which this one skips.
    ByteReader part(uint64_t size) {
        const size_t start = offset();
        return ByteReader(bytes(size), start);
    }

    // Whether `count` items of `size` bytes can still follow; a failure when
    // not. Checked before sizing anything by a count read from the data.
    bool has(uint64_t count, size_t size) {
        if (failed_) return false;
        if (count > (data_.size() - at_) / (size ? size : 1)) {
            fail("the data ends at byte " + std::to_string(base_ + data_.size()) + ", too soon for what it declares");
            return false;
        }
        return true;
    }
    // Records the first failure, with the position it was met at.
    void fail(const std::string& message) {
        if (failed_) return;
        failed_ = true;
        error_ = "at byte " + std::to_string(offset()) + ": " + message;
    }
    // Takes over the failure of a reader over part of this one's data.
    void fail_as(const ByteReader& part) {
        if (failed_ || part.ok()) return;
        failed_ = true;
        error_ = part.error_;
    }
    bool ok() const noexcept { return !failed_; }
    bool at_end() const noexcept { return at_ == data_.size(); }
    const std::string& error() const noexcept { return error_; }
    size_t offset() const noexcept { return base_ + at_; }

private:
    template <class T>
    T get() {
        T value{};
        if (data_.size() - at_ < sizeof value || failed_) {
            has(1, sizeof value);  // records the failure
            return value;
        }
        std::memcpy(&value, data_.data() + at_, sizeof value);
        at_ += sizeof value;
        return value;
    }

    std::span<const uint8_t> data_;
    size_t base_;
    size_t at_ = 0;
    bool failed_ = false;
    std::string error_;
};

}  // namespace tessellar
