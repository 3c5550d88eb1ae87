// Large pixel buffers. A view or a mosaic of tens of megabytes is written
// once, from start to end: asked for huge pages before that first write, it
// costs a handful of page faults instead of thousands. Not part of the
// installed interface.
#pragma once

#include <cstddef>
#include <vector>

namespace VMK {

// `pixels` becomes `bytes` zeroed bytes; throws std::bad_alloc as
// std::vector::assign does.
void AllocatePixels(std::vector<unsigned char>& pixels, size_t bytes);

} // namespace VMK
