#include "core/io/frame_file.h"

#include "core/hash/digest.h"
#include "core/io/roaring_portable.h"

#include <tbb/task_group.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <utility>

namespace tessellar {

namespace {

// PNG's trick: a byte with the high bit set catches 7-bit channels, the
// line endings catch newline translation.
constexpr std::array<uint8_t, 8> kMagic = {0x89, 'T', 'S', 'L', 'R', '\r', '\n', 0x1a};
constexpr size_t kHeaderSize = kMagic.size() + 4;
constexpr size_t kChecksumSize = 32;

constexpr uint32_t tag(const char (&name)[5]) {
    return uint32_t(uint8_t(name[0])) | uint32_t(uint8_t(name[1])) << 8 | uint32_t(uint8_t(name[2])) << 16 |
           uint32_t(uint8_t(name[3])) << 24;
}
constexpr uint32_t kStrings = tag("STRS"), kDatasets = tag("DSET"), kCollections = tag("COLL"),
                   kValues = tag("VALS");

Error invalid(std::string message) { return Error{ErrorKind::InvalidValue, std::move(message)}; }
std::unexpected<Error> corrupt(const std::string& where, const ByteReader& in) {
    return std::unexpected(invalid("Corrupt tessellar file, " + where + " " + in.error()));
}

std::string quoted(std::string_view name) { return "'" + std::string(name) + "'"; }

// ---- writing

class FileWriter {
public:
    FileWriter(FileKind kind) {
        out.raw(kMagic);
        out.u16(kFileVersion);
        out.u16(static_cast<uint16_t>(kind));
    }
    void begin(uint32_t section) {
        out.u32(section);
        length_at_ = out.size();
        out.u64(0);
    }
    void end() { out.patch<uint64_t>(length_at_, out.size() - length_at_ - sizeof(uint64_t)); }
    ByteBuffer finish() {
        auto digest = make_digest(Algorithm::Blake3);
        digest->update(out.written());
        out.raw(DynDigest::finalize(std::move(digest)));
        return out.take();
    }
    ByteWriter out;

private:
    size_t length_at_ = 0;
};

void write_strings(const StringInterner& interner, ByteWriter& out) {
    out.u64(interner.size());
    for (size_t id = 0; id < interner.size(); ++id) out.u32(static_cast<uint32_t>(interner.string_at(id).size()));
    for (size_t id = 0; id < interner.size(); ++id) out.raw(interner.string_at(id));
}

// Metadata keys are named by their string where the interner is known.
std::string key_name(uint32_t key, const StringInterner* interner) {
    if (interner && key < interner->size()) return "metadata " + quoted(interner->string_at(key));
    return "metadata key ID " + std::to_string(key);
}

Status write_entity(const Entity& entity, ValueCodec& values, const StringInterner* interner, ByteWriter& out,
                    std::vector<uint32_t>& scratch) {
    const auto views = entity.dataset_views();
    out.u32(static_cast<uint32_t>(views.size()));
    for (const Entity::DatasetView& view : views) {
        out.u32(view.dataset->dataset_id);
        scratch.clear();
        view.dataset->records.for_each([&](uint32_t record) { scratch.push_back(record); });
        const size_t length_at = out.size();
        out.u32(0);
        write_portable(scratch, out);
        out.patch<uint32_t>(length_at, static_cast<uint32_t>(out.size() - length_at - sizeof(uint32_t)));
        const auto order = view.sorted.value_or(std::span<const uint32_t>());
        out.u32(static_cast<uint32_t>(order.size()));
        for (const uint32_t record : order) out.u32(record);
    }
    const std::vector<uint32_t> keys = entity.metadata_keys();
    out.u32(static_cast<uint32_t>(keys.size()));
    for (const uint32_t key : keys) {
        out.u32(key);
        if (Status status = values.write(*entity.get_metadata(key), out); !status) {
            return std::unexpected(invalid(key_name(key, interner) + ": " + status.error().message));
        }
    }
    return {};
}

Status write_collection(std::string_view name, const Collection& collection, ValueCodec& values,
                        const StringInterner* interner, ByteWriter& out) {
    out.text(name);
    out.text(collection.process_name());
    const std::vector<Entity>& entities = collection.entities();
    out.u64(entities.size());
    std::vector<uint32_t> scratch;
    for (size_t index = 0; index < entities.size(); ++index) {
        if (Status status = write_entity(entities[index], values, interner, out, scratch); !status) {
            return std::unexpected(invalid("Cannot save collection " + quoted(name) + ", entity " +
                                           std::to_string(index) + ", " + status.error().message));
        }
    }
    return {};
}

Result<ByteBuffer> finish(FileWriter& file, ValueCodec& values) {
    auto aside = values.set_aside();
    if (!aside) return std::unexpected(std::move(aside.error()));
    if (*aside) {
        file.begin(kValues);
        file.out.raw(**aside);
        file.end();
    }
    return file.finish();
}

// ---- reading

bool valid_utf8(std::string_view text) {
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const uint8_t c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t length;
        uint32_t point;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2, point = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3, point = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4, point = c & 0x07;
        } else {
            return false;
        }
        if (n - i < length) return false;
        for (size_t k = 1; k < length; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            point = point << 6 | (s[i + k] & 0x3F);
        }
        constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        if (point < kLeast[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

// The strings section's strings, as views into it.
Result<std::vector<std::string_view>> read_strings(ByteReader in) {
    const uint64_t count = in.u64();
    if (!in.has(count, sizeof(uint32_t))) return corrupt("in the strings", in);
    ByteReader lengths = in.part(count * sizeof(uint32_t));
    std::vector<std::string_view> strings;
    strings.reserve(count);
    for (uint64_t id = 0; id < count; ++id) {
        const auto text = in.bytes(lengths.u32());
        strings.emplace_back(reinterpret_cast<const char*>(text.data()), text.size());
    }
    if (in.ok() && !in.at_end()) in.fail("bytes left after the last string");
    if (!in.ok()) return corrupt("in the strings", in);
    return strings;
}

// Into an empty interner, sized for all of them at once; each string must
// be new, so that IDs are positions.
Status intern_all(std::span<const std::string_view> strings, StringInterner& interner) {
    auto sized = StringInterner::with_capacity(strings.size());
    if (!sized) return std::unexpected(std::move(sized.error()));
    interner = std::move(*sized);
    // A run at a time, so that the lookups overlap their waits for memory.
    constexpr size_t kRun = 4096;
    std::vector<uint32_t> ids;
    for (size_t first = 0; first < strings.size(); first += kRun) {
        const auto whole_run = strings.subspan(first, std::min(kRun, strings.size() - first));
        // Up to the first string that is not UTF-8: a repeat before it is
        // the first fault.
        const auto valid_count = static_cast<size_t>(std::ranges::find_if_not(whole_run, valid_utf8) - whole_run.begin());
        const auto run = whole_run.first(valid_count);
        ids.resize(run.size());
        if (Status status = interner.intern_each(run, ids); !status) return status;
        for (size_t i = 0; i < run.size(); ++i) {
            if (ids[i] != first + i) {
                return std::unexpected(invalid("Corrupt tessellar file, in the strings: string " +
                                               std::to_string(first + i) + " repeats string " + std::to_string(ids[i])));
            }
        }
        if (valid_count < whole_run.size()) {
            return std::unexpected(invalid("Corrupt tessellar file, in the strings: string " +
                                           std::to_string(first + valid_count) + " is not valid UTF-8"));
        }
    }
    return {};
}

Status read_datasets(ByteReader in, Frame& frame) {
    const uint32_t count = in.u32();
    if (!in.has(count, sizeof(uint32_t))) return corrupt("in the datasets", in);
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t id = in.u32();
        if (id >= frame.interner().size()) {
            in.fail("dataset " + std::to_string(i) + " names string " + std::to_string(id) + ", past the strings");
        } else if (frame.datasets().find(frame.interner().string_at(id))) {
            in.fail("dataset " + quoted(frame.interner().string_at(id)) + " is declared twice");
        }
        if (!in.ok()) return corrupt("in the datasets", in);
        if (auto declared = frame.declare_dataset(frame.interner().string_at(id)); !declared) {
            return std::unexpected(std::move(declared.error()));
        }
    }
    if (!in.at_end()) in.fail("bytes left after the last dataset");
    if (!in.ok()) return corrupt("in the datasets", in);
    return {};
}

// Reads entities into plain groups for Entity::from_interned, reusing the
// buffers from one entity to the next.
class EntityReader {
public:
    // `strings`: the frame's strings, by ID, when there is a frame.
    EntityReader(ValueCodec& values, std::span<const std::string_view> strings, uint64_t id_budget)
        : values_(values), strings_(strings), budget_(id_budget) {}

    Entity read(ByteReader& in) {
        const uint32_t count = in.u32();
        if (!in.has(count, 20)) return {};  // the least a dataset takes
        if (groups_.size() < count + 1) groups_.resize(count + 1);
        bool any_order = false, any_unordered_many = false;
        for (uint32_t i = 0; i < count && in.ok(); ++i) {
            auto& group = groups_[i];
            group.dataset_id = in.u32();
            for (uint32_t k = 0; k < i; ++k) {
                if (groups_[k].dataset_id == group.dataset_id) in.fail("a dataset appears twice in one entity");
            }
            ByteReader set = in.part(in.u32());
            read_portable(set, group.in_order, budget_);
            in.fail_as(set);
            read_order(in, group);
            any_order = any_order || !group.by_string.empty();
            any_unordered_many = any_unordered_many || (group.by_string.empty() && group.in_order.size() > 1);
        }
        if (!in.ok()) return {};
        size_t used = count;
        for (uint32_t i = 0; i < count; ++i) {
            auto& group = groups_[i];
            if (!group.by_string.empty()) continue;
            group.by_string = group.in_order;
            if (any_order && group.by_string.size() > 1) sort_by_string(group.by_string);
        }
        // An entity that kept no order (changed after ingestion) sorts at
        // hashing time; a dataset repeated as an empty group makes
        // from_interned drop every order, as such a change did.
        if (!any_order && any_unordered_many) {
            groups_[used].dataset_id = groups_[0].dataset_id;
            groups_[used].in_order.clear();
            groups_[used].by_string.clear();
            ++used;
        }
        Entity entity = Entity::from_interned(std::span(groups_).first(used));
        read_metadata(in, entity);
        return entity;
    }

private:
    void read_order(ByteReader& in, StringInterner::InternedGroup& group) {
        const uint32_t length = in.u32();
        group.by_string.clear();
        if (!in.has(length, sizeof(uint32_t))) return;
        for (uint32_t i = 0; i < length; ++i) group.by_string.push_back(in.u32());
        if (length == 0) return;
        // The order holds the set's IDs, each at least once, and nothing else.
        scratch_.assign(group.by_string.begin(), group.by_string.end());
        std::sort(scratch_.begin(), scratch_.end());
        scratch_.erase(std::unique(scratch_.begin(), scratch_.end()), scratch_.end());
        if (scratch_ != group.in_order) in.fail("a stored record order does not hold the same IDs as its set");
    }

    // By the bytes of the strings; IDs past the strings (which hashing
    // skips) at the end.
    void sort_by_string(std::vector<uint32_t>& ids) const {
        const size_t known = strings_.size();
        std::sort(ids.begin(), ids.end(), [&](uint32_t a, uint32_t b) {
            const bool a_known = a < known, b_known = b < known;
            if (a_known != b_known) return a_known;
            return a_known ? strings_[a] < strings_[b] : a < b;
        });
    }

    void read_metadata(ByteReader& in, Entity& entity) {
        const uint32_t count = in.u32();
        if (!in.has(count, 5)) return;
        int64_t previous = -1;
        for (uint32_t i = 0; i < count && in.ok(); ++i) {
            const uint32_t key = in.u32();
            if (key <= previous) return in.fail("metadata keys not in ascending order");
            previous = key;
            MetadataValue value = values_.read(in);
            if (in.ok()) entity.set_metadata(key, std::move(value));
        }
    }

    ValueCodec& values_;
    std::span<const std::string_view> strings_;
    uint64_t budget_;
    std::vector<StringInterner::InternedGroup> groups_;
    std::vector<uint32_t> scratch_;
};

// One collection's name and contents, read from the collections section.
struct NamedCollection {
    std::string name;
    Collection collection;
};

Result<std::vector<NamedCollection>> read_collections(ByteReader in, EntityReader& entities) {
    std::vector<NamedCollection> collections;
    const uint32_t count = in.u32();
    if (!in.has(count, 16)) return corrupt("in the collections", in);
    for (uint32_t c = 0; c < count; ++c) {
        const std::string_view name = in.text(), process = in.text();
        const uint64_t size = in.u64();
        if (!in.has(size, 8)) return corrupt("in collection " + std::to_string(c), in);
        if (!valid_utf8(name) || !valid_utf8(process)) in.fail("a collection name is not valid UTF-8");
        for (const auto& other : collections) {
            if (other.name == name) in.fail("a second collection named " + quoted(name));
        }
        if (!in.ok()) return corrupt("in collection " + std::to_string(c), in);
        auto& read = collections.emplace_back(NamedCollection{std::string(name), Collection(std::string(process))});
        std::vector<Entity>& stored = read.collection.entities();
        stored.reserve(size);
        for (uint64_t index = 0; index < size; ++index) {
            stored.push_back(entities.read(in));
            if (!in.ok()) return corrupt("in collection " + quoted(name) + ", entity " + std::to_string(index), in);
        }
    }
    if (!in.at_end()) in.fail("bytes left after the last collection");
    if (!in.ok()) return corrupt("after the collections", in);
    return collections;
}

struct Section {
    uint32_t tag;
    ByteReader body;
};

std::string tag_text(uint32_t tag) {
    std::string text;
    for (int shift = 0; shift < 32; shift += 8) {
        const char c = static_cast<char>(tag >> shift & 0xFF);
        text += c >= ' ' && c <= '~' ? c : '?';
    }
    return "'" + text + "'";
}

// The sections a kind of file holds, in order; values set aside may follow.
std::vector<uint32_t> sections_of(FileKind kind) {
    switch (kind) {
        case FileKind::Frame: return {kStrings, kDatasets, kCollections};
        case FileKind::Collection:
        case FileKind::Entity: return {kCollections};
        case FileKind::Interner: return {kStrings};
    }
    return {};
}

Result<std::vector<Section>> read_sections(ByteReader in, FileKind kind) {
    std::vector<Section> sections;
    while (in.ok() && !in.at_end()) {
        const uint32_t tag = in.u32();
        sections.push_back({tag, in.part(in.u64())});
    }
    if (!in.ok()) return corrupt("in the section table", in);
    const std::vector<uint32_t> expected = sections_of(kind);
    const bool values = kind != FileKind::Interner && sections.size() == expected.size() + 1 &&
                        sections.back().tag == kValues;
    bool fits = sections.size() == expected.size() || values;
    for (size_t i = 0; fits && i < expected.size(); ++i) fits = sections[i].tag == expected[i];
    if (!fits) {
        std::string found;
        for (const Section& section : sections) found += (found.empty() ? "" : ", ") + tag_text(section.tag);
        return std::unexpected(invalid("Corrupt tessellar file: unexpected sections (" + found + ")"));
    }
    return sections;
}

// Interning the strings is most of the work and needs nothing else: it runs
// on the pool while this thread reads the collections, which make Python
// objects for metadata and so stay on the calling thread.
Result<Loaded> read_frame(std::vector<Section>& sections, ValueCodec& values, uint64_t id_budget) {
    auto strings = read_strings(sections[0].body);
    if (!strings) return std::unexpected(std::move(strings.error()));
    Frame frame;
    Status interned;
    tbb::task_group interning;
    interning.run([&] { interned = intern_all(*strings, frame.interner()); });
    Result<std::vector<NamedCollection>> collections;
    try {
        EntityReader entities(values, *strings, id_budget);
        collections = read_collections(sections[2].body, entities);
    } catch (...) {
        interning.wait();
        throw;
    }
    interning.wait();
    if (!interned) return std::unexpected(std::move(interned.error()));
    if (Status status = read_datasets(sections[1].body, frame); !status) return std::unexpected(status.error());
    if (!collections) return std::unexpected(std::move(collections.error()));
    for (NamedCollection& read : *collections) frame.add_collection(read.name, std::move(read.collection));
    return Loaded(std::move(frame));
}

}  // namespace

Result<ByteBuffer> save_frame(const Frame& frame, ValueCodec& values) {
    FileWriter file(FileKind::Frame);
    file.begin(kStrings);
    write_strings(frame.interner(), file.out);
    file.end();
    file.begin(kDatasets);
    file.out.u32(static_cast<uint32_t>(frame.datasets().size()));
    for (const auto& [name, id] : frame.datasets().entries()) file.out.u32(id);
    file.end();
    file.begin(kCollections);
    const std::vector<std::string> names = frame.collection_names();
    file.out.u32(static_cast<uint32_t>(names.size()));
    for (const std::string& name : names) {
        auto collection = frame.collection(name);
        if (!collection) return std::unexpected(std::move(collection.error()));
        if (Status status = write_collection(name, **collection, values, &frame.interner(), file.out); !status) {
            return std::unexpected(std::move(status.error()));
        }
    }
    file.end();
    return finish(file, values);
}

Result<ByteBuffer> save_collection(const Collection& collection, ValueCodec& values) {
    FileWriter file(FileKind::Collection);
    file.begin(kCollections);
    file.out.u32(1);
    if (Status status = write_collection(collection.process_name(), collection, values, nullptr, file.out); !status) {
        return std::unexpected(std::move(status.error()));
    }
    file.end();
    return finish(file, values);
}

Result<ByteBuffer> save_entity(const Entity& entity, ValueCodec& values) {
    FileWriter file(FileKind::Entity);
    file.begin(kCollections);
    file.out.u32(1);
    file.out.text("");
    file.out.text("");
    file.out.u64(1);
    std::vector<uint32_t> scratch;
    if (Status status = write_entity(entity, values, nullptr, file.out, scratch); !status) {
        return std::unexpected(invalid("Cannot save the entity: " + status.error().message));
    }
    file.end();
    return finish(file, values);
}

ByteBuffer save_interner(const StringInterner& interner) {
    FileWriter file(FileKind::Interner);
    file.begin(kStrings);
    write_strings(interner, file.out);
    file.end();
    return file.finish();
}

Result<Loaded> load_file(std::span<const uint8_t> data, ValueCodec& values) {
    if (data.size() < kMagic.size() || !std::equal(kMagic.begin(), kMagic.end(), data.begin())) {
        return std::unexpected(invalid("Not a tessellar file: it does not start with the tessellar magic number"));
    }
    ByteReader header(data.subspan(kMagic.size()), kMagic.size());
    const uint16_t version = header.u16(), kind_code = header.u16();
    if (!header.ok() || data.size() < kHeaderSize + kChecksumSize) {
        return std::unexpected(invalid("Truncated tessellar file: " + std::to_string(data.size()) +
                                       " bytes, fewer than a header and a checksum"));
    }
    if (version != kFileVersion) {
        return std::unexpected(invalid("Unsupported tessellar file version " + std::to_string(version) +
                                       ": this build reads version " + std::to_string(kFileVersion)));
    }
    if (kind_code < 1 || kind_code > 4) {
        return std::unexpected(invalid("Corrupt tessellar file: unknown kind of object " + std::to_string(kind_code)));
    }
    const auto content = data.first(data.size() - kChecksumSize);
    auto digest = make_digest(Algorithm::Blake3);
    digest->update(content);
    const std::vector<uint8_t> checksum = DynDigest::finalize(std::move(digest));
    if (!std::equal(checksum.begin(), checksum.end(), data.end() - kChecksumSize)) {
        return std::unexpected(invalid("Corrupt tessellar file: the checksum in its last " +
                                       std::to_string(kChecksumSize) +
                                       " bytes does not match its content (damaged, truncated or changed)"));
    }
    const auto kind = static_cast<FileKind>(kind_code);
    auto sections = read_sections(ByteReader(content.subspan(kHeaderSize), kHeaderSize), kind);
    if (!sections) return std::unexpected(std::move(sections.error()));
    const size_t expected = sections_of(kind).size();
    std::optional<std::span<const uint8_t>> aside;
    if (sections->size() > expected) aside = sections->back().body.rest();
    if (Status status = values.take_set_aside(aside); !status) return std::unexpected(std::move(status.error()));

    // Run-length sets stand for many IDs in few bytes: a bound on what a
    // file of this size may decode to keeps a forged one from exhausting memory.
    const uint64_t id_budget = (uint64_t{1} << 26) + 64 * uint64_t{data.size()};
    if (kind == FileKind::Frame) return read_frame(*sections, values, id_budget);
    if (kind == FileKind::Interner) {
        auto strings = read_strings((*sections)[0].body);
        if (!strings) return std::unexpected(std::move(strings.error()));
        StringInterner interner;
        if (Status status = intern_all(*strings, interner); !status) return std::unexpected(status.error());
        return Loaded(std::move(interner));
    }
    EntityReader entities(values, {}, id_budget);
    auto collections = read_collections((*sections)[0].body, entities);
    if (!collections) return std::unexpected(std::move(collections.error()));
    if (collections->size() != 1 || (kind == FileKind::Entity && std::as_const((*collections)[0].collection).entities().size() != 1)) {
        return std::unexpected(invalid("Corrupt tessellar file: it holds another number of " +
                                       std::string(kind == FileKind::Entity ? "entities" : "collections") +
                                       " than one"));
    }
    Collection& collection = (*collections)[0].collection;
    if (kind == FileKind::Entity) return Loaded(std::move(collection.entities()[0]));
    return Loaded(std::move(collection));
}

}  // namespace tessellar
