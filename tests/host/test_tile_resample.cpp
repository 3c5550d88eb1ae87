// Resampling of tile mosaics into views: where output pixels fall, and the
// alpha-weighted bilinear blend in integer arithmetic.
#include "VmTileResample.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>
#include <vector>

namespace {

using VMK::tiles::MakeAxis;
using VMK::tiles::ResampleRows;
using VMK::tiles::SampleAxis;
using Rgba = std::array<int, 4>;

struct Mosaic {
    int width, height;
    std::vector<unsigned char> pixels;
    Mosaic(int w, int h) : width(w), height(h), pixels(static_cast<size_t>(w) * h * 4, 0) {}
    unsigned char* At(int x, int y) { return &pixels[(static_cast<size_t>(y) * width + x) * 4]; }
    void Set(int x, int y, Rgba c) { std::copy(c.begin(), c.end(), At(x, y)); }
    Rgba Get(int x, int y) {
        const unsigned char* p = At(x, y);
        return {p[0], p[1], p[2], p[3]};
    }
};

// Output pixels at the given mosaic positions (pixel-centre units); the
// output starts as 0xAB so that untouched pixels show.
std::vector<Rgba> Sample(const Mosaic& m, const std::vector<double>& xs, const std::vector<double>& ys, bool bilinear) {
    const SampleAxis columns = MakeAxis(xs, m.width, bilinear), rows = MakeAxis(ys, m.height, bilinear);
    const size_t rowBytes = xs.size() * 4;
    std::vector<unsigned char> out(rowBytes * ys.size(), 0xAB);
    ResampleRows(m.pixels.data(), m.width, columns, rows, 0, static_cast<int>(ys.size()), out.data(), rowBytes);
    std::vector<Rgba> result;
    for (size_t i = 0; i < out.size(); i += 4) result.push_back({out[i], out[i + 1], out[i + 2], out[i + 3]});
    return result;
}

TEST(TileResample, AxesFindTheNeighboursAndTheirWeights) {
    const SampleAxis nearest = MakeAxis({-0.01, 0.0, 0.99, 3.5, 3.999, 4.0}, 4, false);
    EXPECT_EQ(nearest.first, (std::vector<int>{-1, 0, 0, 3, 3, -1})) << "outside the mosaic: -1";
    EXPECT_EQ(nearest.weight, (std::vector<int>{0, 0, 0, 0, 0, 0}));
    const SampleAxis blend = MakeAxis({0.5, 1.0, 1.25, 0.1, 3.9, 2.499}, 4, true);
    EXPECT_EQ(blend.first, (std::vector<int>{0, 0, 0, 0, 3, 2}));
    EXPECT_EQ(blend.second, (std::vector<int>{1, 1, 1, 0, 3, 3})) << "neighbours are clamped at the edges";
    EXPECT_EQ(blend.weight, (std::vector<int>{0, 64, 96, 77, 51, 0})) << "in 128ths; 127.9 rounds to the next pixel";
}

TEST(TileResample, BlendsWeighColoursByAlpha) {
    Mosaic m(2, 2);
    m.Set(0, 0, {200, 0, 0, 255});
    m.Set(1, 0, {0, 200, 0, 255});
    m.Set(0, 1, {0, 0, 200, 255});
    m.Set(1, 1, {100, 100, 100, 255});
    EXPECT_EQ(Sample(m, {1.0}, {1.0}, true)[0], (Rgba{75, 75, 75, 255})) << "the mean of four opaque pixels";
    // A transparent neighbour lends no colour, only transparency.
    m.Set(1, 1, {255, 255, 255, 0});
    EXPECT_EQ(Sample(m, {1.0}, {1.0}, true)[0], (Rgba{67, 67, 67, 191}));
    for (const auto& [x, y] : {std::pair(0, 0), std::pair(1, 0), std::pair(0, 1)}) m.Set(x, y, {9, 9, 9, 0});
    EXPECT_EQ(Sample(m, {1.0}, {1.0}, true)[0], (Rgba{0, 0, 0, 0})) << "nothing but transparency";
    EXPECT_EQ(Sample(m, {0.5}, {0.5}, false)[0], (Rgba{9, 9, 9, 0})) << "nearest copies the pixel as it is";
    const std::vector<Rgba> edges = Sample(m, {-0.5, 1.0, 2.0}, {1.0}, true);
    EXPECT_EQ(edges[0], (Rgba{0xAB, 0xAB, 0xAB, 0xAB})) << "outside the mosaic nothing is written";
    EXPECT_EQ(edges[2], (Rgba{0xAB, 0xAB, 0xAB, 0xAB}));
}

// The integer blend against the same blend in doubles, over random colours
// and alphas at a scale that lands everywhere between pixels; a swapped
// weight is off by far more than a level.
TEST(TileResample, IntegerBlendFollowsTheExactOneWithinALevel) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> byte(0, 255);
    Mosaic m(24, 20);
    for (int y = 0; y < m.height; ++y)
        for (int x = 0; x < m.width; ++x) m.Set(x, y, {byte(random), byte(random), byte(random), byte(random) > 60 ? 255 : byte(random)});
    std::vector<double> xs, ys;
    for (int i = 0; i < 61; ++i) xs.push_back(0.2 + i * 0.3917);
    for (int j = 0; j < 53; ++j) ys.push_back(0.1 + j * 0.3731);
    const std::vector<Rgba> got = Sample(m, xs, ys, true);
    int worst = 0;
    for (size_t j = 0; j < ys.size(); ++j) {
        for (size_t i = 0; i < xs.size(); ++i) {
            // The blend's weights are whole 128ths; so are the reference's.
            const double x = xs[i] - 0.5, y = ys[j] - 0.5;
            const int x0 = static_cast<int>(std::floor(x)), y0 = static_cast<int>(std::floor(y));
            const double fx = std::round((x - x0) * 128) / 128, fy = std::round((y - y0) * 128) / 128;
            double sum[4] = {0, 0, 0, 0};
            for (int k = 0; k < 4; ++k) {
                const int px = std::min(std::max(x0 + (k & 1), 0), m.width - 1);
                const int py = std::min(std::max(y0 + (k >> 1), 0), m.height - 1);
                const double w = ((k & 1) ? fx : 1 - fx) * ((k >> 1) ? fy : 1 - fy);
                const Rgba p = m.Get(px, py);
                for (int c = 0; c < 3; ++c) sum[c] += w * p[3] * p[c];
                sum[3] += w * p[3];
            }
            const Rgba& pixel = got[j * xs.size() + i];
            if (sum[3] < 0.5) {
                EXPECT_LE(pixel[3], 1) << "at " << i << "," << j;
                continue;
            }
            for (int c = 0; c < 3; ++c) worst = std::max(worst, std::abs(pixel[c] - static_cast<int>(std::lround(sum[c] / sum[3]))));
            worst = std::max(worst, std::abs(pixel[3] - static_cast<int>(std::lround(sum[3]))));
        }
    }
    EXPECT_LE(worst, 1);
}

} // namespace
