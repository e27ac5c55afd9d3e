#include "core/entity/canonical_hash.h"

#include <boost/container/small_vector.hpp>

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

namespace tessellar {

namespace {

Status invalid_string_id() { return fail(ErrorKind::OutOfRange, "Invalid string ID"); }

// Byte order of the strings. Distinct IDs name distinct strings, so a plain
// sort already gives the stable order, without stable_sort's temporary buffer.
struct ByString {
    const StringInterner& interner;
    bool operator()(uint32_t a, uint32_t b) const noexcept { return interner.string_at(a) < interner.string_at(b); }
};

// Gathers the stream's strings and hands them to the digest a block at a
// time: an update per string costs more than hashing a short string does.
// The digest sees the same bytes either way.
class Feeder {
public:
    explicit Feeder(DynDigest& digest) noexcept : digest_(digest) {}

    void update(std::string_view text) {
        if (text.empty()) return;
        if (text.size() > buffer_.size() - used_) {
            flush();
            if (text.size() > buffer_.size()) {
                digest_.update(text);
                return;
            }
        }
        std::memcpy(buffer_.data() + used_, text.data(), text.size());
        used_ += text.size();
    }

    void flush() {
        if (used_ == 0) return;
        digest_.update(std::string_view(buffer_.data(), used_));
        used_ = 0;
    }

private:
    DynDigest& digest_;
    std::array<char, 512> buffer_;
    size_t used_ = 0;
};

// The records of one dataset in the order of their strings.
Status feed_records(const Entity::DatasetView& view, const StringInterner& interner, Feeder& digest,
                    UnknownRecords unknown) {
    const size_t known = interner.size();
    const DatasetRecords& dataset = *view.dataset;
    if (const auto stored = view.sorted) {
        for (const uint32_t id : *stored) {
            if (id < known) {
                digest.update(interner.string_at(id));
            } else if (unknown == UnknownRecords::Fail) {
                return invalid_string_id();
            }
        }
        return {};
    }
    boost::container::small_vector<uint32_t, 16> ids;
    bool all_known = true;
    dataset.records.for_each([&](uint32_t id) {
        if (id < known) {
            ids.push_back(id);
        } else {
            all_known = false;
        }
    });
    if (!all_known && unknown == UnknownRecords::Fail) return invalid_string_id();
    std::sort(ids.begin(), ids.end(), ByString{interner});
    for (const uint32_t id : ids) digest.update(interner.string_at(id));
    return {};
}

Status feed_datasets(const Entity& entity, const StringInterner& interner, Feeder& digest,
                     UnknownRecords unknown) {
    auto views = entity.dataset_views();
    views.erase(std::remove_if(views.begin(), views.end(),
                               [&](const auto& view) { return view.dataset->dataset_id >= interner.size(); }),
                views.end());
    std::sort(views.begin(), views.end(), [by_string = ByString{interner}](const auto& a, const auto& b) {
        return by_string(a.dataset->dataset_id, b.dataset->dataset_id);
    });
    for (const Entity::DatasetView& view : views) {
        digest.update(interner.string_at(view.dataset->dataset_id));
        if (auto fed = feed_records(view, interner, digest, unknown); !fed) return fed;
    }
    return {};
}

}  // namespace

Status feed_canonical_stream(const Entity& entity, const StringInterner& interner, DynDigest& digest,
                             UnknownRecords unknown) {
    Feeder feeder(digest);
    Status fed = feed_datasets(entity, interner, feeder, unknown);
    feeder.flush();
    return fed;
}

Result<std::vector<uint8_t>> deterministic_hash(const Entity& entity, const StringInterner& interner,
                                                std::string_view algorithm) {
    auto digest = create_hasher(algorithm);
    if (!digest) return std::unexpected(std::move(digest.error()));
    if (auto fed = feed_canonical_stream(entity, interner, **digest, UnknownRecords::Fail); !fed) {
        return std::unexpected(std::move(fed.error()));
    }
    return DynDigest::finalize(std::move(*digest));
}

}  // namespace tessellar
