// Pictures for a screen: a map, coverage or tile view drawn into the
// rectangle and system a map window shows, warped by GDAL when the systems
// differ, stretched into grey when it holds data rather than colours, and
// encoded as PNG in memory.
#include "VmDataExchange.h"
#include "VmGdalDrivers.h"
#include "VmTileCache.h"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <cpl_vsi.h>
#include <gdal_utils.h>
#include <ogr_srs_api.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace VMK {

namespace {

constexpr int kMaxSide = 8192;

// A system by name, its coordinates in the host's order (longitude /
// easting first).
struct SpatialReference {
    OGRSpatialReferenceH handle = OSRNewSpatialReference(nullptr);
    explicit SpatialReference(const PlxMBString& name) {
        if (OSRSetFromUserInput(handle, name.c_str()) == OGRERR_NONE) {
            OSRSetAxisMappingStrategy(handle, OAMS_TRADITIONAL_GIS_ORDER);
            known = true;
        }
    }
    ~SpatialReference() { OSRDestroySpatialReference(handle); }
    SpatialReference(const SpatialReference&) = delete;
    SpatialReference& operator=(const SpatialReference&) = delete;
    bool known = false;
};

bool TransformPoint(const PlxMBString& from, const PlxMBString& to, double& x, double& y) {
    if (from.CompareNoCase(to.c_str()) == 0) return true;
    SpatialReference source(from), target(to);
    if (!source.known || !target.known) return false;
    OGRCoordinateTransformationH transform = OCTNewCoordinateTransformation(source.handle, target.handle);
    if (!transform) return false;
    const bool ok = OCTTransform(transform, 1, &x, &y, nullptr) == TRUE;
    OCTDestroyCoordinateTransformation(transform);
    return ok && std::isfinite(x) && std::isfinite(y);
}

// A system's WKT from its name, longitude / easting first as everywhere in
// the host; "" when the name means nothing to PROJ.
std::string WktOf(const PlxMBString& name) {
    SpatialReference srs(name);
    std::string wkt;
    char* text = nullptr;
    if (srs.known && OSRExportToWkt(srs.handle, &text) == OGRERR_NONE && text) wkt = text;
    CPLFree(text);
    return wkt;
}

struct Dataset {
    GDALDatasetH handle = nullptr;
    explicit Dataset(GDALDatasetH h = nullptr) : handle(h) {}
    ~Dataset() {
        if (handle) GDALClose(handle);
    }
    Dataset(const Dataset&) = delete;
    Dataset& operator=(const Dataset&) = delete;
};

// Band 1 of `source` alone, as a virtual dataset over its pixels (this
// GDAL's warper has no band choice of its own).
GDALDatasetH FirstBand(GDALDatasetH source) {
    CPLStringList args;
    for (const char* a : {"-of", "VRT", "-b", "1"}) args.AddString(a);
    GDALTranslateOptions* options = GDALTranslateOptionsNew(args.List(), nullptr);
    if (!options) return nullptr;
    int failed = 0;
    GDALDatasetH band = GDALTranslate("", source, options, &failed);
    GDALTranslateOptionsFree(options);
    return failed ? nullptr : band;
}

// `source` warped into the view: data (band 1) as Float64, colours as they
// are with an alpha band added; null on failure.
GDALDatasetH Warp(GDALDatasetH source, const std::string& viewWkt, const PlxRect2D& view, int width, int height,
                  bool data) {
    CPLStringList args;
    for (const char* a : {"-of", "MEM", "-r", data ? "near" : "bilinear", "-t_srs"}) args.AddString(a);
    args.AddString(viewWkt.c_str());
    args.AddString("-te");
    for (double v : {view.left, view.bottom, view.right, view.top}) args.AddString(CPLSPrintf("%.17g", v));
    args.AddString("-ts");
    args.AddString(CPLSPrintf("%d", width));
    args.AddString(CPLSPrintf("%d", height));
    if (data) {
        // Values; where nothing lands stays NaN.
        for (const char* a : {"-ot", "Float64", "-dstnodata", "nan", "-wo", "INIT_DEST=NO_DATA"})
            args.AddString(a);
    } else if (GDALGetRasterColorInterpretation(GDALGetRasterBand(source, GDALGetRasterCount(source))) !=
               GCI_AlphaBand) {
        args.AddString("-dstalpha");
    }
    GDALWarpAppOptions* options = GDALWarpAppOptionsNew(args.List(), nullptr);
    if (!options) return nullptr;
    int failed = 0;
    GDALDatasetH sources[] = {source};
    GDALDatasetH warped = GDALWarp("", nullptr, 1, sources, options, &failed);
    GDALWarpAppOptionsFree(options);
    return failed ? nullptr : warped;
}

// The smallest and largest value of band 1, no-data left out.
bool RangeOf(GDALDatasetH source, double& min, double& max) {
    double range[2] = {0, 0};
    if (GDALComputeRasterMinMax(GDALGetRasterBand(source, 1), FALSE, range) != CE_None) return false;
    min = range[0];
    max = range[1];
    return std::isfinite(min) && std::isfinite(max);
}

// Warped values as grey with alpha, black at `min` and white at `max`.
GDALDatasetH Grey(GDALDatasetH values, double min, double max, std::vector<unsigned char>& pixels) {
    const int width = GDALGetRasterXSize(values), height = GDALGetRasterYSize(values);
    std::vector<double> row(static_cast<size_t>(width));
    pixels.assign(static_cast<size_t>(width) * height * 2, 0);
    const double scale = max > min ? 255.0 / (max - min) : 0.0;
    for (int y = 0; y < height; ++y) {
        if (GDALRasterIO(GDALGetRasterBand(values, 1), GF_Read, 0, y, width, 1, row.data(), width, 1, GDT_Float64,
                         0, 0) != CE_None)
            return nullptr;
        unsigned char* out = pixels.data() + static_cast<size_t>(y) * width * 2;
        for (int x = 0; x < width; ++x) {
            const double v = row[static_cast<size_t>(x)];
            if (std::isnan(v)) continue;
            const double grey = (v - min) * scale;
            out[2 * x] = static_cast<unsigned char>(grey < 0 ? 0 : grey > 255 ? 255 : grey + 0.5);
            out[2 * x + 1] = 255;
        }
    }
    GDALDatasetH grey = MemoryOver(pixels.data(), width, height, 2, GDT_Byte, 2, 2 * width, 1);
    if (grey) GDALSetRasterColorInterpretation(GDALGetRasterBand(grey, 2), GCI_AlphaBand);
    return grey;
}

bool EncodePng(GDALDatasetH picture, std::vector<unsigned char>& png) {
    static std::atomic<unsigned> serial{0};
    const std::string name = CPLSPrintf("/vsimem/ogcweb-screen-%u.png", serial.fetch_add(1));
    const char* options[] = {"ZLEVEL=3", nullptr};
    GDALDatasetH written =
        GDALCreateCopy(GDALGetDriverByName("PNG"), name.c_str(), picture, FALSE, const_cast<char**>(options), nullptr,
                       nullptr);
    bool ok = written != nullptr;
    if (written) GDALClose(written);
    vsi_l_offset size = 0;
    GByte* bytes = ok ? VSIGetMemFileBuffer(name.c_str(), &size, FALSE) : nullptr;
    if (bytes) png.assign(bytes, bytes + size);
    VSIUnlink(name.c_str());
    return ok && bytes;
}

bool Render(GDALDatasetH source, const PlxMBString& sourceCrs, const PlxMBString& viewCrs, const PlxRect2D& view,
            int width, int height, VmDataExchange::ScreenPicture& out) {
    out = VmDataExchange::ScreenPicture();
    if (!source || width < 1 || height < 1 || width > kMaxSide || height > kMaxSide || !view.IsValid() ||
        view.IsEmpty() || GDALGetRasterCount(source) == 0)
        return false;
    const std::string sourceWkt = WktOf(sourceCrs), viewWkt = WktOf(viewCrs);
    if (sourceWkt.empty() || viewWkt.empty()) return false;
    GDALSetProjection(source, sourceWkt.c_str());
    const GDALDataType type = GDALGetRasterDataType(GDALGetRasterBand(source, 1));
    const bool data = GDALGetRasterCount(source) == 1 || type != GDT_Byte;
    CPLPushErrorHandler(CPLQuietErrorHandler);
    bool ok = false;
    {
        Dataset first(data && GDALGetRasterCount(source) > 1 ? FirstBand(source) : nullptr);
        Dataset warped(Warp(first.handle ? first.handle : source, viewWkt, view, width, height, data));
        std::vector<unsigned char> pixels;
        if (!data) {
            ok = warped.handle && EncodePng(warped.handle, out.Png);
        } else if (warped.handle && RangeOf(source, out.Min, out.Max)) {
            out.Stretched = true;
            Dataset grey(Grey(warped.handle, out.Min, out.Max, pixels));
            ok = grey.handle && EncodePng(grey.handle, out.Png);
        }
    }
    CPLPopErrorHandler();
    return ok;
}

GDALDatasetH PixelsOf(VmDatasetRaster* raster) {
    auto* memory = dynamic_cast<VmDatasetRasterMemory*>(raster);
    return memory ? static_cast<GDALDatasetH>(memory->GetPixels()) : nullptr;
}

} // namespace

bool VmDataExchange::RenderRaster(VmDatasetRaster* raster, const PlxMBString& sourceCrs, const PlxMBString& viewCrs,
                                  const PlxRect2D& view, int width, int height, ScreenPicture& out) {
    EnsureGdalDrivers();
    return Render(PixelsOf(raster), sourceCrs, viewCrs, view, width, height, out);
}

bool VmDataExchange::RenderRasterBlock(const PlxRasterBlock& block, const PlxMBString& sourceCrs,
                                       const PlxMBString& viewCrs, const PlxRect2D& view, int width, int height,
                                       ScreenPicture& out) {
    out = ScreenPicture();
    const int w = block.PixelWidth, h = block.PixelHeight;
    if (block.PixelFormat != 32 || w < 1 || h < 1 || block.RowBytes < 4 * w ||
        block.Data.size() < static_cast<size_t>(block.RowBytes) * static_cast<size_t>(h) || !block.Bounds.IsValid() ||
        block.Bounds.IsEmpty())
        return false;
    EnsureGdalDrivers();
    auto* data = const_cast<unsigned char*>(block.Data.data());
    Dataset pixels(MemoryOver(data, w, h, 4, GDT_Byte, 4, block.RowBytes, 1));
    if (!pixels.handle) return false;
    for (int band = 1; band <= 4; ++band)
        GDALSetRasterColorInterpretation(GDALGetRasterBand(pixels.handle, band),
                                         band == 4 ? GCI_AlphaBand : static_cast<GDALColorInterp>(GCI_RedBand + band - 1));
    double transform[6] = {block.Bounds.left, block.Bounds.Width() / w, 0.0, block.Bounds.top, 0.0,
                           -block.Bounds.Height() / h};
    GDALSetGeoTransform(pixels.handle, transform);
    return Render(pixels.handle, sourceCrs, viewCrs, view, width, height, out);
}

bool VmDataExchange::SampleRaster(VmDatasetRaster* raster, const PlxMBString& sourceCrs, const PlxMBString& crs,
                                  double x, double y, double& value) {
    GDALDatasetH source = PixelsOf(raster);
    double t[6];
    if (!source || GDALGetRasterCount(source) == 0 || GDALGetGeoTransform(source, t) != CE_None || t[1] == 0 ||
        t[5] == 0)
        return false;
    if (!TransformPoint(crs, sourceCrs, x, y)) return false;
    const double column = (x - t[0]) / t[1], row = (y - t[3]) / t[5];
    if (!(column >= 0 && row >= 0 && column < GDALGetRasterXSize(source) && row < GDALGetRasterYSize(source)))
        return false;
    GDALRasterBandH band = GDALGetRasterBand(source, 1);
    if (GDALRasterIO(band, GF_Read, static_cast<int>(column), static_cast<int>(row), 1, 1, &value, 1, 1, GDT_Float64,
                     0, 0) != CE_None)
        return false;
    int hasNoData = 0;
    const double noData = GDALGetRasterNoDataValue(band, &hasNoData);
    return std::isfinite(value) && !(hasNoData && value == noData);
}

} // namespace VMK
