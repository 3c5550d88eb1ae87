// The WMS raster dataset: one per map service. It knows the service's drawable
// layers (the named leaves of the capabilities layer tree), which of them are
// drawn and with which style, works out its CRS and bounds from the drawn
// layers, and turns a map rectangle and size into a GetMap request whose
// answer it imports as an in-memory raster.
#pragma once

#include "OGCLayer.h"
#include "VmEngine.h"
#include "VmOGCCommon.h"

namespace VMK {

class VmDataSourceOGC;

// An ordered list of borrowed layer records; copies copy the pointers.
class VM_OGC_API VmWebLayersInfos : public PlxArray<WMSLayer*> {};

class VM_OGC_API VmDatasetRasterWMS : public VmWebDatasetRaster {
public:
    VmDatasetRasterWMS();
    explicit VmDatasetRasterWMS(VmDatasetRasterInfo& info);
    // Empties the layer lists and style choices; the layer records belong to
    // the capabilities document.
    ~VmDatasetRasterWMS() override;

    // The map of `rect` at `width` x `height` pixels; `format` is not used,
    // the service's own formats decide. The raster belongs to this dataset.
    VmDatasetRaster* GetDatasetRaster(PlxRect2D rect, int width, int height, PlxMBString format) override;
    // Downloads and imports a GetMap URL of the caller's own.
    VmDatasetRaster* GetDatasetRaster(PlxMBString url) override;
    unsigned char GetAllLayerNames(PlxArray<PlxMBString>& names) override;
    unsigned char GetAllLayerTitles(PlxArray<PlxMBString>& titles) override;
    unsigned char GetAllLayerIndexes(PlxArray<int>& indexes) override;
    unsigned char GetVisibleLayerNames(PlxArray<PlxMBString>& names) override;
    // The titles of all layers (visible or not).
    unsigned char GetVisibleLayerTitles(PlxArray<PlxMBString>& titles) override;
    unsigned char GetVisibleLayerIndexes(PlxArray<int>& indexes) override;
    unsigned char SetVisibleLayers(const PlxArray<PlxMBString>& names) override;
    unsigned char SetVisibleLayers(const PlxArray<int>& indexes) override;
    unsigned char SetTransparent(unsigned char transparent) override;
    unsigned char GetTransparent() override;
    unsigned char IsLayerQueryable(int index) override;
    PlxMBString GetLayerStyle(int index) override;
    unsigned char SetLayerStyle(const PlxMBString& layerName, const PlxMBString& style) override;
    // Hosts that know only the raster interface reach GetWMSFeatureInfos here.
    unsigned char GetFeatureInfo(int x, int y, PlxDict<PlxMBString, PlxMBString>& values) override;

    // Takes the layer tree of the capabilities document: all named leaves
    // become the layers, all of them visible; the dataset is named by the
    // root's title. 0 for a null root.
    unsigned char initLayers(WMSLayer* root);
    unsigned char SetAllLayers(const VmWebLayersInfos& layers);
    unsigned char GetAllLayers(VmWebLayersInfos& layers) const;
    unsigned char GetVisibleLayers(VmWebLayersInfos& layers) const;
    // Makes visible those of `layers` that are among all layers, in the
    // all-layers order; recomputes CRS and bounds. 1 when any became visible.
    unsigned char SetVisibleLayers(const VmWebLayersInfos& layers);
    // The distinct styles of all layers (ignoring case), first seen first.
    PlxArray<PlxMBString> GetAllStyles();
    // Replaces any earlier choice by `style` for `layerName` (which is
    // upper-cased in place). 0 when either is empty.
    unsigned char SetStyle(PlxMBString& layerName, PlxMBString& style);
    // QUERY_LAYERS: the visible queryable layers' names, comma-separated.
    PlxMBString GetQueryableLayers();
    // What the service knows about pixel (px, py) of the last map drawn:
    // one GetFeatureInfo request per group of queryable layers, every field
    // found added to `result`. 0 only without a data source or any layer.
    unsigned char GetWMSFeatureInfos(long long px, long long py, PlxDict<PlxMBString, PlxMBString>& result);
    int GetMapWidth() const { return m_nMapWidth; }
    int GetMapHeight() const { return m_nMapHeight; }
    const PlxRect2D& GetRequestRect() const { return m_rcRequest; }

    // LAYERS and STYLES of a map request: the visible layers last to first.
    PlxMBString GetLayersURLValue();
    PlxMBString GetStylesURLValue();

private:
    unsigned char GetUsedCRSBounds();
    PlxRect2D GetLatLonBoxUnion();
    PlxRect2D GetBoundingBoxUnion(PlxMBString& crsName);
    void RefreshBounds();
    VmDataSourceOGC* OGCSource() const;
    PlxMBString StyleOf(const WMSLayer* layer) const;
    PlxMBString BuildMapURL(VmDataSourceOGC& source, const PlxRect2D& rect, int width, int height,
                            const PlxMBString& layers, const PlxMBString& format);

    PlxRect2D m_rcRequest;
    VmWebLayersInfos m_AllLayers;
    VmWebLayersInfos m_VisibleLayers;
    unsigned char m_bTransparent = 0;
    WMSLayer* m_pRootLayer = nullptr;  // borrowed from the capabilities document
    PlxArray<PlxMBString> m_AllStyles;
    PlxDict<PlxMBString, PlxMBString> m_StyleChoices;
    int m_nMapWidth = 0;
    int m_nMapHeight = 0;
};

} // namespace VMK
