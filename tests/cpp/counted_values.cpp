#include "counted_values.h"

namespace tessellar {

namespace {

size_t live_cells = 0;

void retain(void* handle) noexcept { ++static_cast<CountedCell*>(handle)->references; }

void release(void* handle) noexcept {
    auto* cell = static_cast<CountedCell*>(handle);
    if (--cell->references == 0) {
        delete cell;
        --live_cells;
    }
}

MetadataValue from_bytes(std::span<const uint8_t> bytes) noexcept {
    ++live_cells;
    return MetadataValue::adopt(new CountedCell{1, std::vector<uint8_t>(bytes.begin(), bytes.end())});
}

std::optional<std::span<const uint8_t>> as_bytes(void* handle) noexcept {
    const auto& bytes = static_cast<CountedCell*>(handle)->bytes;
    if (!bytes) return std::nullopt;
    return std::span<const uint8_t>(*bytes);
}

}  // namespace

CountedValues::CountedValues() : previous_(metadata_ops()) {
    install_metadata_ops({retain, release, from_bytes, as_bytes});
}

CountedValues::~CountedValues() { install_metadata_ops(previous_); }

MetadataValue CountedValues::make(std::optional<std::vector<uint8_t>> bytes) {
    ++live_cells;
    return MetadataValue::adopt(new CountedCell{1, std::move(bytes)});
}

int CountedValues::references(const MetadataValue& value) { return cell(value).references; }

size_t CountedValues::live() { return live_cells; }

}  // namespace tessellar
