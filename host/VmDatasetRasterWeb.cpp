// The tiled raster base: every tile operation answers "nothing" until a
// derived dataset wires up a tile cache.
#include "VmEngine.h"
#include "VmTileCache.h"

namespace VMK {

void VmDatasetRasterWeb::SetInfo(const VmDatasetRasterInfo& info) {
    m_Info = info;
    m_strName = info.Name;
    m_nType = info.Type;
    m_rcBounds = info.Bounds;
}

PlxRasterBlock* VmDatasetRasterWeb::GetViewBlock(const PlxRect2D&, int, int, unsigned char& state) {
    state = 0;
    return nullptr;
}
void VmDatasetRasterWeb::GetCurrentVisibleLayers(PlxArray<PlxMBString>&) {}
void VmDatasetRasterWeb::SetDownloadResponseFunc(VmTileCallback, uint64_t) {}
unsigned char VmDatasetRasterWeb::Request(const double&, const PlxRect2D&, unsigned char) { return 0; }
unsigned char VmDatasetRasterWeb::GetTileData(VmTile&) { return 0; }
unsigned char VmDatasetRasterWeb::GetTileInfo(VmTile&) { return 0; }
VmSize2D VmDatasetRasterWeb::GetTileMPSize(double) { return VmSize2D(); }
VmSizeI VmDatasetRasterWeb::GetTileSize() { return VmSizeI(); }
unsigned char VmDatasetRasterWeb::IsComplete() { return 0; }
PlxArray<double> VmDatasetRasterWeb::GetScales() { return PlxArray<double>(); }
void VmDatasetRasterWeb::SetDataChangedFunc(VmTileCallback, uint64_t) {}
void VmDatasetRasterWeb::SetRequestFinishedFunc(VmTileCallback, uint64_t) {}
VmTiles* VmDatasetRasterWeb::QueryWithBounds(const PlxRect2D&, double) { return nullptr; }
VmImageData* VmDatasetRasterWeb::LoadTileImageData(const VmTile&) { return nullptr; }
double VmDatasetRasterWeb::ScaleToNearFixScale(double) { return 0.0; }

double VmDatasetRasterWeb::ViewScale(const PlxRect2D& view, int width) {
    const double pixelMetres = 0.00028;
    if (width < 1) return 0.0;
    return ScaleToNearFixScale(view.Width() / width * GetCoordRatio() / pixelMetres);
}
PlxRect2D VmDatasetRasterWeb::ComputeTilesBounds(double, const PlxRect2D&, int) { return PlxRect2D(); }
double VmDatasetRasterWeb::GetCoordRatio() { return 0.0; }
unsigned char VmDatasetRasterWeb::IsAllTilesExist(const PlxRect2D&, double) { return 0; }

} // namespace VMK
