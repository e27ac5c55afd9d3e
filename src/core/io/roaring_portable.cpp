#include "core/io/roaring_portable.h"

#include <boost/container/small_vector.hpp>

#include <bit>
#include <string>

namespace tessellar {

namespace {

constexpr uint32_t kCookieNoRuns = 12346;
constexpr uint32_t kCookieRuns = 12347;
constexpr size_t kNoOffsetThreshold = 4;  // with runs, fewer containers go without offsets
constexpr uint32_t kArrayLimit = 4096;
constexpr size_t kBitsetBytes = 8192;

enum class Kind { Array, Bitset, Runs };

struct Block {
    uint16_t key;
    std::span<const uint32_t> values;
    size_t runs;
    Kind kind;

    size_t bytes() const {
        switch (kind) {
            case Kind::Array: return 2 * values.size();
            case Kind::Bitset: return kBitsetBytes;
            case Kind::Runs: return 2 + 4 * runs;
        }
        return 0;
    }
};

// Most sets lie in one block of 2^16 IDs.
using Blocks = boost::container::small_vector<Block, 2>;

Blocks blocks_of(std::span<const uint32_t> values) {
    Blocks blocks;
    for (size_t begin = 0; begin < values.size();) {
        const uint32_t key = values[begin] >> 16;
        size_t end = begin + 1, runs = 1;
        for (; end < values.size() && values[end] >> 16 == key; ++end) runs += values[end] != values[end - 1] + 1;
        const size_t count = end - begin;
        const size_t plain = count <= kArrayLimit ? 2 * count : kBitsetBytes;
        const Kind kind = 2 + 4 * runs < plain ? Kind::Runs : count <= kArrayLimit ? Kind::Array : Kind::Bitset;
        blocks.push_back({static_cast<uint16_t>(key), values.subspan(begin, count), runs, kind});
        begin = end;
    }
    return blocks;
}

void write_block(const Block& block, ByteWriter& out) {
    switch (block.kind) {
        case Kind::Array:
            for (const uint32_t value : block.values) out.u16(static_cast<uint16_t>(value));
            return;
        case Kind::Bitset: {
            uint64_t words[kBitsetBytes / 8] = {};
            for (const uint32_t value : block.values) words[(value & 0xFFFF) / 64] |= uint64_t{1} << (value % 64);
            for (const uint64_t word : words) out.u64(word);
            return;
        }
        case Kind::Runs:
            out.u16(static_cast<uint16_t>(block.runs));
            for (size_t i = 0; i < block.values.size();) {
                size_t j = i + 1;
                while (j < block.values.size() && block.values[j] == block.values[j - 1] + 1) ++j;
                out.u16(static_cast<uint16_t>(block.values[i]));
                out.u16(static_cast<uint16_t>(j - i - 1));
                i = j;
            }
            return;
    }
}

struct Header {
    uint16_t key;
    uint32_t count;
    bool runs;
};

void read_block(ByteReader& in, const Header& header, std::vector<uint32_t>& values) {
    const uint32_t high = uint32_t{header.key} << 16;
    const size_t before = values.size();
    if (header.runs) {
        const uint16_t runs = in.u16();
        if (!in.has(runs, 4)) return;
        int64_t next = 0;  // the least value the next run may start at
        for (uint16_t i = 0; i < runs; ++i) {
            const uint32_t start = in.u16(), length = uint32_t{in.u16()} + 1;
            if (start < next || start + length > 0x10000) return in.fail("runs overlap or leave their block");
            if (values.size() - before + length > header.count) break;  // reported below
            for (uint32_t value = start; value < start + length; ++value) values.push_back(high | value);
            next = int64_t{start} + length;
        }
    } else if (header.count > kArrayLimit) {
        for (uint32_t word = 0; word < kBitsetBytes / 8; ++word) {
            for (uint64_t bits = in.u64(); bits; bits &= bits - 1) {
                values.push_back(high | (word * 64 + static_cast<uint32_t>(std::countr_zero(bits))));
            }
        }
    } else {
        if (!in.has(header.count, 2)) return;
        for (uint32_t i = 0; i < header.count; ++i) {
            const uint32_t value = high | in.u16();
            if (values.size() > before && value <= values.back()) return in.fail("array values not ascending");
            values.push_back(value);
        }
    }
    if (in.ok() && values.size() - before != header.count) in.fail("a container holds another count than declared");
}

}  // namespace

void write_portable(std::span<const uint32_t> values, ByteWriter& out) {
    const Blocks blocks = blocks_of(values);
    const size_t start = out.size();
    bool runs = false;
    for (const Block& block : blocks) runs = runs || block.kind == Kind::Runs;
    if (runs) {
        out.u32(kCookieRuns | static_cast<uint32_t>(blocks.size() - 1) << 16);
        std::vector<uint8_t> flags((blocks.size() + 7) / 8);
        for (size_t i = 0; i < blocks.size(); ++i) {
            if (blocks[i].kind == Kind::Runs) flags[i / 8] |= static_cast<uint8_t>(1 << (i % 8));
        }
        out.raw(flags);
    } else {
        out.u32(kCookieNoRuns);
        out.u32(static_cast<uint32_t>(blocks.size()));
    }
    for (const Block& block : blocks) {
        out.u16(block.key);
        out.u16(static_cast<uint16_t>(block.values.size() - 1));
    }
    if (!runs || blocks.size() >= kNoOffsetThreshold) {
        size_t offset = out.size() + 4 * blocks.size() - start;
        for (const Block& block : blocks) {
            out.u32(static_cast<uint32_t>(offset));
            offset += block.bytes();
        }
    }
    for (const Block& block : blocks) write_block(block, out);
}

void read_portable(ByteReader& in, std::vector<uint32_t>& values, uint64_t& budget) {
    values.clear();
    const size_t start = in.offset();
    const uint32_t cookie = in.u32();
    size_t count = 0;
    std::span<const uint8_t> run_flags;
    if (cookie == kCookieNoRuns) {
        count = in.u32();
    } else if ((cookie & 0xFFFF) == kCookieRuns) {
        count = (cookie >> 16) + 1;
        run_flags = in.bytes((count + 7) / 8);
    } else if (in.ok()) {
        return in.fail("not a Roaring portable serialization");
    }
    if (count > 0x10000) return in.fail("more containers than a 32-bit set can have");
    if (!in.has(count, 4)) return;
    boost::container::small_vector<Header, 2> headers(count);
    for (size_t i = 0; i < count; ++i) {
        headers[i].key = in.u16();
        headers[i].count = uint32_t{in.u16()} + 1;
        headers[i].runs = !run_flags.empty() && (run_flags[i / 8] >> (i % 8) & 1);
        if (i > 0 && headers[i].key <= headers[i - 1].key) return in.fail("containers not in ascending order");
        if (headers[i].count > budget) return in.fail("record sets declare more IDs than a file of this size can hold");
        budget -= headers[i].count;
    }
    const bool offsets = run_flags.empty() || count >= kNoOffsetThreshold;
    const size_t offset_table = in.offset();
    if (offsets && !in.has(count, 4)) return;
    ByteReader table = in.part(offsets ? 4 * count : 0);
    for (size_t i = 0; i < count && in.ok(); ++i) {
        if (offsets && table.u32() != in.offset() - start) {
            return in.fail("container offset " + std::to_string(i) + " (at byte " + std::to_string(offset_table + 4 * i) +
                           ") does not point at its container");
        }
        read_block(in, headers[i], values);
    }
    if (in.ok() && !in.at_end()) in.fail("bytes left after the set");
}

}  // namespace tessellar
