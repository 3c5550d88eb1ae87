// The import engine and the raster writer, on GDAL's file drivers.
#include "VmDataExchange.h"
#include "VmGdalDrivers.h"
#include "VmPixelBuffer.h"

#include "VmTileCache.h"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <gdal.h>
#include <gdal_utils.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace VMK {

namespace {

// Images larger than this are refused rather than decoded: a small hostile
// file can announce a huge image.
const double kMaxPixelBytes = 2.0 * 1024 * 1024 * 1024;

const char* DriverOf(int fileType) {
    switch (fileType) {
    case VmFileTIFF: return "GTiff";
    case VmFileBMP: return "BMP";
    case VmFileJPEG: return "JPEG";
    case VmFilePNG: return "PNG";
    case VmFileGIF: return "GIF";
    case VmFileArcGrid: return "AAIGrid";
    default: return nullptr;
    }
}

// Every file driver the importer reads, the expected one first.
std::vector<const char*> AllowedDrivers(int fileType) {
    std::vector<const char*> drivers;
    if (const char* first = DriverOf(fileType)) drivers.push_back(first);
    for (const char* d : {"PNG", "JPEG", "GIF", "BMP", "GTiff", "AAIGrid"})
        if (drivers.empty() || std::string(d) != drivers[0]) drivers.push_back(d);
    drivers.push_back(nullptr);
    return drivers;
}

bool HasColorTable(GDALDatasetH ds) {
    return GDALGetRasterCount(ds) == 1 && GDALGetRasterColorTable(GDALGetRasterBand(ds, 1)) != nullptr;
}

// The pixels of a decoded file in a memory dataset: one pixel-interleaved
// read of every band (the image drivers then decode the whole picture at
// once, without going through their block cache) straight into the pixel
// memory, which is mapped in one go since every byte is about to be
// written. What the general copy would carry besides the pixels and what
// the host uses goes along: georeferencing, no-data values, colour
// interpretation, scale and offset. Bands of different types take the
// general copy.
GDALDatasetH CopyPixels(GDALDatasetH source, std::shared_ptr<unsigned char>& memory) {
    const int bands = GDALGetRasterCount(source);
    const int width = GDALGetRasterXSize(source), height = GDALGetRasterYSize(source);
    const GDALDataType type = GDALGetRasterDataType(GDALGetRasterBand(source, 1));
    for (int b = 2; b <= bands; ++b)
        if (GDALGetRasterDataType(GDALGetRasterBand(source, b)) != type)
            return GDALCreateCopy(GDALGetDriverByName("MEM"), "", source, FALSE, nullptr, nullptr, nullptr);
    const GSpacing band = GDALGetDataTypeSizeBytes(type);
    const GSpacing pixel = static_cast<GSpacing>(bands) * band;
    const GSpacing line = pixel * width;
    memory = MapPixels(static_cast<size_t>(line) * static_cast<size_t>(height));
    if (!memory) return nullptr;
    GDALDatasetH copy = MemoryOver(memory.get(), width, height, bands, type, pixel, line, band);
    if (!copy) return nullptr;
    const CPLErr read = GDALDatasetRasterIOEx(source, GF_Read, 0, 0, width, height, memory.get(), width, height, type,
                                              bands, nullptr, pixel, line, band, nullptr);
    if (read != CE_None) {
        GDALClose(copy);
        return nullptr;
    }
    double transform[6];
    if (GDALGetGeoTransform(source, transform) == CE_None) GDALSetGeoTransform(copy, transform);
    const char* wkt = GDALGetProjectionRef(source);
    if (wkt && *wkt) GDALSetProjection(copy, wkt);
    for (int b = 1; b <= bands; ++b) {
        GDALRasterBandH from = GDALGetRasterBand(source, b), to = GDALGetRasterBand(copy, b);
        int has = 0;
        const double noData = GDALGetRasterNoDataValue(from, &has);
        if (has) GDALSetRasterNoDataValue(to, noData);
        GDALSetRasterColorInterpretation(to, GDALGetRasterColorInterpretation(from));
        int hasScale = 0, hasOffset = 0;
        const double scale = GDALGetRasterScale(from, &hasScale), offset = GDALGetRasterOffset(from, &hasOffset);
        if (hasScale) GDALSetRasterScale(to, scale);
        if (hasOffset) GDALSetRasterOffset(to, offset);
    }
    return copy;
}

// The whole file decoded into memory; paletted images are expanded to RGBA
// so that every imported picture has real colour bands.
GDALDatasetH DecodeToMemory(GDALDatasetH source, std::shared_ptr<unsigned char>& memory) {
    double bytes = static_cast<double>(GDALGetRasterXSize(source)) * GDALGetRasterYSize(source) *
                   GDALGetRasterCount(source) * 8.0;
    if (GDALGetRasterCount(source) == 0 || bytes > kMaxPixelBytes) return nullptr;
    if (!HasColorTable(source)) return CopyPixels(source, memory);
    char** args = nullptr;
    args = CSLAddString(args, "-of");
    args = CSLAddString(args, "MEM");
    args = CSLAddString(args, "-expand");
    args = CSLAddString(args, "rgba");
    GDALTranslateOptions* options = GDALTranslateOptionsNew(args, nullptr);
    CSLDestroy(args);
    GDALDatasetH expanded = GDALTranslate("", source, options, nullptr);
    GDALTranslateOptionsFree(options);
    return expanded;
}

} // namespace

VmImportParams* VmExchangeParamsManager::MakeImportParams(int fileType) {
    return DriverOf(fileType) ? new VmImportParams(fileType) : nullptr;
}

int VmDataExchange::Import(const VmImportParams& params) {
    auto* target = dynamic_cast<VmDataSourceMemory*>(m_pTarget);
    if (!target || !target->IsOpen() || params.GetFilePathName().IsEmpty()) return 0;
    EnsureGdalDrivers();
    CPLPushErrorHandler(CPLQuietErrorHandler);
    std::vector<const char*> drivers = AllowedDrivers(params.GetFileType());
    GDALDatasetH source = GDALOpenEx(params.GetFilePathName().c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY,
                                     drivers.data(), nullptr, nullptr);
    std::shared_ptr<unsigned char> memory;
    GDALDatasetH pixels = source ? DecodeToMemory(source, memory) : nullptr;
    if (source) GDALClose(source);
    CPLPopErrorHandler();
    if (!pixels) return 0;
    PlxMBString name = params.GetDestDTName().IsEmpty() ? PlxMBString("image") : params.GetDestDTName();
    target->AddDataset(new VmDatasetRasterMemory(target->GetUnoccupiedDatasetName(name, 1), pixels, std::move(memory)));
    return 1;
}

bool VmDataExchange::ExportRaster(VmDatasetRaster* raster, const PlxMBString& path) {
    auto* memory = dynamic_cast<VmDatasetRasterMemory*>(raster);
    if (!memory || !memory->GetPixels() || path.IsEmpty()) return false;
    EnsureGdalDrivers();
    PlxMBString lower = path;
    lower.MakeLower();
    const char* driver = nullptr;
    char** options = nullptr;
    if (lower.Right(4) == ".tif" || lower.Right(5) == ".tiff") {
        driver = "GTiff";
        options = CSLSetNameValue(options, "COMPRESS", "DEFLATE");
    } else if (lower.Right(4) == ".png") {
        driver = "PNG";
        options = CSLSetNameValue(options, "WORLDFILE", "YES");
    } else if (lower.Right(4) == ".jpg" || lower.Right(5) == ".jpeg") {
        driver = "JPEG";
        options = CSLSetNameValue(options, "WORLDFILE", "YES");
    }
    if (!driver) return false;
    GDALDatasetH pixels = static_cast<GDALDatasetH>(memory->GetPixels());
    PlxMBString wkt = raster->GetPrjCoordSys().ToWkt();
    if (!wkt.IsEmpty()) GDALSetProjection(pixels, wkt.c_str());
    CPLPushErrorHandler(CPLQuietErrorHandler);
    GDALDatasetH out = GDALCreateCopy(GDALGetDriverByName(driver), path.c_str(), pixels, FALSE, options, nullptr, nullptr);
    CPLPopErrorHandler();
    CSLDestroy(options);
    if (!out) return false;
    GDALClose(out);
    // GDAL names the world file "NAME.wld"; GIS programs look for the
    // ".pgw"/".jgw" spelling first.
    if (std::string(driver) != "GTiff") {
        std::string base = path.str().substr(0, path.str().rfind('.'));
        std::string conventional = base + (std::string(driver) == "PNG" ? ".pgw" : ".jgw");
        std::rename((base + ".wld").c_str(), conventional.c_str());
    }
    return true;
}

namespace {

// A memory dataset over the block's own bytes, rows padded as they are:
// a view of tens of megabytes is written out without a copy.
GDALDatasetH PixelsOfBlock(const PlxRasterBlock& block) {
    auto* data = const_cast<unsigned char*>(block.Data.data());
    return MemoryOver(data, block.PixelWidth, block.PixelHeight, 4, GDT_Byte, 4, block.RowBytes, 1);
}

} // namespace

bool VmDataExchange::ExportRasterBlock(const PlxRasterBlock& block, const VmPrjCoordSys& prj,
                                       const PlxMBString& path) {
    const int width = block.PixelWidth, height = block.PixelHeight;
    if (block.PixelFormat != 32 || width < 1 || height < 1 || block.RowBytes < 4 * width ||
        block.Data.size() < static_cast<size_t>(block.RowBytes) * static_cast<size_t>(height) ||
        !block.Bounds.IsValid() || block.Bounds.IsEmpty() || path.IsEmpty())
        return false;
    PlxMBString lower = path;
    lower.MakeLower();
    const bool tiff = lower.Right(4) == ".tif" || lower.Right(5) == ".tiff";
    if (!tiff && lower.Right(4) != ".png") return false;
    EnsureGdalDrivers();

    GDALDatasetH pixels = PixelsOfBlock(block);
    if (!pixels) return false;
    bool ok = true;
    for (int band = 1; band <= 4 && ok; ++band)
        GDALSetRasterColorInterpretation(GDALGetRasterBand(pixels, band),
                                         band == 4 ? GCI_AlphaBand : static_cast<GDALColorInterp>(GCI_RedBand + band - 1));
    double transform[6] = {block.Bounds.left, block.Bounds.Width() / width, 0.0,
                           block.Bounds.top,  0.0, -block.Bounds.Height() / height};
    GDALSetGeoTransform(pixels, transform);
    // A PNG keeps its place in a world file, which has no coordinate
    // system; looking the system up in PROJ's database would cost more than
    // composing a small view.
    if (tiff) {
        const PlxMBString wkt = prj.ToWkt();
        if (!wkt.IsEmpty()) GDALSetProjection(pixels, wkt.c_str());
    }

    char** options = nullptr;
    if (tiff) {
        options = CSLSetNameValue(options, "COMPRESS", "DEFLATE");
        options = CSLSetNameValue(options, "ALPHA", "UNASSOCIATED");
    } else {
        options = CSLSetNameValue(options, "WORLDFILE", "YES");
    }
    GDALDatasetH out = nullptr;
    if (ok) {
        CPLPushErrorHandler(CPLQuietErrorHandler);
        out = GDALCreateCopy(GDALGetDriverByName(tiff ? "GTiff" : "PNG"), path.c_str(), pixels, FALSE, options,
                             nullptr, nullptr);
        CPLPopErrorHandler();
    }
    CSLDestroy(options);
    GDALClose(pixels);
    if (!out) return false;
    GDALClose(out);
    // As ExportRaster: GIS programs look for ".pgw" before GDAL's ".wld".
    if (!tiff) {
        const std::string base = path.str().substr(0, path.str().rfind('.'));
        std::rename((base + ".wld").c_str(), (base + ".pgw").c_str());
    }
    return true;
}

} // namespace VMK
