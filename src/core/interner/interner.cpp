#include "core/interner/interner.h"

#include "core/text_hash.h"

#include <boost/unordered/unordered_flat_set.hpp>

#include <algorithm>
#include <cstring>
#include <exception>
#include <functional>
#include <new>
#include <string>
#include <utility>

namespace tessellar {

namespace {

constexpr size_t kMaxBlockSize = size_t{1} << 20;
// Texts above this size get a block of their own instead of wasting the tail
// of the current one.
constexpr size_t kOwnBlockThreshold = kMaxBlockSize / 16;

// std::string_view compares through char_traits<char>, which compares bytes
// as unsigned char: plain byte order, a proper prefix first.
struct ByString {
    const std::vector<StoredText>& strings;
    bool operator()(uint32_t a, uint32_t b) const noexcept {
        return std::string_view(strings[a]) < std::string_view(strings[b]);
    }
};

// Room for a text and the length before it.
constexpr size_t kLengthBytes = sizeof(uint32_t);

// The empty text needs no room: one shared length of zero.
constexpr char kEmptyText[kLengthBytes + 1] = {};

// 32 bits of the hash, kept beside each string.
uint32_t short_hash(std::string_view text) noexcept { return static_cast<uint32_t>(hash_text(text)); }

// A text with its hash, computed once for the lookup and the insertion.
struct HashedText {
    std::string_view text;
    uint32_t hash;
};

// The table holds only 32-bit IDs and finds them by their strings: four
// bytes a slot keeps it small enough to stay mostly in cache while millions
// of strings are interned. Each string's hash is kept beside it, so growing
// the table reads no text. (The table mixes the 32 bits before use.)
struct IdHash {
    using is_transparent = void;
    const std::vector<uint32_t>* hashes;
    size_t operator()(const HashedText& key) const noexcept { return key.hash; }
    size_t operator()(uint32_t id) const noexcept { return (*hashes)[id]; }
};

struct IdEqual {
    using is_transparent = void;
    const std::vector<StoredText>* strings;
    bool operator()(uint32_t a, uint32_t b) const noexcept { return a == b; }
    bool operator()(const HashedText& key, uint32_t id) const noexcept { return equal_text(key.text, (*strings)[id]); }
    bool operator()(uint32_t id, const HashedText& key) const noexcept { return equal_text(key.text, (*strings)[id]); }
};

}  // namespace

struct StringInterner::Tables {
    Tables() : ids(0, IdHash{&hashes}, IdEqual{&strings}) {}
    Tables(const Tables&) = delete;
    Tables& operator=(const Tables&) = delete;

    std::vector<StoredText> strings;
    std::vector<uint32_t> hashes;  // short_hash() of each string, by ID
    boost::unordered_flat_set<uint32_t, IdHash, IdEqual> ids;
};

StringInterner::StringInterner() noexcept = default;

StringInterner::StringInterner(uint64_t id_limit) noexcept : id_limit_(id_limit) {}

StringInterner::~StringInterner() = default;

const std::vector<StoredText>& StringInterner::strings() const noexcept {
    static const std::vector<StoredText> none;
    return tables_ ? tables_->strings : none;
}

StringInterner::Tables& StringInterner::own_tables() {
    if (!tables_) {
        tables_ = std::make_shared<Tables>();
    } else if (tables_.use_count() > 1) {
        auto copy = std::make_shared<Tables>();
        copy->strings = tables_->strings;
        copy->hashes = tables_->hashes;
        copy->ids.reserve(copy->strings.size());
        for (uint32_t id = 0; id < copy->strings.size(); ++id) copy->ids.insert(id);
        tables_ = std::move(copy);
    }
    return *tables_;
}

Result<StringInterner> StringInterner::with_capacity(uint64_t capacity) {
    if (capacity > kMaxStrings) {
        return fail(ErrorKind::Overflow, "capacity " + std::to_string(capacity) +
                                                  " exceeds the 4294967296 strings an interner can hold");
    }
    StringInterner interner;
    const auto reserved = static_cast<size_t>(capacity);
    try {
        Tables& tables = interner.own_tables();
        tables.strings.reserve(reserved);
        tables.hashes.reserve(reserved);
        tables.ids.reserve(reserved);
    } catch (const std::length_error&) {
        return fail(ErrorKind::OutOfMemory, "cannot reserve room for " + std::to_string(capacity) + " strings");
    } catch (const std::bad_alloc&) {
        return fail(ErrorKind::OutOfMemory, "cannot reserve room for " + std::to_string(capacity) + " strings");
    }
    return interner;
}

void StringInterner::expect_strings(size_t incoming) {
    if (incoming <= size()) return;
    try {
        own_tables().ids.reserve(std::min<size_t>(size() + incoming, kMaxStrings));
    } catch (const std::exception&) {
        // Only a hint: the interning itself reports memory exhaustion.
    }
}

// Shares the tables until either side adds a string.
StringInterner::StringInterner(const StringInterner& other)
    : blocks_(other.blocks_), tables_(other.tables_), id_limit_(other.id_limit_) {}

StringInterner::StringInterner(StringInterner&& other) noexcept
    : blocks_(std::move(other.blocks_)),
      cursor_(std::exchange(other.cursor_, nullptr)),
      block_free_(std::exchange(other.block_free_, 0)),
      next_block_size_(other.next_block_size_),
      tables_(std::move(other.tables_)),
      id_limit_(other.id_limit_) {}

StringInterner& StringInterner::operator=(StringInterner&& other) noexcept {
    if (this == &other) return *this;
    blocks_ = std::move(other.blocks_);
    cursor_ = std::exchange(other.cursor_, nullptr);
    block_free_ = std::exchange(other.block_free_, 0);
    next_block_size_ = other.next_block_size_;
    tables_ = std::move(other.tables_);
    id_limit_ = other.id_limit_;
    return *this;
}

StringInterner& StringInterner::operator=(const StringInterner& other) {
    if (this != &other) *this = StringInterner(other);
    return *this;
}

StoredText StringInterner::store(std::string_view text) {
    if (text.empty()) return StoredText(kEmptyText + kLengthBytes);
    const auto length = static_cast<uint32_t>(text.size());
    const size_t room = kLengthBytes + text.size();
    char* at;
    if (room > kOwnBlockThreshold) {
        std::shared_ptr<char[]> block(new char[room]);
        blocks_.push_back(block);
        at = block.get();
    } else {
        if (room > block_free_) {
            const size_t size = std::max(next_block_size_, room);
            std::shared_ptr<char[]> block(new char[size]);
            blocks_.push_back(block);
            cursor_ = block.get();
            block_free_ = size;
            next_block_size_ = std::min(next_block_size_ * 2, kMaxBlockSize);
        }
        at = cursor_;
        cursor_ += room;
        block_free_ -= room;
    }
    std::memcpy(at, &length, kLengthBytes);
    std::memcpy(at + kLengthBytes, text.data(), text.size());
    return StoredText(at + kLengthBytes);
}

Result<uint32_t> StringInterner::intern(std::string_view text) {
    const HashedText key{text, short_hash(text)};
    if (tables_) {
        if (auto found = tables_->ids.find(key); found != tables_->ids.end()) return *found;
    }
    Tables& tables = own_tables();
    if (tables.strings.size() >= id_limit_) {
        return fail(ErrorKind::Overflow,
                    "string interner is full: at most " + std::to_string(id_limit_) + " strings");
    }
    if (text.size() > UINT32_MAX) return fail(ErrorKind::Overflow, "a string of 4 GiB or more cannot be interned");
    const auto id = static_cast<uint32_t>(tables.strings.size());
    tables.hashes.push_back(key.hash);
    try {
        tables.strings.push_back(store(text));
        tables.ids.insert(id);
    } catch (...) {
        // Keep the tables in step when one of them cannot grow.
        tables.hashes.resize(id);
        tables.strings.erase(tables.strings.begin() + id, tables.strings.end());
        throw;
    }
    return id;
}

void StringInterner::truncate(size_t size) noexcept {
    // The strings to forget were added by this interner since it last took
    // its own tables, so it still owns them alone.
    if (tables_.use_count() > 1) return;
    while (this->size() > size) {
        const auto id = static_cast<uint32_t>(this->size() - 1);
        const std::string_view text = tables_->strings[id];
        const size_t room = kLengthBytes + text.size();
        tables_->ids.erase(id);
        tables_->strings.pop_back();
        tables_->hashes.pop_back();
        // The newest text is the last one written into the current block.
        if (!text.empty() && text.data() + text.size() == cursor_) {
            cursor_ -= room;
            block_free_ += room;
        }
    }
}

std::optional<uint32_t> StringInterner::lookup(std::string_view text) const {
    if (!tables_) return std::nullopt;
    if (auto found = tables_->ids.find(HashedText{text, short_hash(text)}); found != tables_->ids.end()) return *found;
    return std::nullopt;
}

Result<std::string_view> StringInterner::get_string(uint32_t id) const {
    if (id >= size()) return fail(ErrorKind::OutOfRange, "Invalid string ID");
    return string_at(id);
}

void StringInterner::sort_by_string(std::span<uint32_t> ids) const {
    std::sort(ids.begin(), ids.end(), ByString{strings()});
}

Status StringInterner::batch_intern_by_dataset(std::span<const Group> groups, std::vector<InternedGroup>& out) {
    out.resize(groups.size());
    for (size_t i = 0; i < groups.size(); ++i) {
        InternedGroup& interned = out[i];
        interned.dataset_id = groups[i].dataset_id;
        interned.in_order.clear();
        for (std::string_view text : groups[i].texts) {
            auto id = intern(text);
            if (!id) return std::unexpected(std::move(id.error()));
            interned.in_order.push_back(*id);
        }
        interned.by_string.assign(interned.in_order.begin(), interned.in_order.end());
        sort_by_string(interned.by_string);
    }
    return {};
}

}  // namespace tessellar
