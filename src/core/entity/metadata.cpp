#include "core/entity/metadata.h"

namespace tessellar {

namespace {

// Until a binding installs its own, values are counted by no one: only
// empty values can exist, and making one from bytes fails.
void ignore(void*) noexcept {}
MetadataValue no_value(std::span<const uint8_t>) noexcept { return {}; }
std::optional<std::span<const uint8_t>> no_bytes(void*) noexcept { return std::nullopt; }

MetadataOps installed{ignore, ignore, no_value, no_bytes};

}  // namespace

void install_metadata_ops(const MetadataOps& ops) noexcept { installed = ops; }

const MetadataOps& metadata_ops() noexcept { return installed; }

}  // namespace tessellar
