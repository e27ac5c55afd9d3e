// Metadata values for tests: cells with a reference count, so a test sees
// every retain and release the core makes, without an interpreter.
#pragma once

#include "core/entity/metadata.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace tessellar {

struct CountedCell {
    int references = 1;
    std::optional<std::vector<uint8_t>> bytes;  // set for byte strings
};

// Installs counted values for its lifetime; `make` returns a value holding
// the only reference to a new cell, and `references` reads a cell's count.
class CountedValues {
public:
    CountedValues();
    ~CountedValues();

    MetadataValue make(std::optional<std::vector<uint8_t>> bytes = std::nullopt);
    static int references(const MetadataValue& value);
    static CountedCell& cell(const MetadataValue& value) { return *static_cast<CountedCell*>(value.handle()); }
    // Cells whose count has not dropped to zero.
    static size_t live();

private:
    MetadataOps previous_;
};

}  // namespace tessellar
