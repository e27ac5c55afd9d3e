#include "interner/interner.h"

#include <algorithm>
#include <cstring>
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
    const std::vector<std::string_view>& strings;
    bool operator()(uint32_t a, uint32_t b) const noexcept { return strings[a] < strings[b]; }
};

}  // namespace

Result<StringInterner> StringInterner::with_capacity(uint64_t capacity) {
    StringInterner interner;
    const auto reserved = static_cast<size_t>(std::min(capacity, kMaxStrings));
    try {
        interner.strings_.reserve(reserved);
        interner.ids_.reserve(reserved);
    } catch (const std::length_error&) {
        return fail(ErrorKind::MemoryError, "cannot reserve room for " + std::to_string(capacity) + " strings");
    } catch (const std::bad_alloc&) {
        return fail(ErrorKind::MemoryError, "cannot reserve room for " + std::to_string(capacity) + " strings");
    }
    return interner;
}

StringInterner::StringInterner(const StringInterner& other)
    : blocks_(other.blocks_),
      strings_(other.strings_),
      ids_(other.ids_),
      sorted_ids_(other.sorted_ids_),
      id_limit_(other.id_limit_) {}

StringInterner::StringInterner(StringInterner&& other) noexcept
    : blocks_(std::move(other.blocks_)),
      cursor_(std::exchange(other.cursor_, nullptr)),
      block_free_(std::exchange(other.block_free_, 0)),
      next_block_size_(other.next_block_size_),
      strings_(std::move(other.strings_)),
      ids_(std::move(other.ids_)),
      sorted_ids_(std::exchange(other.sorted_ids_, std::nullopt)),
      id_limit_(other.id_limit_) {
    other.strings_.clear();
    other.ids_.clear();
}

StringInterner& StringInterner::operator=(StringInterner&& other) noexcept {
    if (this == &other) return *this;
    blocks_ = std::move(other.blocks_);
    cursor_ = std::exchange(other.cursor_, nullptr);
    block_free_ = std::exchange(other.block_free_, 0);
    next_block_size_ = other.next_block_size_;
    strings_ = std::move(other.strings_);
    ids_ = std::move(other.ids_);
    sorted_ids_ = std::exchange(other.sorted_ids_, std::nullopt);
    id_limit_ = other.id_limit_;
    other.strings_.clear();
    other.ids_.clear();
    return *this;
}

StringInterner& StringInterner::operator=(const StringInterner& other) {
    if (this != &other) *this = StringInterner(other);
    return *this;
}

std::string_view StringInterner::store(std::string_view text) {
    if (text.empty()) return {};
    if (text.size() > kOwnBlockThreshold) {
        std::shared_ptr<char[]> block(new char[text.size()]);
        std::memcpy(block.get(), text.data(), text.size());
        blocks_.push_back(block);
        return {block.get(), text.size()};
    }
    if (text.size() > block_free_) {
        std::shared_ptr<char[]> block(new char[next_block_size_]);
        blocks_.push_back(block);
        cursor_ = block.get();
        block_free_ = next_block_size_;
        next_block_size_ = std::min(next_block_size_ * 2, kMaxBlockSize);
    }
    std::memcpy(cursor_, text.data(), text.size());
    std::string_view stored(cursor_, text.size());
    cursor_ += text.size();
    block_free_ -= text.size();
    return stored;
}

Result<uint32_t> StringInterner::intern(std::string_view text) {
    sorted_ids_.reset();
    if (auto found = ids_.find(text); found != ids_.end()) return found->second;
    if (strings_.size() >= id_limit_) {
        return fail(ErrorKind::OverflowError,
                    "string interner is full: at most " + std::to_string(id_limit_) + " strings");
    }
    const auto id = static_cast<uint32_t>(strings_.size());
    const std::string_view stored = store(text);
    strings_.push_back(stored);
    try {
        ids_.emplace(stored, id);
    } catch (...) {
        strings_.pop_back();  // keep both tables in step when the map cannot grow
        throw;
    }
    return id;
}

std::optional<uint32_t> StringInterner::lookup(std::string_view text) const {
    if (auto found = ids_.find(text); found != ids_.end()) return found->second;
    return std::nullopt;
}

Result<std::string_view> StringInterner::get_string(uint32_t id) const {
    if (id >= strings_.size()) return fail(ErrorKind::IndexError, "Invalid string ID");
    return strings_[id];
}

const std::vector<uint32_t>& StringInterner::get_sorted_ids() {
    if (!sorted_ids_) {
        std::vector<uint32_t> ids(strings_.size());
        for (size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<uint32_t>(i);
        // All strings differ, so an unstable sort gives the stable order.
        std::sort(ids.begin(), ids.end(), ByString{strings_});
        sorted_ids_ = std::move(ids);
    }
    return *sorted_ids_;
}

void StringInterner::sort_by_string(std::span<uint32_t> ids) const {
    std::stable_sort(ids.begin(), ids.end(), ByString{strings_});
}

Result<std::vector<StringInterner::InternedGroup>> StringInterner::batch_intern_by_dataset(
    std::span<const Group> groups) {
    std::vector<InternedGroup> result;
    result.reserve(groups.size());
    for (const Group& group : groups) {
        InternedGroup interned{group.dataset_id, {}, {}};
        interned.in_order.reserve(group.texts.size());
        for (std::string_view text : group.texts) {
            auto id = intern(text);
            if (!id) return std::unexpected(std::move(id.error()));
            interned.in_order.push_back(*id);
        }
        interned.by_string = interned.in_order;
        sort_by_string(interned.by_string);
        result.push_back(std::move(interned));
    }
    return result;
}

}  // namespace tessellar
