#include "VmPixelBuffer.h"

#include <cstdint>

#include <sys/mman.h>

namespace VMK {

namespace {

constexpr size_t kHugePage = size_t(2) << 20;

// Only the whole huge pages inside the range qualify; the kernel may still
// decline (transparent huge pages off), which costs nothing but the call.
void AdviseHugePages(unsigned char* data, size_t bytes) {
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(kHugePage - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

} // namespace

void AllocatePixels(std::vector<unsigned char>& pixels, size_t bytes) {
    pixels.clear();
    if (bytes >= 2 * kHugePage && pixels.capacity() < bytes) {
        std::vector<unsigned char>().swap(pixels);
        pixels.reserve(bytes);
        AdviseHugePages(pixels.data(), bytes);
    }
    pixels.assign(bytes, 0);
}

} // namespace VMK
