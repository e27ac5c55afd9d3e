// The interner's IDs, found by the hashes of their strings.
//
// Open addressing with linear probing over 8-byte slots, each a 32-bit tag
// of the string's hash and the string's ID: a probe reads no string unless a
// tag matches, the table grows from its slots alone, and since a key's slot
// follows from its hash, a caller can ask for the slot of a string it will
// look up a few strings later, so that millions of lookups overlap their
// waits for memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace tessellar {

class IdTable {
public:
    // Never 0: an empty slot is all zero bits.
    static uint32_t tag_of(uint64_t hash) noexcept {
        const auto tag = static_cast<uint32_t>(hash >> 32);
        return tag ? tag : 1;
    }

    size_t size() const noexcept { return count_; }
    // Room for `count` IDs without growing; std::bad_alloc when there is none.
    void reserve(size_t count);

    // Asks for the slot where a lookup of `tag` starts.
    void prefetch(uint32_t tag) const noexcept {
        if (!slots_.empty()) __builtin_prefetch(&slots_[home(tag)]);
    }
    // The ID in the first slot of `tag`'s probe that holds `tag`, if any: a
    // likely candidate, for asking for its string ahead of the lookup.
    std::optional<uint32_t> first_candidate(uint32_t tag) const noexcept {
        if (slots_.empty()) return std::nullopt;
        for (size_t at = home(tag);; at = next(at)) {
            const uint64_t slot = slots_[at];
            if (slot == 0) return std::nullopt;
            if (tag_in(slot) == tag) return id_in(slot);
        }
    }

    // The ID under `tag` for which is_key(id) holds, if any.
    template <class IsKey>
    std::optional<uint32_t> find(uint32_t tag, IsKey&& is_key) const {
        if (slots_.empty()) return std::nullopt;
        for (size_t at = home(tag);; at = next(at)) {
            const uint64_t slot = slots_[at];
            if (slot == 0) return std::nullopt;
            if (tag_in(slot) == tag && is_key(id_in(slot))) return id_in(slot);
        }
    }

    // Adds an ID that is not in the table yet; std::bad_alloc, with the
    // table as it was, when it cannot grow.
    void insert(uint32_t tag, uint32_t id);
    // Removes an ID that is in the table under `tag`.
    void erase(uint32_t tag, uint32_t id) noexcept;

private:
    // Past this share of full slots the table doubles, keeping probes short.
    static constexpr size_t kLoadNumerator = 4, kLoadDenominator = 5;

    static uint32_t tag_in(uint64_t slot) noexcept { return static_cast<uint32_t>(slot); }
    static uint32_t id_in(uint64_t slot) noexcept { return static_cast<uint32_t>(slot >> 32); }
    static uint64_t slot_of(uint32_t tag, uint32_t id) noexcept { return uint64_t{id} << 32 | tag; }
    // Spread over the whole table by a multiplication, which also lets the
    // table have more slots than there are tags.
    size_t home(uint32_t tag) const noexcept { return (uint64_t{tag} * 0x9E3779B97F4A7C15ULL) >> shift_; }
    size_t next(size_t at) const noexcept { return (at + 1) & (slots_.size() - 1); }
    static size_t slots_for(size_t count) noexcept;
    void rebuild(size_t slot_count);

    std::vector<uint64_t> slots_;
    unsigned shift_ = 64;
    size_t count_ = 0;
};

}  // namespace tessellar
