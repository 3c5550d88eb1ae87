// Tile geometry (VmTilePyramid), tile image decoding and the raster block.
#include "VmGdalDrivers.h"
#include "VmTileCache.h"
#include "VmPixelBuffer.h"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_vsi.h>
#include <gdal.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace VMK {

// ---------------------------------------------------------------------------
// VmTilePyramid

bool VmTilePyramid::Finish() {
    Matrices.erase(std::remove_if(Matrices.begin(), Matrices.end(),
                                  [](const VmTileMatrix& m) {
                                      return !(m.Resolution > 0.0) || !std::isfinite(m.Resolution) ||
                                             m.TileWidth <= 0 || m.TileHeight <= 0 || m.MatrixWidth <= 0 ||
                                             m.MatrixHeight <= 0 || m.MaxRow < m.MinRow || m.MaxCol < m.MinCol ||
                                             !std::isfinite(m.TopLeftX) || !std::isfinite(m.TopLeftY);
                                  }),
                   Matrices.end());
    std::stable_sort(Matrices.begin(), Matrices.end(),
                     [](const VmTileMatrix& a, const VmTileMatrix& b) { return a.Resolution > b.Resolution; });

    while (!Matrices.empty()) {
        const VmTileMatrix& deepest = Matrices.back();
        double originX = Matrices.front().TopLeftX;
        double originY = Matrices.front().TopLeftY;
        for (const VmTileMatrix& m : Matrices) {
            originX = std::min(originX, m.TopLeftX);
            originY = std::max(originY, m.TopLeftY);
        }
        double needed = 0.0;
        for (const VmTileMatrix& m : Matrices) {
            needed = std::max(needed, m.TopLeftX + m.MatrixWidth * m.TileSpanX() - originX);
            needed = std::max(needed, originY - (m.TopLeftY - m.MatrixHeight * m.TileSpanY()));
        }
        const int tile = deepest.TileWidth;
        // The relative slack keeps a square that matches the extent exactly
        // (snapped resolutions) from growing a level over rounding.
        const double target = needed * (1.0 - 1e-9);
        int level = 0;
        while ((int64_t(1) << level) * tile <= kMaxPixelSide &&
               std::ldexp(static_cast<double>(tile) * deepest.Resolution, level) < target)
            ++level;
        if ((int64_t(1) << level) * tile <= kMaxPixelSide) {
            ZoomLevel = level;
            TileSize = tile;
            // Scaling by a power of two is exact, so for snapped pyramids the
            // side is the set's extent to the last bit.
            const double side = std::ldexp(static_cast<double>(tile) * deepest.Resolution, level);
            Bounds = PlxRect2D(originX, originY, originX + side, originY - side);
            return true;
        }
        Matrices.pop_back();
    }
    ZoomLevel = 0;
    TileSize = 0;
    Bounds = PlxRect2D();
    return false;
}

int VmTilePyramid::NearestMatrix(double scale) const {
    if (!(scale > 0.0) || !std::isfinite(scale)) return -1;
    int best = -1;
    double bestDistance = std::numeric_limits<double>::infinity();
    for (size_t i = 0; i < Matrices.size(); ++i) {
        const double denominator = Matrices[i].ScaleDenominator;
        if (!(denominator > 0.0)) continue;
        const double distance = std::fabs(std::log(scale / denominator));
        // Matrices run coarse to fine, so "<=" lets a tie go to the finer one.
        if (distance <= bestDistance + 1e-12) {
            best = static_cast<int>(i);
            bestDistance = std::min(distance, bestDistance);
        }
    }
    return best;
}

int VmTilePyramid::FindMatrix(const PlxMBString& identifier) const {
    for (size_t i = 0; i < Matrices.size(); ++i)
        if (Matrices[i].Identifier == identifier) return static_cast<int>(i);
    return -1;
}

double VmTilePyramid::PixelResolution() const {
    const int64_t side = PixelSide();
    return side > 0 ? Bounds.Width() / static_cast<double>(side) : 0.0;
}

PlxRect2D VmTilePyramid::PixelToMap(int left, int top, int right, int bottom) const {
    const double res = PixelResolution();
    return PlxRect2D(Bounds.left + left * res, Bounds.top - top * res, Bounds.left + (static_cast<double>(right) + 1) * res,
                     Bounds.top - (static_cast<double>(bottom) + 1) * res);
}

VmTileRange VmTilePyramid::CoveringTiles(int matrix, const PlxRect2D& bounds, int margin) const {
    VmTileRange range;
    if (matrix < 0 || matrix >= static_cast<int>(Matrices.size())) return range;
    PlxRect2D area = bounds;
    area.Normalize();
    if (!std::isfinite(area.left) || !std::isfinite(area.right) || !std::isfinite(area.top) ||
        !std::isfinite(area.bottom))
        return range;
    const VmTileMatrix& m = Matrices[static_cast<size_t>(matrix)];
    margin = std::max(0, margin);
    // In tile units; a bound that sits on a tile edge (up to rounding) does
    // not pull in the tile beyond it.
    const double eps = 1e-9;
    const double c0 = std::floor((area.left - m.TopLeftX) / m.TileSpanX() + eps);
    double c1 = std::ceil((area.right - m.TopLeftX) / m.TileSpanX() - eps) - 1.0;
    const double r0 = std::floor((m.TopLeftY - area.top) / m.TileSpanY() + eps);
    double r1 = std::ceil((m.TopLeftY - area.bottom) / m.TileSpanY() - eps) - 1.0;
    c1 = std::max(c1, c0);
    r1 = std::max(r1, r0);
    auto clampTo = [](double value, int low, int high) {
        return static_cast<int>(std::min(std::max(value, static_cast<double>(low)), static_cast<double>(high)));
    };
    // Clipping first keeps the widening from overflowing an int.
    const double minCol = c0 - margin, maxCol = c1 + margin, minRow = r0 - margin, maxRow = r1 + margin;
    if (maxCol < m.MinCol || minCol > m.MaxCol || maxRow < m.MinRow || minRow > m.MaxRow) return range;
    range.Matrix = matrix;
    range.MinCol = clampTo(minCol, m.MinCol, m.MaxCol);
    range.MaxCol = clampTo(maxCol, m.MinCol, m.MaxCol);
    range.MinRow = clampTo(minRow, m.MinRow, m.MaxRow);
    range.MaxRow = clampTo(maxRow, m.MinRow, m.MaxRow);
    return range;
}

PlxRect2D VmTilePyramid::TileBounds(int matrix, int row, int col) const {
    if (matrix < 0 || matrix >= static_cast<int>(Matrices.size())) return PlxRect2D();
    const VmTileMatrix& m = Matrices[static_cast<size_t>(matrix)];
    // Each edge from the corner, the way the pixel space computes its own,
    // so that shared edges come out identical.
    return PlxRect2D(m.TopLeftX + col * m.TileSpanX(), m.TopLeftY - row * m.TileSpanY(),
                     m.TopLeftX + (static_cast<double>(col) + 1) * m.TileSpanX(),
                     m.TopLeftY - (static_cast<double>(row) + 1) * m.TileSpanY());
}

PlxMBString VmTilePyramid::Signature() const {
    std::string text;
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, "set=%s;crs=%d;mpu=%.17g;L=%d;T=%d;", TileMatrixSet.c_str(), EpsgCode,
                  MetersPerUnit, ZoomLevel, TileSize);
    text += buffer;
    for (const VmTileMatrix& m : Matrices) {
        std::snprintf(buffer, sizeof buffer, "|%s;%.17g;%.17g;%.17g;%d;%d;%d;%d", m.Identifier.c_str(), m.Resolution,
                      m.TopLeftX, m.TopLeftY, m.TileWidth, m.TileHeight, m.MatrixWidth, m.MatrixHeight);
        text += buffer;
    }
    return PlxMBString(std::move(text));
}

// ---------------------------------------------------------------------------
// Raster block

bool PlxRasterBlock::Init() {
    Data.clear();
    if (RowBytes <= 0) RowBytes = VmImgToolkit::AlignWidth(PixelFormat, PixelWidth);
    if (RowBytes <= 0 || PixelHeight <= 0) return false;
    const int64_t bytes = static_cast<int64_t>(RowBytes) * PixelHeight;
    if (bytes > (int64_t(1) << 30)) return false;
    try {
        AllocatePixels(Data, static_cast<size_t>(bytes));
    } catch (const std::bad_alloc&) {
        Data.clear();
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Images

int VmImgToolkit::AlignWidth(int pixelFormat, int width) {
    int bits = 0;
    switch (pixelFormat) {
    case 1: case 4: case 8: case 16: case 24: case 32: case 48: case 64: bits = pixelFormat; break;
    case 132: bits = 32; break;
    case 164: bits = 64; break;
    default: return 0;
    }
    if (width <= 0) return 0;
    const int64_t bytes = (static_cast<int64_t>(bits) * width + 31) / 32 * 4;
    return bytes > std::numeric_limits<int>::max() ? 0 : static_cast<int>(bytes);
}

PlxMBString VmImgToolkit::SniffImageFormat(const unsigned char* data, size_t size) {
    static const unsigned char png[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (!data) return PlxMBString();
    if (size >= 8 && std::memcmp(data, png, 8) == 0) return "image/png";
    if (size >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF) return "image/jpeg";
    return PlxMBString();
}

namespace {


// Larger tiles than this are not tiles; refusing them keeps a hostile server
// from making us allocate gigabytes.
constexpr int kMaxTileSide = 8192;

} // namespace

bool VmImgToolkit::DecodeImage(const unsigned char* data, size_t size, VmImageData& image) {
    image = VmImageData();
    if (SniffImageFormat(data, size).IsEmpty()) return false;
    EnsureGdalDrivers();

    static std::atomic<unsigned long long> s_counter{0};
    char name[96];
    std::snprintf(name, sizeof name, "/vsimem/vmtilecache_%llu", s_counter.fetch_add(1) + 1);
    // The buffer is only read; GDAL is told not to take it.
    VSILFILE* memFile = VSIFileFromMemBuffer(name, const_cast<GByte*>(data), static_cast<vsi_l_offset>(size), FALSE);
    if (!memFile) return false;
    VSIFCloseL(memFile);

    // Broken tiles are expected from the network and reported by the return
    // value; GDAL's own messages would only fill the log.
    CPLPushErrorHandler(CPLQuietErrorHandler);
    const char* const drivers[] = {"PNG", "JPEG", nullptr};
    GDALDatasetH dataset = GDALOpenEx(name, GDAL_OF_RASTER | GDAL_OF_READONLY, drivers, nullptr, nullptr);
    bool ok = false;
    if (dataset) {
        const int width = GDALGetRasterXSize(dataset);
        const int height = GDALGetRasterYSize(dataset);
        const int bands = GDALGetRasterCount(dataset);
        if (width > 0 && height > 0 && width <= kMaxTileSide && height <= kMaxTileSide && bands >= 1) {
            image.Width = width;
            image.Height = height;
            image.PixelFormat = 32;
            image.RowBytes = width * 4;
            image.Pixels.assign(static_cast<size_t>(image.RowBytes) * height, 255);
            unsigned char* out = image.Pixels.data();
            const int spacing = 4;
            const int line = image.RowBytes;
            ok = true;
            auto readBand = [&](int band, int offset) {
                return GDALRasterIO(GDALGetRasterBand(dataset, band), GF_Read, 0, 0, width, height, out + offset,
                                    width, height, GDT_Byte, spacing, line) == CE_None;
            };
            GDALRasterBandH first = GDALGetRasterBand(dataset, 1);
            GDALColorTableH palette = bands == 1 ? GDALGetRasterColorTable(first) : nullptr;
            if (palette) {
                ok = readBand(1, 0);
                const int entries = GDALGetColorEntryCount(palette);
                for (size_t i = 0; ok && i < image.Pixels.size(); i += 4) {
                    const int index = out[i];
                    GDALColorEntry entry{0, 0, 0, 0};
                    if (index < entries) GDALGetColorEntryAsRGB(palette, index, &entry);
                    out[i] = static_cast<unsigned char>(entry.c1);
                    out[i + 1] = static_cast<unsigned char>(entry.c2);
                    out[i + 2] = static_cast<unsigned char>(entry.c3);
                    out[i + 3] = static_cast<unsigned char>(index < entries ? entry.c4 : 0);
                }
            } else {
                // All bands in one pixel-interleaved read of the whole image:
                // the PNG and JPEG drivers then decode straight into the
                // buffer, without their block cache (and its lock, which the
                // threads decoding a view's tiles would share).
                const int used = std::min(bands, 4);
                std::vector<unsigned char> packed;
                if (used == 4) {
                    ok = GDALDatasetRasterIO(dataset, GF_Read, 0, 0, width, height, out, width, height, GDT_Byte, 4,
                                             nullptr, 4, line, 1) == CE_None;
                } else {
                    packed.resize(static_cast<size_t>(width) * height * used);
                    ok = GDALDatasetRasterIO(dataset, GF_Read, 0, 0, width, height, packed.data(), width, height,
                                             GDT_Byte, used, nullptr, used, width * used, 1) == CE_None;
                    const size_t pixels = static_cast<size_t>(width) * height;
                    for (size_t i = 0; ok && i < pixels; ++i) {
                        const unsigned char* from = packed.data() + i * used;
                        unsigned char* to = out + i * 4;
                        if (used <= 2) {
                            to[0] = to[1] = to[2] = from[0];
                            if (used == 2) to[3] = from[1];
                        } else {
                            to[0] = from[0];
                            to[1] = from[1];
                            to[2] = from[2];
                        }
                    }
                }
            }
            // A grey or RGB image with a transparent colour (tRNS) comes
            // with a no-data value on every colour band.
            if (ok && !palette && (bands == 1 || bands == 3)) {
                double noData[3] = {0, 0, 0};
                bool all = true;
                for (int b = 0; b < bands && all; ++b) {
                    int has = 0;
                    noData[b] = GDALGetRasterNoDataValue(GDALGetRasterBand(dataset, b + 1), &has);
                    all = has != 0;
                }
                if (all) {
                    for (size_t i = 0; i < image.Pixels.size(); i += 4) {
                        bool match = out[i] == noData[0];
                        if (bands == 3) match = match && out[i + 1] == noData[1] && out[i + 2] == noData[2];
                        if (match) out[i + 3] = 0;
                    }
                }
            }
        }
        GDALClose(dataset);
    }
    CPLPopErrorHandler();
    VSIUnlink(name);
    if (!ok) image = VmImageData();
    return ok;
}

} // namespace VMK
