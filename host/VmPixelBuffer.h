// Large pixel buffers. A view or a mosaic of tens of megabytes is written
// once, from start to end: asked for huge pages before that first write, it
// costs a handful of page faults instead of thousands. Not part of the
// installed interface.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace VMK {

// `pixels` becomes `bytes` zeroed bytes; throws std::bad_alloc as
// std::vector::assign does.
void AllocatePixels(std::vector<unsigned char>& pixels, size_t bytes);

// `bytes` zeroed bytes of their own mapping, its pages mapped in at once:
// memory that is about to be written whole (a decoded picture) then costs
// one system call instead of a page fault per page. Null when memory is
// short; the last owner unmaps it.
std::shared_ptr<unsigned char> MapPixels(size_t bytes);

} // namespace VMK
