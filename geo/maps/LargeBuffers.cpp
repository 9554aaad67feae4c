#include "maps/LargeBuffers.h"

#include <sys/mman.h>

#include <cstdint>

namespace lrptgeo {

void AdviseHugePages(const void* aData, size_t aBytes) {
#ifdef MADV_HUGEPAGE
    constexpr uintptr_t kHuge = uintptr_t{2} << 20;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(aData) + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(aData) + aBytes) & ~(kHuge - 1);
    if (aData && end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)aData;
    (void)aBytes;
#endif
}

} // namespace lrptgeo
