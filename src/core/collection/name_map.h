// A map from names to values that lists its entries in insertion order.
// Replacing a value keeps the entry's position.
#pragma once

#include "core/text_hash.h"

#include <boost/unordered/unordered_flat_map.hpp>

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessellar {

struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const noexcept { return hash_text(name); }
};

struct NameEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept { return equal_text(a, b); }
};

template <class V>
class NameMap {
public:
    V* find(std::string_view name) noexcept {
        auto found = index_.find(name);
        return found == index_.end() ? nullptr : &entries_[found->second].second;
    }
    const V* find(std::string_view name) const noexcept {
        auto found = index_.find(name);
        return found == index_.end() ? nullptr : &entries_[found->second].second;
    }

    // Inserts or replaces; returns the stored value.
    V& put(std::string_view name, V value) {
        if (V* existing = find(name)) {
            *existing = std::move(value);
            return *existing;
        }
        auto [position, inserted] = index_.emplace(std::string(name), entries_.size());
        try {
            return entries_.emplace_back(std::string(name), std::move(value)).second;
        } catch (...) {
            index_.erase(position);  // keep the two tables in step
            throw;
        }
    }

    // Forgets every entry after the first `size`.
    void truncate(size_t size) noexcept {
        while (entries_.size() > size) {
            index_.erase(entries_.back().first);
            entries_.pop_back();
        }
    }

    size_t size() const noexcept { return entries_.size(); }
    const std::vector<std::pair<std::string, V>>& entries() const noexcept { return entries_; }
    std::vector<std::pair<std::string, V>>& entries() noexcept { return entries_; }

private:
    std::vector<std::pair<std::string, V>> entries_;
    boost::unordered_flat_map<std::string, size_t, NameHash, NameEqual> index_;
};

}  // namespace tessellar
