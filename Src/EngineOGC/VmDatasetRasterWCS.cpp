// The WCS raster dataset: the coverage description (DescribeCoverage) and the
// GetCoverage request with its import.
#include "VmDatasetRasterWCS.h"

#include "OGCCapabilities.h"
#include "VmDataSourceOGC.h"
#include "VmNetwork.h"
#include "VmOGCRequest.h"
#include "VmStream.h"

#include <cstdlib>

#define VM_LOG_SOURCE "Src/EngineOGC/VmDatasetRasterWCS"

VM_INSTALL_CRASH_DUMP();

namespace VMK {

namespace {

// A point of two integers ("0 0"), or 0, 0 when the text is not one.
void ReadGridPoint(const PlxMBString& text, int& x, int& y) {
    PlxArray<PlxMBString> parts;
    SplitPositions(text, parts, " ");
    x = y = 0;
    if (parts.GetSize() != 2) return;
    x = std::atoi(parts[0].c_str());
    y = std::atoi(parts[1].c_str());
}

PlxMBString TrimSpaces(PlxMBString text) {
    text.TrimLeft(" ");
    text.TrimRight(" ");
    return text;
}

} // namespace

VmDatasetRasterWCS::VmDatasetRasterWCS() { m_nType = WebCoverage; }

VmDatasetRasterWCS::VmDatasetRasterWCS(VmDatasetRasterInfo& info) : VmWebDatasetRaster(info) {}

VmDatasetRasterWCS::~VmDatasetRasterWCS() {
    m_Formats.RemoveAll();
    m_AxisDescriptions.RemoveAll();
    m_CRSBounds.RemoveAll();
    m_Interpolations.RemoveAll();
}

VmDataSourceOGC* VmDatasetRasterWCS::OGCSource() const { return dynamic_cast<VmDataSourceOGC*>(GetDataSource()); }

void VmDatasetRasterWCS::Split(PlxMBString text, PlxArray<PlxMBString>& out, PlxMBString delimiter) {
    SplitPositions(text, out, delimiter);
}

PlxMBString VmDatasetRasterWCS::GetBBoxURLValue(PlxRect2D rect) const {
    PlxMBString value;
    value.Format("%f,%f,%f,%f", rect.left, rect.bottom, rect.right, rect.top);
    return value;
}

// ---------------------------------------------------------------------------
// A coverage has no layers.

unsigned char VmDatasetRasterWCS::GetAllLayerNames(PlxArray<PlxMBString>&) {
    VM_LOG(VmLogUnsupported, "ELg048");
    return 0;
}

unsigned char VmDatasetRasterWCS::GetAllLayerTitles(PlxArray<PlxMBString>&) {
    VM_LOG(VmLogUnsupported, "ELg047");
    return 0;
}

unsigned char VmDatasetRasterWCS::GetAllLayerIndexes(PlxArray<int>&) {
    VM_LOG(VmLogUnsupported, "ELg046");
    return 0;
}

unsigned char VmDatasetRasterWCS::GetVisibleLayerNames(PlxArray<PlxMBString>&) {
    VM_LOG(VmLogUnsupported, "ELg045");
    return 0;
}

unsigned char VmDatasetRasterWCS::GetVisibleLayerTitles(PlxArray<PlxMBString>&) {
    VM_LOG(VmLogUnsupported, "ELg044");
    return 0;
}

unsigned char VmDatasetRasterWCS::GetVisibleLayerIndexes(PlxArray<int>&) {
    VM_LOG(VmLogUnsupported, "ELg043");
    return 0;
}

unsigned char VmDatasetRasterWCS::SetVisibleLayers(const PlxArray<PlxMBString>&) {
    VM_LOG(VmLogUnsupported, "ELg042");
    return 0;
}

unsigned char VmDatasetRasterWCS::SetVisibleLayers(const PlxArray<int>&) {
    VM_LOG(VmLogUnsupported, "ELg042");
    return 0;
}

// ---------------------------------------------------------------------------
// Description

unsigned char VmDatasetRasterWCS::initCoverage(WCSCoverage* coverage) {
    if (!coverage) return 0;
    m_pCoverage = coverage;
    m_UsedCRSBound = VmCRSBound(coverage->EnvelopeSRS, coverage->LatLonBox);
    SetBounds(coverage->LatLonBox);
    m_strName = coverage->Title.IsEmpty() ? coverage->Name : coverage->Title;
    return 1;
}

unsigned char VmDatasetRasterWCS::ParseCoverage(WCSCapabilities* capabilities) {
    if (!capabilities || !m_pCoverage) return 0;
    // Descriptions are asked of the capabilities address, which servers
    // answer for every request.
    PlxMBString base = RequestBase(capabilities->Capability.GetCapabilities.GetURL, PlxMBString());
    PlxMBString url;
    url.Format("%sSERVICE=WCS&VERSION=%s&REQUEST=DescribeCoverage&Coverage=%s", base.c_str(),
               capabilities->Version.c_str(), m_pCoverage->Name.c_str());
    PlxMBString message;
    PlxMBString path = VmHttpHelper::RequestFile(url, "", "", 0, 0, message);
    if (path.IsEmpty() || !ReadDescription(path)) return 0;
    VmFile::Delete(path);
    return 1;
}

unsigned char VmDatasetRasterWCS::ReadDescription(const PlxMBString& path) {
    if (!m_pCoverage) return 0;
    VmMarkup markup;
    if (!markup.Load(path) || !markup.FindElem()) return 0;
    // An exception report, like any other root, describes nothing.
    if (markup.GetTagName() != "CoverageDescription") return 0;
    markup.IntoElem();
    bool readLast = false;
    while (markup.FindElem("CoverageOffering")) {
        markup.IntoElem();
        // An offering without a name belongs with the named one before it.
        bool read = readLast;
        if (markup.FindElem("name")) read = readLast = markup.GetData().CompareNoCase(m_pCoverage->Name) == 0;
        if (read) ReadOffering(markup);
        markup.OutOfElem();
    }
    markup.OutOfElem();
    return 1;
}

void VmDatasetRasterWCS::ReadOffering(VmMarkup& markup) {
    if (markup.FindElem("domainSet")) {
        markup.IntoElem();
        if (markup.FindElem("spatialDomain")) {
            markup.IntoElem();
            ReadSpatialDomain(markup);
            markup.OutOfElem();
        }
        markup.OutOfElem();
    }
    if (markup.FindElem("rangeSet")) {
        markup.IntoElem();
        ReadRangeSet(markup);
        markup.OutOfElem();
    }
    ReadSupported(markup);
}

void VmDatasetRasterWCS::ReadSpatialDomain(VmMarkup& markup) {
    if (markup.FindElem("gml:Envelope")) {
        m_Envelope.Name = markup.GetAttrib("srsName");
        PlxArray<PlxMBString> positions;
        markup.IntoElem();
        while (markup.FindElem("gml:pos")) positions.Add(markup.GetData());
        markup.OutOfElem();
        if (positions.GetSize() == 2) {
            PlxArray<PlxMBString> low, high;
            Split(positions[0], low, " ");
            Split(positions[1], high, " ");
            if (low.GetSize() == 2 && high.GetSize() == 2)
                m_Envelope.Rect = PlxRect2D(std::atof(low[0].c_str()), std::atof(high[1].c_str()),
                                            std::atof(high[0].c_str()), std::atof(low[1].c_str()));
        }
    }
    if (markup.FindElem("gml:RectifiedGrid")) {
        int lowX = 0, lowY = 0, highX = 0, highY = 0;
        markup.IntoElem();
        if (markup.FindElem("gml:limits")) {
            markup.IntoElem();
            if (markup.FindElem("gml:GridEnvelope")) {
                markup.IntoElem();
                if (markup.FindElem("gml:low")) ReadGridPoint(markup.GetData(), lowX, lowY);
                if (markup.FindElem("gml:high")) ReadGridPoint(markup.GetData(), highX, highY);
                markup.OutOfElem();
            }
            markup.OutOfElem();
        }
        markup.OutOfElem();
        // Limits too far apart for an int describe no grid anyone can ask for.
        if (__builtin_sub_overflow(highX, lowX, &m_nGridWidth)) m_nGridWidth = 0;
        if (__builtin_sub_overflow(highY, lowY, &m_nGridHeight)) m_nGridHeight = 0;
    }
}

void VmDatasetRasterWCS::ReadRangeSet(VmMarkup& markup) {
    while (markup.FindElem("RangeSet")) {
        AxisDescription axis;
        markup.IntoElem();
        if (markup.FindElem("axisDescription")) {
            markup.IntoElem();
            if (markup.FindElem("AxisDescription")) {
                markup.IntoElem();
                if (markup.FindElem("name")) axis.name = markup.GetData();
                if (markup.FindElem("values")) {
                    markup.IntoElem();
                    if (markup.FindElem("interval")) {
                        markup.IntoElem();
                        if (markup.FindElem("min")) axis.min = std::atoi(markup.GetData().c_str());
                        if (markup.FindElem("max")) axis.max = std::atoi(markup.GetData().c_str());
                        markup.OutOfElem();
                    }
                    if (markup.FindElem("singleValue")) axis.min = axis.max = std::atoi(markup.GetData().c_str());
                    markup.OutOfElem();
                }
                markup.OutOfElem();
            }
            markup.OutOfElem();
        }
        if (markup.FindElem("nullValues")) {
            markup.IntoElem();
            if (markup.FindElem("singleValue")) axis.nullValue = std::atoi(markup.GetData().c_str());
            markup.OutOfElem();
        }
        markup.OutOfElem();
        m_AxisDescriptions.Add(axis);
    }
}

void VmDatasetRasterWCS::ReadSupported(VmMarkup& markup) {
    if (markup.FindElem("supportedCRSs")) {
        VmCRSBound lonlat(m_pCoverage->EnvelopeSRS, m_pCoverage->LatLonBox);
        markup.IntoElem();
        while (markup.FindElem("requestResponseCRSs")) {
            PlxArray<PlxMBString> names;
            Split(TrimSpaces(markup.GetData()), names, " ");
            for (const PlxMBString& name : names) m_CRSBounds.Add(VmCRSBound(name, lonlat.Transform(name)));
        }
        markup.OutOfElem();
    }
    if (markup.FindElem("supportedFormats")) {
        PlxMBString native = markup.GetAttrib("nativeFormat");
        if (!native.IsEmpty()) m_strNativeFormat = native;
        markup.IntoElem();
        while (markup.FindElem("formats")) {
            PlxMBString format = TrimSpaces(markup.GetData());
            if (format.CompareNoCase(native) != 0) m_Formats.Add(format);
        }
        markup.OutOfElem();
    }
    if (markup.FindElem("supportedInterpolations")) {
        PlxArray<PlxMBString> methods;
        Split(TrimSpaces(markup.GetAttrib("default")), methods, " ");
        for (const PlxMBString& method : methods) m_Interpolations.Add(TrimSpaces(method));
    }
}

unsigned char VmDatasetRasterWCS::GetRasterDescription(VmRasterDescription& out) {
    out = VmRasterDescription();
    if (m_pCoverage) out.Identifier = m_pCoverage->Name;
    out.GridWidth = m_nGridWidth;
    out.GridHeight = m_nGridHeight;
    for (const AxisDescription& axis : m_AxisDescriptions) {
        VmRasterDescription::Axis copy;
        copy.Name = axis.name;
        copy.Min = axis.min;
        copy.Max = axis.max;
        copy.NullValue = axis.nullValue;
        out.Axes.Add(copy);
    }
    for (const VmCRSBound& bound : m_CRSBounds) {
        out.CRSNames.Add(bound.Name);
        out.CRSBounds.Add(bound.Rect);
    }
    out.Formats = m_Formats;
    out.NativeFormat = m_strNativeFormat;
    out.Interpolations = m_Interpolations;
    return 1;
}

// ---------------------------------------------------------------------------
// GetCoverage

VmDatasetRaster* VmDatasetRasterWCS::GetDatasetRaster(PlxRect2D rect, int width, int height, PlxMBString) {
    if (!IsOpen()) Open();
    VmDataSourceOGC* source = OGCSource();
    if (!IsOpen() || !source) return nullptr;
    auto* caps = dynamic_cast<WCSCapabilities*>(source->GetCapabilitiesDocument());
    PlxMBString base = RequestBase(caps ? caps->Capability.GetCoverage.GetURL : PlxMBString(), PlxMBString());

    PlxRect2D request;
    request.IntersectRect(rect, GetBounds());
    // Without a CRS to ask in, or without a grid to size a cell, there is no
    // sensible request to send.
    if (m_CRSBounds.IsEmpty() || m_nGridWidth <= 0 || m_nGridHeight <= 0) return nullptr;
    const PlxMBString& crs = m_CRSBounds[0].Name;
    PlxRect2D box = VmCRSBound("EPSG:4326", request).Transform(crs);

    PlxMBString axes;
    for (const AxisDescription& axis : m_AxisDescriptions) {
        PlxMBString piece;
        if (axis.min != axis.max) piece.Format("%s=%d/%d&", axis.name.c_str(), axis.min, axis.max);
        else piece.Format("%s=%d&", axis.name.c_str(), axis.min);
        axes += piece;
    }
    PlxMBString methods;
    for (const PlxMBString& method : m_Interpolations)
        if (!method.IsEmpty()) methods += PlxMBString("+") + method;
    methods.TrimLeft("+");
    PlxMBString interpolation = methods.IsEmpty() ? PlxMBString() : PlxMBString("INTERPOLATION=") + methods + "&";

    PlxMBString format = GetFixedRequestImageType(m_Formats);
    if (format.IsEmpty()) return nullptr;

    // A box smaller than one cell becomes exactly one cell around its centre.
    PlxRect2D bounds = GetBounds();
    double stepX = bounds.Width() / m_nGridWidth;
    double stepY = bounds.Height() / m_nGridHeight;
    if (box.Width() < stepX || box.Height() < stepY) {
        double cx = (box.left + box.right) / 2, cy = (box.bottom + box.top) / 2;
        box = PlxRect2D(cx - stepX / 2, cy + stepY / 2, cx + stepX / 2, cy - stepY / 2);
    }
    PlxMBString head, tail;
    head.Format("%sSERVICE=WCS&VERSION=%s&REQUEST=GetCoverage&", base.c_str(), source->GetVersion().c_str());
    tail.Format("COVERAGE=%s&%sCRS=%s&BBOX=%s&FORMAT=%s&%sWIDTH=%d&HEIGHT=%d&",
                m_pCoverage ? m_pCoverage->Name.c_str() : "", axes.c_str(), crs.c_str(), GetBBoxURLValue(box).c_str(),
                format.c_str(), interpolation.c_str(), width + 1, height + 1);
    return GetDatasetRaster(head + tail, request);
}

VmDatasetRaster* VmDatasetRasterWCS::GetDatasetRaster(PlxMBString url, PlxRect2D rect) {
    return Fetch(url, rect, true);
}

VmDatasetRaster* VmDatasetRasterWCS::GetDatasetRaster(PlxMBString url) { return Fetch(url, PlxRect2D(), false); }

VmDatasetRaster* VmDatasetRasterWCS::Fetch(const PlxMBString& url, const PlxRect2D& rect, bool checkAnswer) {
    if (!IsOpen()) Open();
    if (!IsOpen()) {
        VM_LOG(VmLogFailure, "ELc023");
        return nullptr;
    }
    PlxMBString scheme, host, object, extra;
    int port = 0;
    VmHttpHelper::VmParseURL2(url, scheme, host, object, extra, port);
    PlxMBString format;
    int at = extra.Find("FORMAT=");
    if (at > 0) {
        format = extra.Mid(at + 7);
        int amp = format.Find('&');
        if (amp > 0) format = format.Left(amp);
    } else {
        format = GetFixedRequestImageType(m_Formats);
    }
    VmDataSourceOGC* source = OGCSource();
    PlxMBString user = source ? source->GetConnectionInfo().User : PlxMBString();
    PlxMBString password = source ? source->GetConnectionInfo().Password : PlxMBString();
    PlxMBString path;
    if (checkAnswer) {
        PlxMBString contentType;
        path = VmHttpHelper::RequestFile(url, user, password, 0, 1, contentType);
        // An XML answer is the server's exception report: nothing to import.
        if (contentType.Find("xml") >= 0 || contentType.Find("XML") >= 0) return nullptr;
    } else {
        path = VmHttpHelper::RequestFile(url, user, password, 0, 1);
    }
    VmDataSource* memory = CreatDataSource(path, rect, format);
    VmFile::Delete(path);
    if (!memory) return nullptr;
    m_TempDataSources.Add(memory);
    auto* raster = dynamic_cast<VmDatasetRaster*>(memory->GetDataset(0));
    if (raster) raster->SetPrjCoordSys(GetPrjCoordSys());
    return raster;
}

VmDataSource* VmDatasetRasterWCS::CreatDataSource(const PlxMBString& file, PlxRect2D rect, PlxMBString format) {
    const double tiny = 0.000001;
    if (rect.Withins(PlxRect2D(-tiny, tiny, tiny, -tiny)) && !m_CRSBounds.IsEmpty()) rect = m_CRSBounds[0].Rect;
    VmImportFailure failure = VmImportNoFailure;
    VmDataSource* memory = ImportIntoMemory(file, ImportFileTypeOf(format, true), m_strName, rect, failure);
    if (!memory) VM_LOG(VmLogFailure, failure == VmImportNoDataSource ? "EEg001" : "EIe010");
    return memory;
}

} // namespace VMK
