// Allocations of the core that do not go through operator new, and the
// hook for failing allocations on purpose. In the test build made for it,
// every allocation of ours (and every one Roaring makes through us) asks
// whether it should fail, so that a test can fail the k-th one; elsewhere
// the question compiles to nothing.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

#ifdef TESSELLAR_FAULT_INJECTION
extern "C" int tessellar_faults_fail_now(void);
#endif

namespace tessellar {

inline bool injected_failure() noexcept {
#ifdef TESSELLAR_FAULT_INJECTION
    return tessellar_faults_fail_now() != 0;
#else
    return false;
#endif
}

// std::malloc that throws std::bad_alloc instead of returning null.
inline void* allocate_or_throw(size_t bytes) {
    void* memory = injected_failure() ? nullptr : std::malloc(bytes);
    if (!memory) throw std::bad_alloc();
    return memory;
}

}  // namespace tessellar
