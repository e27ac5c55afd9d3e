// Values attached to entities under key IDs. The core stores, copies and
// drops them but never looks inside: what a value is, and what keeping and
// dropping one means, the binding above the core decides once per process
// through MetadataOps. Copying and dropping values therefore happen only
// where the binding allows it (for Python objects: under the interpreter
// lock); reading records never touches them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>

namespace tessellar {

class MetadataValue;

struct MetadataOps {
    void (*retain)(void* handle) noexcept;
    void (*release)(void* handle) noexcept;
    // A new value holding a copy of `bytes`, or an empty value when memory
    // runs out. Stored digests are made this way.
    MetadataValue (*from_bytes)(std::span<const uint8_t> bytes) noexcept;
    // The bytes a value holds when it is a byte string; nothing otherwise.
    std::optional<std::span<const uint8_t>> (*as_bytes)(void* handle) noexcept;
};

// Installed by the binding before the first value is made.
void install_metadata_ops(const MetadataOps& ops) noexcept;
const MetadataOps& metadata_ops() noexcept;

// One counted reference to a value, or none.
class MetadataValue {
public:
    MetadataValue() noexcept = default;
    // Takes over a reference the caller owns.
    static MetadataValue adopt(void* handle) noexcept { return MetadataValue(handle); }
    // Takes a reference of its own.
    static MetadataValue share(void* handle) noexcept {
        if (handle) metadata_ops().retain(handle);
        return MetadataValue(handle);
    }

    MetadataValue(const MetadataValue& other) noexcept : MetadataValue(share(other.handle_)) {}
    MetadataValue(MetadataValue&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    MetadataValue& operator=(MetadataValue other) noexcept {
        std::swap(handle_, other.handle_);
        return *this;
    }
    ~MetadataValue() {
        if (handle_) metadata_ops().release(handle_);
    }

    void* handle() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != nullptr; }

private:
    explicit MetadataValue(void* handle) noexcept : handle_(handle) {}
    void* handle_ = nullptr;
};

}  // namespace tessellar
