// One dynamic interface over the five supported digest algorithms, and the
// factory that picks one by name.
//
// Creating a digest costs a few allocations; code that hashes many items
// should parse the name once, keep one digest per thread and call
// finalize_into_reset() per item.
#pragma once

#include "core/error.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace tessellar {

enum class Algorithm : uint8_t { Sha256, Sha512, Sha3_256, Sha3_512, Blake3 };

// OpenSSL or the allocator running out of memory surfaces as std::bad_alloc.
class DynDigest {
public:
    virtual ~DynDigest() = default;

    virtual void update(std::span<const uint8_t> data) = 0;
    void update(std::string_view text) {
        update(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    }
    // The digest of everything absorbed since creation or the last reset.
    static std::vector<uint8_t> finalize(std::unique_ptr<DynDigest> digest);
    // The same into `out`, after which the object is back in its initial
    // state; refuses, writing nothing, unless out.size() == output_size().
    Status finalize_into_reset(std::span<uint8_t> out);
    virtual void reset() = 0;
    virtual size_t output_size() const = 0;

protected:
    DynDigest() = default;
    DynDigest(const DynDigest&) = delete;
    DynDigest& operator=(const DynDigest&) = delete;

    // Writes exactly output_size() bytes. Afterwards the object accepts only
    // reset() or destruction.
    virtual void finish(std::span<uint8_t> out) = 0;
};

// ValueError "Unsupported hash algorithm: ..." unless the name, lower-cased
// with the full Unicode mapping, is one of the five supported names.
Result<Algorithm> parse_algorithm(std::string_view name);
std::unique_ptr<DynDigest> make_digest(Algorithm algorithm);
Result<std::unique_ptr<DynDigest>> create_hasher(std::string_view algorithm);

}  // namespace tessellar
