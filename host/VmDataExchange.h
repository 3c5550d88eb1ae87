// The host data exchange library: importing downloaded image and grid files
// into a data source, and writing rasters out as files. Built on GDAL's
// file readers and writers only (never its network drivers).
#pragma once

#include <vector>

#include "VmEngine.h"

namespace VMK {

struct PlxRasterBlock;

// Host file-type numbers the import engine knows.
enum VmFileType {
    VmFileTIFF = 103,
    VmFileBMP = 121,
    VmFileJPEG = 122,
    VmFilePNG = 123,
    VmFileGIF = 124,
    VmFileArcGrid = 145,
};

class VmExchangeParams {
public:
    explicit VmExchangeParams(int fileType) : m_nFileType(fileType) {}
    virtual ~VmExchangeParams() = default;
    void SetFilePathName(const PlxMBString& path) { m_strPath = path; }
    const PlxMBString& GetFilePathName() const { return m_strPath; }
    int GetFileType() const { return m_nFileType; }

private:
    int m_nFileType;
    PlxMBString m_strPath;
};

class VmImportParams : public VmExchangeParams {
public:
    using VmExchangeParams::VmExchangeParams;
    // Name of the dataset to create; a free name is derived from it when a
    // dataset of that name exists.
    void SetDestDTName(const PlxMBString& name) { m_strDestName = name; }
    const PlxMBString& GetDestDTName() const { return m_strDestName; }
    // 2: create a new dataset (the only mode the import engine offers).
    void SetImportMode(int mode) { m_nMode = mode; }
    int GetImportMode() const { return m_nMode; }

private:
    PlxMBString m_strDestName;
    int m_nMode = 2;
};

class VmExchangeParamsManager {
public:
    // New import parameters for a file type, owned by the caller; null for a
    // file type the import engine does not know.
    static VmImportParams* MakeImportParams(int fileType);
};

// Imports files into the attached data source (the in-memory engine's).
//
// The file type names the format the caller expects; since services answer
// in another format than asked for often enough, the importer reads any of
// the image and grid formats it knows (PNG, JPEG, GIF, BMP, TIFF, ASCII grid),
// trying the expected one first. A file that is truncated, unreadable or of
// another kind fails the import.
class VmDataExchange {
public:
    VmDataExchange() = default;
    void AttachDataSource(VmDataSource* target) { m_pTarget = target; }
    // Number of datasets created; 0 on failure (nothing is added then).
    int Import(const VmImportParams& params);
    int Import(const VmImportParams* params) { return params ? Import(*params) : 0; }

    // Writes a raster that holds pixels (the in-memory engine's) to a file:
    // GeoTIFF for ".tif"/".tiff" with its georeference, PNG for ".png" with a
    // world file (".pgw") beside it, JPEG for ".jpg". False on failure.
    static bool ExportRaster(VmDatasetRaster* raster, const PlxMBString& path);
    // Writes a 32-bit RGBA block (a tiled dataset's view) to a file placed at
    // the block's Bounds in `prj`: GeoTIFF for ".tif"/".tiff", PNG with a
    // world file (".pgw") for ".png". False for another pixel format or file
    // type, a block without pixels or bounds, or a failed write.
    static bool ExportRasterBlock(const PlxRasterBlock& block, const VmPrjCoordSys& prj, const PlxMBString& path);

    // Pictures for a screen (VmDataExchangeRender.cpp): a raster that holds
    // pixels (an imported map or coverage), or an RGBA block, whose pixels
    // lie in the system named `sourceCrs` ("EPSG:4326"), drawn into `width` x
    // `height` pixels of `view` in the system `viewCrs`, warped when the two
    // differ, transparent where it has no pixels, as PNG. Data of one band
    // or of another type than bytes is stretched from its smallest to its
    // largest value (no-data left out) into grey. False for a raster without
    // pixels, systems that do not convert, or a size beyond 8192.
    struct ScreenPicture {
        std::vector<unsigned char> Png;
        bool Stretched = false;   // grey from Min (black) to Max (white)
        double Min = 0.0, Max = 0.0;
    };
    static bool RenderRaster(VmDatasetRaster* raster, const PlxMBString& sourceCrs, const PlxMBString& viewCrs,
                             const PlxRect2D& view, int width, int height, ScreenPicture& out);
    static bool RenderRasterBlock(const PlxRasterBlock& block, const PlxMBString& sourceCrs,
                                  const PlxMBString& viewCrs, const PlxRect2D& view, int width, int height,
                                  ScreenPicture& out);
    // Band 1 of a raster that holds pixels at the point (x, y) of the system
    // `crs`; false outside the raster, on its no-data value, or when the
    // systems do not convert.
    static bool SampleRaster(VmDatasetRaster* raster, const PlxMBString& sourceCrs, const PlxMBString& crs,
                             double x, double y, double& value);

    // The pixels of a raster that holds them, as one array of rows x
    // columns x bands: the raster's own memory when its bands lie
    // interleaved in one block (`Copied` false; `Memory` keeps it alive),
    // else a copy. `Type` is the element's kind in numpy's letters ("u1",
    // "i2", "u2", "i4", "u4", "f4", "f8"). False for a raster without
    // pixels or of another data type (complex values).
    struct PixelArray {
        std::shared_ptr<unsigned char> Memory;
        unsigned char* Data = nullptr;
        int Width = 0, Height = 0, Bands = 0;
        const char* Type = "";
        int ItemBytes = 0;
        bool Copied = false;
        double Transform[6] = {0, 1, 0, 0, 0, -1};  // GDAL's geotransform
        bool HasNoData = false;
        double NoData = 0.0;
    };
    static bool PixelArrayOf(VmDatasetRaster* raster, PixelArray& out);

private:
    VmDataSource* m_pTarget = nullptr;
};

} // namespace VMK
