#pragma once
// Asks the kernel to back a large block with huge pages where it allows them only on
// request: a long list's blocks then fault in 2 MiB at a time instead of 4 KiB, which on
// a virtual machine is most of what filling them costs.
#include <cstddef>
#include <cstdint>
#include <sys/mman.h>

namespace wire {

inline void adviseHugePages(void *p, size_t bytes)
{
    constexpr uintptr_t kHuge = uintptr_t(2) << 20;
    if (bytes < 2 * kHuge)
        return;
    const uintptr_t from = (reinterpret_cast<uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t to = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(kHuge - 1);
    if (to > from)
        madvise(reinterpret_cast<void *>(from), to - from, MADV_HUGEPAGE); // advice only: a refusal changes nothing
}

} // namespace wire
