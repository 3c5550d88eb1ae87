#include "VmTileResample.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace VMK {
namespace tiles {

namespace {

constexpr int kOne = 128;  // weights are in 128ths: four products and 255 squared fit 32 bits

// Blends the four neighbours with weights (128 - wx, wx) x (128 - wy, wy).
inline void Blend(const unsigned char* p00, const unsigned char* p01, const unsigned char* p10,
                  const unsigned char* p11, uint32_t wx, uint32_t wy, unsigned char* out) {
    const uint32_t w00 = (kOne - wx) * (kOne - wy), w01 = wx * (kOne - wy);
    const uint32_t w10 = (kOne - wx) * wy, w11 = wx * wy;
    if ((p00[3] & p01[3] & p10[3] & p11[3]) == 255) {  // opaque: plain weights
        for (int c = 0; c < 3; ++c)
            out[c] = static_cast<unsigned char>((w00 * p00[c] + w01 * p01[c] + w10 * p10[c] + w11 * p11[c] +
                                                 kOne * kOne / 2) / (kOne * kOne));
        out[3] = 255;
        return;
    }
    const uint32_t a00 = w00 * p00[3], a01 = w01 * p01[3], a10 = w10 * p10[3], a11 = w11 * p11[3];
    const uint32_t alpha = a00 + a01 + a10 + a11;
    if (alpha == 0) {
        std::memset(out, 0, 4);
        return;
    }
    for (int c = 0; c < 3; ++c)
        out[c] = static_cast<unsigned char>((a00 * p00[c] + a01 * p01[c] + a10 * p10[c] + a11 * p11[c] + alpha / 2) /
                                            alpha);
    out[3] = static_cast<unsigned char>((alpha + kOne * kOne / 2) / (kOne * kOne));
}

} // namespace

SampleAxis MakeAxis(const std::vector<double>& positions, int size, bool bilinear) {
    SampleAxis axis;
    const size_t count = positions.size();
    axis.first.assign(count, -1);
    axis.second.assign(count, -1);
    axis.weight.assign(count, 0);
    for (size_t i = 0; i < count; ++i) {
        const double u = positions[i];
        if (!(u >= 0.0 && u < static_cast<double>(size))) continue;
        int lower = 0, weight = 0;
        if (bilinear) {
            const double x = u - 0.5;
            lower = static_cast<int>(std::floor(x));
            weight = static_cast<int>(std::lround((x - lower) * kOne));
            if (weight == kOne) ++lower, weight = 0;
        } else {
            lower = static_cast<int>(std::floor(u));
        }
        axis.first[i] = std::min(std::max(lower, 0), size - 1);
        axis.second[i] = std::min(std::max(lower + 1, 0), size - 1);
        axis.weight[i] = weight;
    }
    return axis;
}

void ResampleRows(const unsigned char* mosaic, int width, const SampleAxis& columns, const SampleAxis& rows,
                  int rowBegin, int rowEnd, unsigned char* out, size_t rowBytes) {
    const size_t stride = static_cast<size_t>(width) * 4;
    const int outWidth = static_cast<int>(columns.first.size());
    for (int j = rowBegin; j < rowEnd; ++j) {
        const int r0 = rows.first[static_cast<size_t>(j)];
        if (r0 < 0) continue;
        const unsigned char* line0 = mosaic + static_cast<size_t>(r0) * stride;
        const unsigned char* line1 = mosaic + static_cast<size_t>(rows.second[static_cast<size_t>(j)]) * stride;
        const uint32_t wy = static_cast<uint32_t>(rows.weight[static_cast<size_t>(j)]);
        unsigned char* pixel = out + static_cast<size_t>(j) * rowBytes;
        for (int i = 0; i < outWidth; ++i, pixel += 4) {
            const int c0 = columns.first[static_cast<size_t>(i)];
            if (c0 < 0) continue;
            const uint32_t wx = static_cast<uint32_t>(columns.weight[static_cast<size_t>(i)]);
            const unsigned char* p00 = line0 + static_cast<size_t>(c0) * 4;
            if (wx == 0 && wy == 0) {  // on a source pixel (and always when nearest)
                std::memcpy(pixel, p00, 4);
                continue;
            }
            const size_t c1 = static_cast<size_t>(columns.second[static_cast<size_t>(i)]) * 4;
            Blend(p00, line0 + c1, line1 + static_cast<size_t>(c0) * 4, line1 + c1, wx, wy, pixel);
        }
    }
}

} // namespace tiles
} // namespace VMK
