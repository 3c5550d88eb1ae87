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

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

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

std::shared_ptr<unsigned char> MapPixels(size_t bytes) {
    if (bytes == 0) return nullptr;
    void* data = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (data == MAP_FAILED) return nullptr;
    auto* pixels = static_cast<unsigned char*>(data);
    if (bytes >= 2 * kHugePage) AdviseHugePages(pixels, bytes);
    // Kernels before 5.14 refuse the advice; the pages then come one fault
    // at a time, as with any other memory.
    ::madvise(data, bytes, MADV_POPULATE_WRITE);
    return std::shared_ptr<unsigned char>(pixels, [bytes](unsigned char* p) { ::munmap(p, bytes); });
}

} // namespace VMK
