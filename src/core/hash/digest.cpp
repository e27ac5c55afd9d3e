#include "core/hash/digest.h"

#include <blake3.h>
#include <openssl/evp.h>
#include <utf8proc.h>

#include <array>
#include <new>
#include <optional>
#include <string>
#include <utility>

namespace tessellar {

namespace {

// With a fetched algorithm and a context that is never used after its final
// call, OpenSSL fails only when it cannot allocate.
void check(int openssl_ok) {
    if (openssl_ok != 1) throw std::bad_alloc();
}

EVP_MD* fetch(const char* name) {
    EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
    if (md == nullptr) throw std::bad_alloc();
    return md;
}

// Fetched once per process and kept: the implicit EVP_sha256()-style objects
// would repeat the provider lookup on every init.
const EVP_MD* evp_md(Algorithm algorithm) {
    switch (algorithm) {
    case Algorithm::Sha256: {
        static const EVP_MD* const md = fetch("SHA256");
        return md;
    }
    case Algorithm::Sha512: {
        static const EVP_MD* const md = fetch("SHA512");
        return md;
    }
    case Algorithm::Sha3_256: {
        static const EVP_MD* const md = fetch("SHA3-256");
        return md;
    }
    case Algorithm::Sha3_512: {
        static const EVP_MD* const md = fetch("SHA3-512");
        return md;
    }
    case Algorithm::Blake3:
        break;
    }
    std::unreachable();
}

// SHA-2 and SHA-3 through one OpenSSL context, re-initialised in place on
// reset so that a reused digest allocates nothing.
class EvpDigest final : public DynDigest {
public:
    explicit EvpDigest(const EVP_MD* md) : md_(md), ctx_(new_context()) { reset(); }

    void update(std::span<const uint8_t> data) override {
        check(EVP_DigestUpdate(ctx_.get(), data.data(), data.size()));
    }
    void reset() override { check(EVP_DigestInit_ex2(ctx_.get(), md_, nullptr)); }
    size_t output_size() const override { return static_cast<size_t>(EVP_MD_get_size(md_)); }

protected:
    void finish(std::span<uint8_t> out) override {
        check(EVP_DigestFinal_ex(ctx_.get(), out.data(), nullptr));
    }

private:
    struct ContextFree {
        void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
    };
    using Context = std::unique_ptr<EVP_MD_CTX, ContextFree>;

    static Context new_context() {
        Context ctx(EVP_MD_CTX_new());
        if (!ctx) throw std::bad_alloc();
        return ctx;
    }

    const EVP_MD* md_;
    Context ctx_;
};

class Blake3Wrapper final : public DynDigest {
public:
    Blake3Wrapper() { blake3_hasher_init(&hasher_); }

    void update(std::span<const uint8_t> data) override {
        blake3_hasher_update(&hasher_, data.data(), data.size());
    }
    void reset() override { blake3_hasher_reset(&hasher_); }
    size_t output_size() const override { return BLAKE3_OUT_LEN; }

protected:
    void finish(std::span<uint8_t> out) override {
        blake3_hasher_finalize(&hasher_, out.data(), out.size());
    }

private:
    blake3_hasher hasher_;
};

std::unexpected<Error> invalid_buffer_size() {
    return fail(ErrorKind::InvalidValue, "Invalid buffer size");
}

constexpr std::array<std::pair<std::string_view, Algorithm>, 5> kAlgorithmNames{{
    {"sha256", Algorithm::Sha256},
    {"sha512", Algorithm::Sha512},
    {"sha3-256", Algorithm::Sha3_256},
    {"sha3-512", Algorithm::Sha3_512},
    {"blake3", Algorithm::Blake3},
}};
constexpr size_t kLongestName = 8;

// Per-code-point lower-casing decides a match exactly as the full mapping
// would: the two differ only where the result holds none of the letters of
// a supported name (U+0130, final sigma). Every supported name is ASCII, so
// the scan stops at the first code point that does not lower-case to ASCII,
// or once the text is too long. ASCII input, the usual case, skips utf8proc.
std::optional<Algorithm> match_lowercased(std::string_view name) {
    std::array<char, kLongestName> lowered{};
    size_t length = 0;
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(name.data());
    const auto size = static_cast<utf8proc_ssize_t>(name.size());
    for (utf8proc_ssize_t pos = 0; pos < size;) {
        utf8proc_int32_t code_point = bytes[pos];
        if (code_point < 0x80) {
            ++pos;
            if (code_point >= 'A' && code_point <= 'Z') code_point += 'a' - 'A';
        } else {
            const utf8proc_ssize_t consumed = utf8proc_iterate(bytes + pos, size - pos, &code_point);
            if (consumed < 0) return std::nullopt;
            pos += consumed;
            code_point = utf8proc_tolower(code_point);
        }
        if (code_point >= 0x80 || length == lowered.size()) return std::nullopt;
        lowered[length++] = static_cast<char>(code_point);
    }
    const std::string_view lower(lowered.data(), length);
    for (const auto& [text, algorithm] : kAlgorithmNames) {
        if (lower == text) return algorithm;
    }
    return std::nullopt;
}

}  // namespace

std::vector<uint8_t> DynDigest::finalize(std::unique_ptr<DynDigest> digest) {
    std::vector<uint8_t> out(digest->output_size());
    digest->finish(out);
    return out;
}

Status DynDigest::finalize_into_reset(std::span<uint8_t> out) {
    if (out.size() != output_size()) return invalid_buffer_size();
    finish(out);
    reset();
    return {};
}

Result<Algorithm> parse_algorithm(std::string_view name) {
    if (auto algorithm = match_lowercased(name)) return *algorithm;
    return fail(ErrorKind::InvalidValue,
                "Unsupported hash algorithm: " + std::string(name) +
                    ". Supported: sha256, sha512, sha3-256, sha3-512, blake3");
}

std::unique_ptr<DynDigest> make_digest(Algorithm algorithm) {
    if (algorithm == Algorithm::Blake3) return std::make_unique<Blake3Wrapper>();
    return std::make_unique<EvpDigest>(evp_md(algorithm));
}

Result<std::unique_ptr<DynDigest>> create_hasher(std::string_view algorithm) {
    auto parsed = parse_algorithm(algorithm);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    return make_digest(*parsed);
}

}  // namespace tessellar
