// The one file format for frames, collections, entities and interners, used
// by save/load and by pickling. docs/file-format.md describes it for users;
// in short: a magic number and version, length-prefixed sections (the
// interner's strings, the datasets, the collections, values set aside), and
// a BLAKE3 checksum of everything before it.
//
// Loading checks everything: a file that is truncated, damaged or made by
// hand fails with ValueError saying what is wrong and at which byte, and
// never yields an object the rest of the core cannot work with.
#pragma once

#include "core/error.h"
#include "core/frame/frame.h"
#include "core/io/bytes.h"

#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

namespace tessellar {

enum class FileKind : uint16_t { Frame = 1, Collection = 2, Entity = 3, Interner = 4 };

inline constexpr uint16_t kFileVersion = 1;

// What the format needs from the binding, which alone knows what metadata
// values are.
class ValueCodec {
public:
    virtual ~ValueCodec() = default;
    // Appends the value's encoding, or says why it cannot be stored.
    virtual Status write(const MetadataValue& value, ByteWriter& out) = 0;
    // Once every value is written: the contents of the section of values
    // set aside, if write() set any aside.
    virtual Result<std::optional<std::vector<uint8_t>>> set_aside() = 0;
    // Before any value is read: that section, if the file has one.
    virtual Status take_set_aside(std::optional<std::span<const uint8_t>> section) = 0;
    // Reads one encoding; a failure goes on `in`.
    virtual MetadataValue read(ByteReader& in) = 0;
};

Result<ByteBuffer> save_frame(const Frame& frame, ValueCodec& values);
Result<ByteBuffer> save_collection(const Collection& collection, ValueCodec& values);
Result<ByteBuffer> save_entity(const Entity& entity, ValueCodec& values);
ByteBuffer save_interner(const StringInterner& interner);

using Loaded = std::variant<Frame, Collection, Entity, StringInterner>;

// ValueError for anything but a complete, undamaged file of a known version.
Result<Loaded> load_file(std::span<const uint8_t> data, ValueCodec& values);

}  // namespace tessellar
