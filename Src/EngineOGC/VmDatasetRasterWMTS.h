// The WMTS raster dataset: one per layer of a tile service. The host's tile
// cache does the work (service description, downloads, the cache file, view
// composition); the dataset wires it up, opens its cache on first use and
// forwards the host's tile and view requests. Its own logic is GetViewBlock:
// a map rectangle at a pixel size becomes a raster block cut from the cache.
#pragma once

#include "VmEngine.h"
#include "VmOGCCommon.h"

namespace VMK {

class VM_OGC_API VmDatasetRasterWMTS : public VmDatasetRasterWeb {
public:
    VmDatasetRasterWMTS();
    // Closes, then deletes the tile-service parameters and the stub it owns.
    ~VmDatasetRasterWMTS() override;

    // Opens (or creates) the layer's cache file and starts the stub.
    unsigned char Open() override;
    // Stops the stub and deletes the cache manager; takes no lock.
    void Close() override;
    PlxRasterBlock* GetViewBlock(const PlxRect2D& view, int width, int height, unsigned char& state) override;
    void GetCurrentVisibleLayers(PlxArray<PlxMBString>& names) override;
    void SetDownloadResponseFunc(VmTileCallback func, uint64_t user) override;
    unsigned char Request(const double& scale, const PlxRect2D& bounds, unsigned char flag) override;
    unsigned char GetTileData(VmTile& tile) override;
    unsigned char GetTileInfo(VmTile& tile) override;
    VmSize2D GetTileMPSize(double scale) override;
    VmSizeI GetTileSize() override;
    unsigned char IsComplete() override;
    PlxArray<double> GetScales() override;
    void SetDataChangedFunc(VmTileCallback func, uint64_t user) override;
    void SetRequestFinishedFunc(VmTileCallback func, uint64_t user) override;
    VmTiles* QueryWithBounds(const PlxRect2D& bounds, double scale) override;
    VmImageData* LoadTileImageData(const VmTile& tile) override;
    double ScaleToNearFixScale(double scale) override;
    PlxRect2D ComputeTilesBounds(double scale, const PlxRect2D& bounds, int margin) override;
    double GetCoordRatio() override;
    unsigned char IsAllTilesExist(const PlxRect2D& bounds, double scale) override;

    // The path of the layer's cache file: the buffer path, "/", the file name.
    PlxMBString GetCacheFilePath() const;

private:
    VmMutex m_mutex{0};
};

// The pixel size of a layer's square: 2^level * tileSize, truncated.
VM_OGC_API int TiledPixelSize(int level, int tileSize);

} // namespace VMK
