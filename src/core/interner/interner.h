// Dense two-way mapping between strings and unsigned 32-bit IDs.
//
// Texts live in append-only arena blocks that copies share, and copies share
// the ID tables too until either side adds a string: a snapshot of a frame's
// interner costs nothing until the frame or the snapshot interns.
#pragma once

#include "core/error.h"
#include "core/interner/id_table.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace tessellar {

// A text in an interner's arena: where it starts, its length in the four
// bytes before it. Half the size of a string_view, at no extra cache miss.
class StoredText {
public:
    explicit StoredText(const char* text) noexcept : text_(text) {}
    // Where the text starts, without reading its length.
    const char* data() const noexcept { return text_; }
    operator std::string_view() const noexcept {
        uint32_t length;
        std::memcpy(&length, text_ - sizeof length, sizeof length);
        return {text_, length};
    }

private:
    const char* text_;
};

class StringInterner {
public:
    // IDs are 32-bit, so at most 2^32 strings; tests inject a smaller limit.
    static constexpr uint64_t kMaxStrings = uint64_t{1} << 32;

    StringInterner() noexcept;
    explicit StringInterner(uint64_t id_limit) noexcept;
    ~StringInterner();

    // Reserves room for `capacity` strings; MemoryError when it cannot.
    static Result<StringInterner> with_capacity(uint64_t capacity);

    // Prepares the ID table for a batch of `incoming` strings that may be
    // new, so that a first large load does not rehash its way up. It only
    // does so while the batch outnumbers the strings already interned: a
    // later batch mostly finds known strings and would be over-served.
    void expect_strings(size_t incoming);

    StringInterner(const StringInterner& other);
    StringInterner& operator=(const StringInterner& other);
    // A moved-from interner is empty.
    StringInterner(StringInterner&& other) noexcept;
    StringInterner& operator=(StringInterner&& other) noexcept;

    // The ID of `text`, adding it when new.
    // Fails with OverflowError once the ID space is exhausted.
    Result<uint32_t> intern(std::string_view text);
    // intern() of each text in order, into `ids` (as long as `texts`), with
    // the memory each lookup needs asked for some texts ahead. Stops at the
    // first failure, keeping the strings interned until then.
    Status intern_each(std::span<const std::string_view> texts, std::span<uint32_t> ids);
    std::optional<uint32_t> lookup(std::string_view text) const;
    // Forgets every string from ID `size` on, the most recent first: a
    // failed operation takes back what it interned.
    void truncate(size_t size) noexcept;
    // IndexError "Invalid string ID" when `id` is not below size().
    Result<std::string_view> get_string(uint32_t id) const;
    // Unchecked: `id` must be below size().
    std::string_view string_at(uint32_t id) const noexcept { return strings()[id]; }
    const std::vector<StoredText>& strings() const noexcept;

    size_t size() const noexcept { return strings().size(); }
    bool empty() const noexcept { return strings().empty(); }

    struct InternedGroup {
        uint32_t dataset_id;
        std::vector<uint32_t> in_order;  // the IDs of the input list, same order
        std::vector<uint32_t> by_string; // the same IDs sorted by their strings
    };
    // Fills `group` with a dataset's interned IDs, in order and sorted by
    // string, duplicates kept; its buffers are reused, so that a bulk load
    // does not allocate for every entity.
    void fill_group(InternedGroup& group, uint32_t dataset_id, std::span<const uint32_t> ids) const;

    // Sorts `ids` by the bytes of their strings; all must be below size().
    // Equal strings are equal IDs, so the order is the stable one.
    void sort_by_string(std::span<uint32_t> ids) const;

private:
    StoredText store(std::string_view text);
    std::optional<uint32_t> find(std::string_view text, uint32_t tag) const;
    Result<uint32_t> intern_tagged(std::string_view text, uint32_t tag);

    // Text blocks, shared with copies. New texts go at `cursor_`, inside a
    // block this interner created itself: a copy starts without a cursor so it
    // never writes into a block it shares with its source.
    std::vector<std::shared_ptr<char[]>> blocks_;
    char* cursor_ = nullptr;
    size_t block_free_ = 0;
    size_t next_block_size_ = 4096;

    // The strings by ID and the table of IDs looked up by string, on the heap
    // together so that copies share them; absent until the first string.
    struct Tables;
    // The tables, taken for this interner alone before it changes them.
    Tables& own_tables();
    std::shared_ptr<Tables> tables_;
    uint64_t id_limit_ = kMaxStrings;
};

}  // namespace tessellar
