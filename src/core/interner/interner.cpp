#include "core/interner/interner.h"

#include "core/text_hash.h"

#include <algorithm>
#include <array>
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

}  // namespace

struct StringInterner::Tables {
    std::vector<StoredText> strings;
    IdTable ids;
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
        tables_ = std::make_shared<Tables>(*tables_);
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
    return intern_tagged(text, IdTable::tag_of(hash_text(text)));
}

std::optional<uint32_t> StringInterner::find(std::string_view text, uint32_t tag) const {
    if (!tables_) return std::nullopt;
    const std::vector<StoredText>& strings = tables_->strings;
    return tables_->ids.find(tag, [&](uint32_t id) { return equal_text(text, strings[id]); });
}

Result<uint32_t> StringInterner::intern_tagged(std::string_view text, uint32_t tag) {
    if (const auto found = find(text, tag)) return *found;
    Tables& tables = own_tables();
    if (tables.strings.size() >= id_limit_) {
        return fail(ErrorKind::Overflow,
                    "string interner is full: at most " + std::to_string(id_limit_) + " strings");
    }
    if (text.size() > UINT32_MAX) return fail(ErrorKind::Overflow, "a string of 4 GiB or more cannot be interned");
    const auto id = static_cast<uint32_t>(tables.strings.size());
    tables.strings.push_back(store(text));
    try {
        tables.ids.insert(tag, id);
    } catch (...) {
        // Keep the tables in step when the ID table cannot grow.
        tables.strings.pop_back();
        throw;
    }
    return id;
}

// Three steps, each some texts ahead of the interning: the text's slot is
// asked for, then the entry of the string its tag first names there, then
// that string's text, so that interning finds all three in cache.
Status StringInterner::intern_each(std::span<const std::string_view> texts, std::span<uint32_t> ids) {
    constexpr size_t kSlotAhead = 16, kEntryAhead = 8, kTextAhead = 4;
    std::array<uint32_t, kSlotAhead> tags{};
    std::array<std::optional<uint32_t>, kSlotAhead> candidates{};
    // The text that is `ahead` texts before its interning at `step`.
    const auto text_at = [&](size_t step, size_t ahead) -> std::optional<size_t> {
        const size_t lag = kSlotAhead - ahead;
        if (step < lag || step - lag >= texts.size()) return std::nullopt;
        return step - lag;
    };
    for (size_t step = 0; step < texts.size() + kSlotAhead; ++step) {
        // The interning comes first: the text it takes shares its place in
        // the rings with the text whose slot this step asks for.
        if (const auto index = text_at(step, 0)) {
            auto id = intern_tagged(texts[*index], tags[*index % kSlotAhead]);
            if (!id) return std::unexpected(std::move(id.error()));
            ids[*index] = *id;
        }
        if (const auto index = text_at(step, kSlotAhead)) {
            tags[*index % kSlotAhead] = IdTable::tag_of(hash_text(texts[*index]));
            if (tables_) tables_->ids.prefetch(tags[*index % kSlotAhead]);
        }
        if (const auto index = text_at(step, kEntryAhead); index && tables_) {
            auto& candidate = candidates[*index % kSlotAhead];
            candidate = tables_->ids.first_candidate(tags[*index % kSlotAhead]);
            if (candidate) __builtin_prefetch(&tables_->strings[*candidate]);
        }
        if (const auto index = text_at(step, kTextAhead); index && tables_) {
            if (const auto& candidate = candidates[*index % kSlotAhead]) {
                __builtin_prefetch(tables_->strings[*candidate].data());
            }
        }
    }
    return {};
}

void StringInterner::truncate(size_t size) noexcept {
    // The strings to forget were added by this interner since it last took
    // its own tables, so it still owns them alone.
    if (tables_.use_count() > 1) return;
    while (this->size() > size) {
        const auto id = static_cast<uint32_t>(this->size() - 1);
        const std::string_view text = tables_->strings[id];
        const size_t room = kLengthBytes + text.size();
        tables_->ids.erase(IdTable::tag_of(hash_text(text)), id);
        tables_->strings.pop_back();
        // The newest text is the last one written into the current block.
        if (!text.empty() && text.data() + text.size() == cursor_) {
            cursor_ -= room;
            block_free_ += room;
        }
    }
}

std::optional<uint32_t> StringInterner::lookup(std::string_view text) const {
    return find(text, IdTable::tag_of(hash_text(text)));
}

Result<std::string_view> StringInterner::get_string(uint32_t id) const {
    if (id >= size()) return fail(ErrorKind::OutOfRange, "Invalid string ID");
    return string_at(id);
}

void StringInterner::sort_by_string(std::span<uint32_t> ids) const {
    std::sort(ids.begin(), ids.end(), ByString{strings()});
}

void StringInterner::fill_group(InternedGroup& group, uint32_t dataset_id, std::span<const uint32_t> ids) const {
    group.dataset_id = dataset_id;
    group.in_order.assign(ids.begin(), ids.end());
    group.by_string.assign(ids.begin(), ids.end());
    sort_by_string(group.by_string);
}

}  // namespace tessellar
