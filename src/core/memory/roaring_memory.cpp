#include "core/memory/roaring_memory.h"

#include "core/memory/allocate.h"

#include <dlfcn.h>
#include <elf.h>
#include <malloc.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

namespace tessellar {

namespace {

// Covers the largest step of any guarded operation: kRoaringStep values that
// each open a container, with the container index doubling, or a copy
// small enough to be made in one call.
constexpr size_t kReserveBytes = size_t{16} << 20;

// Handed out from the front; whole again once every block is back. Blocks
// only live until the guarded operation that took them is undone.
class Reserve {
public:
    bool ready() const noexcept { return base_ != nullptr; }

    bool map() noexcept {
        void* memory = mmap(nullptr, kReserveBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                            -1, 0);
        if (memory == MAP_FAILED) return false;
        base_ = static_cast<char*>(memory);
        return true;
    }

    bool owns(const void* pointer) const noexcept {
        const auto* byte = static_cast<const char*>(pointer);
        return base_ && byte >= base_ && byte < base_ + kReserveBytes;
    }

    // Null when the reserve is spent; Roaring then stops, as it would have.
    void* take(size_t size, size_t alignment) noexcept {
        const std::lock_guard lock(mutex_);
        alignment = std::max(alignment, alignof(std::max_align_t));
        const size_t start = (used_ + sizeof(Header) + alignment - 1) / alignment * alignment;
        if (start + size > kReserveBytes) return nullptr;
        reinterpret_cast<Header*>(base_ + start)[-1].size = size;
        used_ = start + size;
        ++live_;
        ++uses_;
        return base_ + start;
    }

    void give_back(void*) noexcept {
        const std::lock_guard lock(mutex_);
        if (--live_ == 0) used_ = 0;
    }

    static size_t size_of(const void* pointer) noexcept {
        return reinterpret_cast<const Header*>(pointer)[-1].size;
    }

    bool whole() noexcept {
        const std::lock_guard lock(mutex_);
        return live_ == 0;
    }

    uint64_t uses() noexcept {
        const std::lock_guard lock(mutex_);
        return uses_;
    }

private:
    struct alignas(std::max_align_t) Header {
        size_t size;
    };

    char* base_ = nullptr;
    std::mutex mutex_;
    size_t used_ = 0;
    size_t live_ = 0;
    uint64_t uses_ = 0;
};

Reserve reserve;

// Every extension module of ours carries this code, and libroaring is one
// per process: the first module to load routes its allocator calls, and a
// later one finds out by asking the hook already in place for its reserve.
// No real allocation asks for this size.
constexpr size_t kReserveQuery = SIZE_MAX - 0x7e5e;

// Roaring's allocator calls. Outside the reserve they are the C library's.
void* roaring_malloc(size_t size) noexcept {
    if (size == kReserveQuery) return &reserve;
    if (void* memory = injected_failure() ? nullptr : std::malloc(size)) return memory;
    return reserve.take(size, alignof(std::max_align_t));
}

void* roaring_calloc(size_t count, size_t size) noexcept {
    if (void* memory = injected_failure() ? nullptr : std::calloc(count, size)) return memory;
    if (size != 0 && count > SIZE_MAX / size) return nullptr;
    void* memory = reserve.take(count * size, alignof(std::max_align_t));
    if (memory) std::memset(memory, 0, count * size);
    return memory;
}

void roaring_free(void* memory) noexcept {
    if (reserve.owns(memory)) {
        reserve.give_back(memory);
    } else {
        std::free(memory);
    }
}

void* roaring_realloc(void* memory, size_t size) noexcept {
    if (!reserve.owns(memory)) {
        if (void* moved = injected_failure() ? nullptr : std::realloc(memory, size)) return moved;
        if (size == 0) return nullptr;
        void* taken = reserve.take(size, alignof(std::max_align_t));
        if (taken && memory) {
            std::memcpy(taken, memory, std::min(size, malloc_usable_size(memory)));
            std::free(memory);
        }
        return taken;
    }
    // Out of the reserve whenever the C library can take the block over.
    void* moved = roaring_malloc(size);
    if (!moved) return nullptr;
    std::memcpy(moved, memory, std::min(size, Reserve::size_of(memory)));
    roaring_free(memory);
    return moved;
}

int roaring_posix_memalign(void** memory, size_t alignment, size_t size) noexcept {
    if (!injected_failure() && posix_memalign(memory, alignment, size) == 0) return 0;
    *memory = reserve.take(size, alignment);
    return *memory ? 0 : ENOMEM;
}

struct Hook {
    std::string_view symbol;
    void* replacement;
};

const std::array<Hook, 5> kHooks{{
    {"malloc", reinterpret_cast<void*>(&roaring_malloc)},
    {"calloc", reinterpret_cast<void*>(&roaring_calloc)},
    {"realloc", reinterpret_cast<void*>(&roaring_realloc)},
    {"free", reinterpret_cast<void*>(&roaring_free)},
    {"posix_memalign", reinterpret_cast<void*>(&roaring_posix_memalign)},
}};

// The loaded object that holds `address`, found among the program's.
struct LoadedObject {
    const void* address;
    ElfW(Addr) bias = 0;
    const ElfW(Phdr)* headers = nullptr;
    size_t header_count = 0;
};

int find_object(dl_phdr_info* info, size_t, void* data) {
    auto* wanted = static_cast<LoadedObject*>(data);
    const auto address = reinterpret_cast<ElfW(Addr)>(wanted->address);
    for (size_t i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        const ElfW(Addr) start = info->dlpi_addr + header.p_vaddr;
        if (header.p_type == PT_LOAD && address >= start && address < start + header.p_memsz) {
            wanted->bias = info->dlpi_addr;
            wanted->headers = info->dlpi_phdr;
            wanted->header_count = info->dlpi_phnum;
            return 1;
        }
    }
    return 0;
}

// Whether a slot of `object` leads somewhere other than the allocator that
// every object resolves or `object`'s own lazy-binding stubs: to another
// module's hook, which answers kReserveQuery. The allocator itself is not
// asked, as a sanitizer's aborts on that size.
bool routed_elsewhere(void* function, const LoadedObject& object) {
    Dl_info target{}, allocator{}, own{};
    if (!dladdr(function, &target) || !dladdr(reinterpret_cast<void*>(&malloc), &allocator) ||
        !dladdr(object.address, &own)) {
        return false;
    }
    return target.dli_fbase != allocator.dli_fbase && target.dli_fbase != own.dli_fbase;
}

// Points the object's relocated references to the hooked functions at ours:
// all of them or, when one cannot be found, none. When another module of
// ours did it first, leaves them and hands back its reserve in `shared`.
bool redirect_allocator(const LoadedObject& object, Reserve** shared) {
    const ElfW(Dyn)* dynamic = nullptr;
    for (size_t i = 0; i < object.header_count; ++i) {
        if (object.headers[i].p_type == PT_DYNAMIC) {
            dynamic = reinterpret_cast<const ElfW(Dyn)*>(object.bias + object.headers[i].p_vaddr);
        }
    }
    if (!dynamic) return false;
    // The dynamic linker has usually made these addresses absolute already.
    const auto absolute = [&](ElfW(Addr) address) { return address < object.bias ? address + object.bias : address; };
    const ElfW(Sym)* symbols = nullptr;
    const char* names = nullptr;
    std::array<std::pair<const ElfW(Rela)*, size_t>, 2> tables{};
    for (const ElfW(Dyn)* entry = dynamic; entry->d_tag != DT_NULL; ++entry) {
        switch (entry->d_tag) {
            case DT_SYMTAB: symbols = reinterpret_cast<const ElfW(Sym)*>(absolute(entry->d_un.d_ptr)); break;
            case DT_STRTAB: names = reinterpret_cast<const char*>(absolute(entry->d_un.d_ptr)); break;
            case DT_JMPREL: tables[0].first = reinterpret_cast<const ElfW(Rela)*>(absolute(entry->d_un.d_ptr)); break;
            case DT_PLTRELSZ: tables[0].second = entry->d_un.d_val / sizeof(ElfW(Rela)); break;
            case DT_RELA: tables[1].first = reinterpret_cast<const ElfW(Rela)*>(absolute(entry->d_un.d_ptr)); break;
            case DT_RELASZ: tables[1].second = entry->d_un.d_val / sizeof(ElfW(Rela)); break;
        }
    }
    if (!symbols || !names) return false;

    std::vector<std::pair<void**, void*>> slots;
    std::array<bool, kHooks.size()> found{};
    for (const auto& [relocations, count] : tables) {
        for (size_t i = 0; relocations && i < count; ++i) {
            const auto type = ELF64_R_TYPE(relocations[i].r_info);
            if (type != R_X86_64_JUMP_SLOT && type != R_X86_64_GLOB_DAT) continue;
            const std::string_view name = names + symbols[ELF64_R_SYM(relocations[i].r_info)].st_name;
            for (size_t h = 0; h < kHooks.size(); ++h) {
                if (name != kHooks[h].symbol) continue;
                slots.emplace_back(reinterpret_cast<void**>(object.bias + relocations[i].r_offset), kHooks[h].replacement);
                found[h] = true;
            }
        }
    }
    if (!std::ranges::all_of(found, [](bool f) { return f; })) return false;

    // Already routed by another module of ours: share its reserve.
    for (const auto& [slot, replacement] : slots) {
        if (replacement != kHooks[0].replacement) continue;
        const auto current = reinterpret_cast<void* (*)(size_t)>(__atomic_load_n(slot, __ATOMIC_ACQUIRE));
        if (!routed_elsewhere(reinterpret_cast<void*>(current), object)) continue;
        if (void* theirs = current(kReserveQuery)) {
            *shared = static_cast<Reserve*>(theirs);
            return true;
        }
    }

    if (!reserve.map()) return false;
    const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    for (const auto& [slot, replacement] : slots) {
        void* start = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(slot) & ~(page - 1));
        // Slots behind RELRO are read-only by now; they stay writable, like
        // those of lazily bound objects.
        if (mprotect(start, page, PROT_READ | PROT_WRITE) != 0) return false;
        __atomic_store_n(slot, replacement, __ATOMIC_RELEASE);
    }
    return true;
}

// The reserve Roaring's allocations fall back on, ours or another module's;
// null when they are not routed.
Reserve* install() noexcept {
    LoadedObject roaring{reinterpret_cast<const void*>(&roaring_bitmap_create)};
    if (!dl_iterate_phdr(find_object, &roaring)) return nullptr;
    Reserve* shared = nullptr;
    if (!redirect_allocator(roaring, &shared)) return nullptr;
    return shared ? shared : &reserve;
}

Reserve* active() noexcept {
    static Reserve* const in_use = install();
    return in_use;
}

bool guarded() noexcept { return active() != nullptr; }

// Runs `step` over consecutive slices of `values` within `call`, stopping
// with std::bad_alloc (after `undo`) as soon as a slice drew on the reserve.
template <class Step, class Undo>
void in_steps(const RoaringCall& call, std::span<const uint32_t> values, Step step, Undo undo) {
    for (size_t first = 0; first < values.size(); first += kRoaringStep) {
        step(values.subspan(first, std::min(kRoaringStep, values.size() - first)));
        if (call.ran_short()) {
            undo();
            throw std::bad_alloc();
        }
    }
}

roaring_bitmap_t* new_bitmap(const RoaringCall& call) {
    roaring_bitmap_t* bitmap = roaring_bitmap_create();
    if (!bitmap) throw std::bad_alloc();
    if (call.ran_short()) {
        roaring_bitmap_free(bitmap);
        throw std::bad_alloc();
    }
    return bitmap;
}

// Packs runs and drops slack: bitmaps are built once and mostly read.
void pack(roaring_bitmap_t* bitmap, const RoaringCall& call) {
    roaring_bitmap_run_optimize(bitmap);
    roaring_bitmap_shrink_to_fit(bitmap);
    if (call.ran_short()) throw std::bad_alloc();
}

}  // namespace

RoaringCall::RoaringCall() {
    Reserve* in_use = active();
    if (in_use && !in_use->whole()) throw std::bad_alloc();
    reserve_uses_ = in_use ? in_use->uses() : 0;
}

bool RoaringCall::ran_short() const noexcept { return active() && active()->uses() != reserve_uses_; }

bool roaring_memory_guarded() noexcept { return guarded(); }

// Frees the bitmap when the work on it throws.
struct Dropped {
    roaring_bitmap_t* bitmap;
    ~Dropped() {
        if (bitmap) roaring_bitmap_free(bitmap);
    }
    roaring_bitmap_t* keep() { return std::exchange(bitmap, nullptr); }
};

roaring_bitmap_t* bitmap_of(std::span<const uint32_t> values) {
    const RoaringCall call;
    Dropped bitmap{new_bitmap(call)};
    bitmap_add_all(bitmap.bitmap, values, call);
    pack(bitmap.bitmap, call);
    return bitmap.keep();
}

void bitmap_add_all(roaring_bitmap_t* target, std::span<const uint32_t> values, const RoaringCall& call) {
    in_steps(
        call, values, [&](auto slice) { roaring_bitmap_add_many(target, slice.size(), slice.data()); }, [] {});
}

void bitmap_add_all(roaring_bitmap_t* target, const roaring_bitmap_t* source, const RoaringCall& call) {
    if (roaring_bitmap_portable_size_in_bytes(source) <= kReserveBytes / 4) {
        roaring_bitmap_or_inplace(target, source);
        if (call.ran_short()) throw std::bad_alloc();
        return;
    }
    // Too large for one step: its values a slice at a time.
    std::vector<uint32_t> slice(kRoaringStep);
    roaring_uint32_iterator_t it;
    roaring_init_iterator(source, &it);
    while (it.has_value) {
        const uint32_t count = roaring_read_uint32_iterator(&it, slice.data(), static_cast<uint32_t>(slice.size()));
        bitmap_add_all(target, std::span<const uint32_t>(slice.data(), count), call);
    }
}

roaring_bitmap_t* bitmap_copy(const roaring_bitmap_t* source) {
    const RoaringCall call;
    Dropped copy{new_bitmap(call)};
    bitmap_add_all(copy.bitmap, source, call);
    pack(copy.bitmap, call);
    return copy.keep();
}

void bitmap_add(roaring_bitmap_t* bitmap, std::span<const uint32_t> values) {
    const RoaringCall call;
    // The values that are new, to take them out again if memory runs short.
    std::vector<uint32_t> added;
    for (const uint32_t value : values) {
        if (!roaring_bitmap_contains(bitmap, value)) added.push_back(value);
    }
    in_steps(
        call, added, [&](auto slice) { roaring_bitmap_add_many(bitmap, slice.size(), slice.data()); },
        [&] {
            for (const uint32_t value : added) roaring_bitmap_remove(bitmap, value);
            // Moves what it can out of the reserve again.
            roaring_bitmap_shrink_to_fit(bitmap);
        });
}

}  // namespace tessellar
