// The WCS raster dataset: one per coverage of a coverage service. It learns
// the coverage's envelope, grid, range axes, CRSs, formats and interpolations
// from DescribeCoverage when the service is opened, and turns a rectangle and
// a size into a GetCoverage request whose answer it imports as an in-memory
// raster. A coverage has no layers: the layer operations are refused.
#pragma once

#include "OGCLayer.h"
#include "VmEngine.h"
#include "VmOGCCommon.h"

namespace VMK {

class VmDataSourceOGC;
class WCSCapabilities;

// One range axis of a coverage (a band, a time...), with its value range.
struct VM_OGC_API AxisDescription {
    PlxMBString name;
    int min = 0;
    int max = 0;
    int nullValue = 0;
};

class VM_OGC_API VmDatasetRasterWCS : public VmWebDatasetRaster {
public:
    VmDatasetRasterWCS();
    explicit VmDatasetRasterWCS(VmDatasetRasterInfo& info);
    ~VmDatasetRasterWCS() override;

    // The coverage of `rect` (longitude/latitude) at about `width` x `height`
    // pixels; `format` is not used, the service's formats decide.
    VmDatasetRaster* GetDatasetRaster(PlxRect2D rect, int width, int height, PlxMBString format) override;
    // Downloads and imports a GetCoverage URL of the caller's own; the raster
    // is placed on the first CRS bound.
    VmDatasetRaster* GetDatasetRaster(PlxMBString url) override;
    unsigned char GetAllLayerNames(PlxArray<PlxMBString>& names) override;
    unsigned char GetAllLayerTitles(PlxArray<PlxMBString>& titles) override;
    unsigned char GetAllLayerIndexes(PlxArray<int>& indexes) override;
    unsigned char GetVisibleLayerNames(PlxArray<PlxMBString>& names) override;
    unsigned char GetVisibleLayerTitles(PlxArray<PlxMBString>& titles) override;
    unsigned char GetVisibleLayerIndexes(PlxArray<int>& indexes) override;
    unsigned char SetVisibleLayers(const PlxArray<PlxMBString>& names) override;
    unsigned char SetVisibleLayers(const PlxArray<int>& indexes) override;
    // The description read from the service, for hosts.
    unsigned char GetRasterDescription(VmRasterDescription& out) override;

    // Takes the coverage record (not owned) and names the dataset after it.
    unsigned char initCoverage(WCSCoverage* coverage);
    // Asks the service to describe the coverage and reads the description.
    unsigned char ParseCoverage(WCSCapabilities* capabilities);
    // Reads a DescribeCoverage answer from a file for the coverage set by
    // initCoverage; 0 when there is none or the file holds no description.
    // The file is left in place.
    unsigned char ReadDescription(const PlxMBString& path);
    // Splits a list at `delimiter`; runs of it count as one; the last piece
    // is appended even when empty.
    void Split(PlxMBString text, PlxArray<PlxMBString>& out, PlxMBString delimiter);
    // The BBOX value: left, bottom, right, top with six decimals.
    PlxMBString GetBBoxURLValue(PlxRect2D rect) const;

    const PlxMBString& GetNativeFormat() const { return m_strNativeFormat; }
    const PlxArray<PlxMBString>& GetFormats() const { return m_Formats; }
    const PlxArray<AxisDescription>& GetAxisDescriptions() const { return m_AxisDescriptions; }
    const VmCRSBounds& GetCRSBounds() const { return m_CRSBounds; }
    const VmCRSBound& GetEnvelope() const { return m_Envelope; }
    int GetGridWidth() const { return m_nGridWidth; }
    int GetGridHeight() const { return m_nGridHeight; }
    const PlxArray<PlxMBString>& GetInterpolations() const { return m_Interpolations; }
    const WCSCoverage* GetCoverage() const { return m_pCoverage; }

private:
    VmDatasetRaster* GetDatasetRaster(PlxMBString url, PlxRect2D rect);
    VmDataSource* CreatDataSource(const PlxMBString& file, PlxRect2D rect, PlxMBString format);
    VmDataSourceOGC* OGCSource() const;
    void ReadOffering(VmMarkup& markup);
    void ReadSpatialDomain(VmMarkup& markup);
    void ReadRangeSet(VmMarkup& markup);
    void ReadSupported(VmMarkup& markup);
    VmDatasetRaster* Fetch(const PlxMBString& url, const PlxRect2D& rect, bool checkAnswer);

    PlxMBString m_strNativeFormat;
    PlxArray<PlxMBString> m_Formats;
    WCSCoverage* m_pCoverage = nullptr;  // borrowed from the capabilities document
    PlxArray<AxisDescription> m_AxisDescriptions;
    VmCRSBounds m_CRSBounds;
    VmCRSBound m_Envelope;
    int m_nGridWidth = 0;
    int m_nGridHeight = 0;
    PlxArray<PlxMBString> m_Interpolations;
};

} // namespace VMK
