// Resampling of a tile mosaic into a view: where each output column and row
// falls in the mosaic is worked out once, and the pixels are then blended in
// integer arithmetic. Not part of the installed interface.
#pragma once

#include <cstddef>
#include <vector>

namespace VMK {
namespace tiles {

// For each output column (or row): the two source pixels it blends and the
// weight of the second in 128ths. `first` is -1 where the output lies
// outside the mosaic.
struct SampleAxis {
    std::vector<int> first;
    std::vector<int> second;
    std::vector<int> weight;
};

// `positions` are the output pixels' centres in mosaic pixels (0 is the
// mosaic's left or top edge); `size` is the mosaic's width or height.
SampleAxis MakeAxis(const std::vector<double>& positions, int size, bool bilinear);

// Writes output rows rowBegin .. rowEnd - 1 (RGBA, `rowBytes` apart) from the
// RGBA mosaic `width` pixels wide. Colours are weighted by alpha, so that
// transparent (missing) neighbours fade an edge instead of darkening it;
// pixels outside the mosaic are left as they are.
void ResampleRows(const unsigned char* mosaic, int width, const SampleAxis& columns, const SampleAxis& rows,
                  int rowBegin, int rowEnd, unsigned char* out, size_t rowBytes);

} // namespace tiles
} // namespace VMK
