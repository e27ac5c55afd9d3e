#include "core/interner/id_table.h"

#include <bit>
#include <utility>

namespace tessellar {

size_t IdTable::slots_for(size_t count) noexcept {
    size_t slots = 16;
    while (count * kLoadDenominator > slots * kLoadNumerator) slots *= 2;
    return slots;
}

void IdTable::reserve(size_t count) {
    // Every insertion asks: most find room at once, without sizing a table.
    if (count * kLoadDenominator <= slots_.size() * kLoadNumerator) return;
    if (const size_t wanted = slots_for(count); wanted > slots_.size()) rebuild(wanted);
}

void IdTable::rebuild(size_t slot_count) {
    std::vector<uint64_t> old = std::exchange(slots_, std::vector<uint64_t>(slot_count));
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(slot_count));
    for (const uint64_t slot : old) {
        if (slot == 0) continue;
        size_t at = home(tag_in(slot));
        while (slots_[at] != 0) at = next(at);
        slots_[at] = slot;
    }
}

void IdTable::insert(uint32_t tag, uint32_t id) {
    reserve(count_ + 1);
    size_t at = home(tag);
    while (slots_[at] != 0) at = next(at);
    slots_[at] = slot_of(tag, id);
    ++count_;
}

// Backward-shift deletion: later slots of the probe move into the hole when
// their home allows, so that no lookup stops early at it.
void IdTable::erase(uint32_t tag, uint32_t id) noexcept {
    const uint64_t wanted = slot_of(tag, id);
    if (slots_.empty()) return;
    size_t hole = home(tag);
    for (; slots_[hole] != wanted; hole = next(hole)) {
        if (slots_[hole] == 0) return;  // not there
    }
    const size_t mask = slots_.size() - 1;
    for (size_t at = next(hole); slots_[at] != 0; at = next(at)) {
        const size_t from_home = (at - home(tag_in(slots_[at]))) & mask;
        if (from_home >= ((at - hole) & mask)) {
            slots_[hole] = slots_[at];
            hole = at;
        }
    }
    slots_[hole] = 0;
    --count_;
}

}  // namespace tessellar
