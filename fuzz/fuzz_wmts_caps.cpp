// WMTS capabilities reader of the tile cache, followed by what a tiled
// dataset asks of every layer: its sets, its pyramid and tile addresses.
#include "FuzzSupport.h"
#include "VmTileCache.h"

#include <memory>

using namespace VMK;

namespace {

void UseLayer(const VmWMTSParams& layer) {
    const VmTilePyramid& pyramid = layer.GetPyramid();
    layer.GetLayerAlias();
    layer.GetPrjCoordSys();
    layer.GetCoordRatio();
    layer.GetTileScaleNames();
    layer.GetCacheFileName();
    layer.GetStyle();
    if (!pyramid.IsValid()) return;
    int last = static_cast<int>(pyramid.Matrices.size()) - 1;
    for (int index : {0, last}) {
        const VmTileMatrix& matrix = pyramid.Matrices[static_cast<size_t>(index)];
        layer.GetTileURL(matrix.Identifier, matrix.MinRow, matrix.MinCol);
        pyramid.TileBounds(index, matrix.MaxRow, matrix.MaxCol);
        VmTileRange range = pyramid.CoveringTiles(index, pyramid.Bounds, 1);
        range.Count();
        pyramid.NearestMatrix(matrix.ScaleDenominator);
        pyramid.FindMatrix(matrix.Identifier);
    }
    pyramid.PixelToMap(0, 0, 255, 255);
    pyramid.Signature();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ogcfuzz::Round round;
    ogcfuzz::InputFile input(data, size, "WMTSCapabilities.xml");
    VmWMTSParams service;
    // No address while loading: an unreadable file must not lead to a
    // download. Tile addresses need one afterwards.
    if (!service.LoadFromPath(input.Path())) return 0;
    service.SetServiceAddress("http://example.com/wmts");
    PlxArray<PlxMBString> layers;
    service.GetLayerNames(layers);
    for (int i = 0; i < layers.GetSize() && i < 32; ++i) {
        PlxArray<PlxMBString> sets;
        service.GetLayerTileMatrixSets(layers[i], sets);
        std::unique_ptr<VmWMTSParams> chosen(service.GetLayerParams(layers[i]));
        if (chosen) UseLayer(*chosen);
        for (int j = 0; j < sets.GetSize() && j < 4; ++j) {
            std::unique_ptr<VmWMTSParams> layer(service.GetLayerParams(layers[i], sets[j]));
            if (layer) UseLayer(*layer);
        }
    }
    return 0;
}
