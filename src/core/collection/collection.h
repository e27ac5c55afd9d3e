// The ordered entities that one resolution process produced.
#pragma once

#include "core/entity/entity.h"
#include "core/error.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tessellar {

class Collection {
public:
    explicit Collection(std::string process_name) : process_name_(std::move(process_name)) {}

    const std::string& process_name() const noexcept { return process_name_; }
    std::vector<Entity>& entities() noexcept { return entities_; }
    const std::vector<Entity>& entities() const noexcept { return entities_; }
    size_t size() const noexcept { return entities_.size(); }
    bool empty() const noexcept { return entities_.empty(); }

    // IndexError "Entity index out of range" unless index < size().
    Result<Entity*> entity_at(uint64_t index);
    Result<const Entity*> entity_at(uint64_t index) const;

    // Sum over entities of their record totals.
    uint64_t total_records() const noexcept;

private:
    std::string process_name_;
    std::vector<Entity> entities_;
};

}  // namespace tessellar
