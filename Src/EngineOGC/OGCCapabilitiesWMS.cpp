// WMS 1.0.0, 1.1.0, 1.1.1 and 1.3.0 capabilities readers. The four versions
// share one walk through the document; what differs between them is fixed in
// one WMSVersionRules record per version.
#include "OGCCapabilities.h"

#include "VmToolkit.h"

#include <atomic>
#include <cstdlib>

#define VM_LOG_SOURCE "Src/EngineOGC/OGCCapabilitiesWMS"

VM_INSTALL_CRASH_DUMP();

namespace VMK {

namespace {

const WMSVersionRules kRules100 = {"WMT_MS_Capabilities", true,  true,  true,  false,
                                   WMSVersionRules::FirstSplit, "SRS", false, "SRS"};
const WMSVersionRules kRules110 = {"WMT_MS_Capabilities", false, false, false, true,
                                   WMSVersionRules::EachSplit, "SRS", false, "SRS"};
const WMSVersionRules kRules111 = {"WMT_MS_Capabilities", false, false, false, true,
                                   WMSVersionRules::EachWhole, "SRS", false, "SRS"};
const WMSVersionRules kRules130 = {"WMS_Capabilities", false, false, false, true,
                                   WMSVersionRules::EachWhole, "CRS", true, "CRS"};

PlxMBString Named(const PlxMBString& prefix, const char* name) { return prefix + name; }

// The text of the next element of that name, when there is one.
void ReadText(VmMarkup& markup, const PlxMBString& prefix, const char* name, PlxMBString& field) {
    if (markup.FindElem(Named(prefix, name).c_str())) field = markup.GetData();
}

double AttribNumber(const VmMarkup& markup, const PlxMBString& prefix, const char* name) {
    return std::atof(markup.GetAttrib(Named(prefix, name).c_str()).c_str());
}

int AttribInt(const VmMarkup& markup, const PlxMBString& prefix, const char* name) {
    return std::atoi(markup.GetAttrib(Named(prefix, name).c_str()).c_str());
}

// A box from minx/miny/maxx/maxy attributes: west, north, east, south.
PlxRect2D AttribBox(const VmMarkup& markup, const PlxMBString& prefix) {
    return PlxRect2D(AttribNumber(markup, prefix, "minx"), AttribNumber(markup, prefix, "maxy"),
                     AttribNumber(markup, prefix, "maxx"), AttribNumber(markup, prefix, "miny"));
}

// 1.0.0 keywords: one text, words separated by runs of spaces only.
void SplitKeywordsAtSpaces(PlxMBString text, PlxArray<PlxMBString>& keywords) {
    text.TrimLeft(" ");
    text.TrimRight(" ");
    for (int at = text.Find(' ', 1); at > 0; at = text.Find(' ', 1)) {
        keywords.Add(text.Left(at));
        text = text.Mid(at + 1);
        text.TrimLeft(" ");
    }
    keywords.Add(text);
}

} // namespace

// ---------------------------------------------------------------------------

WMSCapabilities::WMSCapabilities() : WMSCapabilities(nullptr) {}

WMSCapabilities::WMSCapabilities(const WMSVersionRules* rules) : m_pRules(rules) {
    ServiceType = "WMS";
    LoadReservedKeys();
}

WMSCapabilities::~WMSCapabilities() {
    delete RootLayer;
    RootLayer = nullptr;
}

void WMSCapabilities::LoadReservedKeys() {
    static const char* const keys[] = {"VERSION", "SERVICE",     "REQUEST",    "UPDATESEQUENCE", "LAYERS", "STYLES",
                                       "SRS",     "CRS",         "BBOX",       "WIDTH",          "HEIGHT", "FORMAT",
                                       "TRANSPARENT", "BGCOLOR", "EXCEPTIONS", "TIME",           "ELEVATION", "SLD",
                                       "WFS",     "QUERY_LAYERS", "INFO_FORMAT", "FEATURE_COUNT", "X",      "Y"};
    static const int codes[] = {1101, 1102, 1103, 1104, 1201, 1202, 1203, 1204, 1205, 1206, 1207, 1208,
                                1209, 1210, 1211, 1212, 1213, 1214, 1215, 1301, 1302, 1303, 1304, 1305};
    for (size_t i = 0; i < sizeof codes / sizeof codes[0]; ++i) ReservedKeys.SetAt(keys[i], codes[i]);
}

unsigned char WMSCapabilities::Parse(VmMarkup& markup) { return m_pRules ? ParseDocument(markup) : 0; }
unsigned char WMSCapabilities::LoadFile(PlxMBString path) { return m_pRules ? LoadAndParse(path) : 0; }
unsigned char WMSCapabilities::AttachDataSource(VmDataSourceOGC*) { return 0; }

WMSCapabilities100::WMSCapabilities100() : WMSCapabilities(&kRules100) { Version = "1.0.0"; }
WMSCapabilities110::WMSCapabilities110() : WMSCapabilities(&kRules110) { Version = "1.1.0"; }
WMSCapabilities111::WMSCapabilities111() : WMSCapabilities(&kRules111) { Version = "1.1.1"; }
WMSCapabilities130::WMSCapabilities130() : WMSCapabilities(&kRules130) { Version = "1.3.0"; }

// ---------------------------------------------------------------------------

namespace {
std::atomic<long> g_maxCRSNames{16L * 1000 * 1000};
} // namespace

long WMSCapabilities::SetMaxCRSNames(long names) { return g_maxCRSNames.exchange(names); }
long WMSCapabilities::MaxCRSNames() { return g_maxCRSNames.load(); }

unsigned char WMSCapabilities::ParseDocument(VmMarkup& markup) {
    m_crsNames = 0;
    PlxMBString prefix;
    if (!OpenRoot(markup, m_pRules->rootName, prefix)) return 0;
    markup.IntoElem();
    if (markup.FindElem(Named(prefix, "Service").c_str())) {
        markup.IntoElem();
        ParseService(markup, prefix);
        markup.OutOfElem();
    }
    if (markup.FindElem(Named(prefix, "Capability").c_str())) {
        markup.IntoElem();
        ParseRequest(markup, prefix);
        // One top-level layer is the rule; with several the last one counts.
        while (markup.FindElem(Named(prefix, "Layer").c_str())) {
            delete RootLayer;
            RootLayer = ParseLayer(markup, prefix, nullptr, 0);
        }
        markup.OutOfElem();
    }
    markup.OutOfElem();
    return 1;
}

void WMSCapabilities::ParseService(VmMarkup& markup, const PlxMBString& prefix) {
    ReadText(markup, prefix, "Name", Service.Name);
    ReadText(markup, prefix, "Title", Service.Title);
    ReadText(markup, prefix, "Abstract", Service.Abstract);
    if (m_pRules->keywordsAsText) {
        if (markup.FindElem(Named(prefix, "Keywords").c_str())) SplitKeywordsAtSpaces(markup.GetData(), Service.Keywords);
    } else if (markup.FindElem(Named(prefix, "KeywordList").c_str())) {
        markup.IntoElem();
        while (markup.FindElem(Named(prefix, "Keyword").c_str())) Service.Keywords.Add(markup.GetData());
        markup.OutOfElem();
    }
    if (markup.FindElem(Named(prefix, "OnlineResource").c_str()))
        Service.OnlineResource = m_pRules->onlineResourceAsText ? markup.GetData()
                                                                : markup.GetAttrib(Named(prefix, "xlink:href").c_str());
    ReadText(markup, prefix, "Fees", Service.Fees);
    ReadText(markup, prefix, "AccessConstraints", Service.AccessConstraints);
}

unsigned char WMSCapabilities::ParseRequest(VmMarkup& markup, PlxMBString prefix) {
    if (!markup.FindElem(Named(prefix, "Request").c_str())) return 1;
    markup.IntoElem();
    const bool shortNames = m_pRules->shortRequestNames;
    struct Target {
        const char* name;
        WMSOperation* entry;
    };
    const Target targets[] = {
        {shortNames ? "Capabilities" : "GetCapabilities", &Capability.GetCapabilities},
        {shortNames ? "Map" : "GetMap", &Capability.GetMap},
        {shortNames ? "FeatureInfo" : "GetFeatureInfo", &Capability.GetFeatureInfo},
        {shortNames ? nullptr : "DescribeLayer", &Capability.DescribeLayer},
    };
    // A request without its own Get endpoint keeps the one before it.
    PlxMBString url;
    while (markup.FindElem()) {
        PlxMBString tag = markup.GetTagName();
        markup.IntoElem();
        PlxArray<PlxMBString> formats;
        if (shortNames) {
            if (markup.FindElem(Named(prefix, "Format").c_str())) {
                markup.IntoElem();
                while (markup.FindElem()) formats.Add(markup.GetTagName());
                markup.OutOfElem();
            }
        } else {
            while (markup.FindElem(Named(prefix, "Format").c_str())) formats.Add(markup.GetData());
        }
        if (markup.FindElem(Named(prefix, "DCPType").c_str())) {
            markup.IntoElem();
            if (markup.FindElem(Named(prefix, "HTTP").c_str())) {
                markup.IntoElem();
                if (markup.FindElem(Named(prefix, "Get").c_str())) {
                    if (shortNames) {
                        url = markup.GetAttrib(Named(prefix, "onlineResource").c_str());
                    } else {
                        markup.IntoElem();
                        if (markup.FindElem(Named(prefix, "OnlineResource").c_str())) url = markup.GetAttrib("xlink:href");
                        markup.OutOfElem();
                    }
                }
                for (const Target& target : targets) {
                    if (!target.name || tag.CompareNoCase(Named(prefix, target.name)) != 0) continue;
                    target.entry->URL = StripReservedKeys(url);
                    target.entry->Formats.Append(formats);
                }
                markup.OutOfElem();
            }
            markup.OutOfElem();
        }
        markup.OutOfElem();
    }
    markup.OutOfElem();
    return 1;
}

WMSLayer* WMSCapabilities::ParseLayer(VmMarkup& markup, PlxMBString prefix, WMSLayer* parent, int depth) {
    WMSLayer* layer = new WMSLayer();
    layer->Queryable = AttribInt(markup, prefix, "queryable") == 1 ? 1 : 0;
    if (m_pRules->allLayerAttributes) {
        layer->Cascaded = AttribInt(markup, prefix, "cascaded");
        layer->Opaque = AttribInt(markup, prefix, "opaque") == 1 ? 1 : 0;
        layer->NoSubsets = AttribInt(markup, prefix, "noSubsets") == 1 ? 1 : 0;
        layer->FixedWidth = AttribInt(markup, prefix, "fixedWidth");
        layer->FixedHeight = AttribInt(markup, prefix, "fixedHeight");
    }
    markup.IntoElem();
    ReadText(markup, prefix, "Name", layer->Name);
    ReadText(markup, prefix, "Title", layer->Title);
    ReadText(markup, prefix, "Abstract", layer->Abstract);
    ReadLayerCRSList(markup, prefix, layer);
    ReadLayerGeographicBox(markup, prefix, layer);

    while (markup.FindElem(Named(prefix, "BoundingBox").c_str())) {
        PlxMBString crs = markup.GetAttrib(Named(prefix, m_pRules->boxCRSAttribute).c_str());
        if (crs.IsEmpty()) crs = layer->SRSList.IsEmpty() ? PlxMBString("NONE") : layer->SRSList[0];
        // resx/resy of 1.3.0 are not kept: nothing draws with them.
        layer->CRSBounds.Add(VmCRSBound(crs, AttribBox(markup, prefix)));
    }

    if (markup.FindElem(Named(prefix, "Style").c_str())) {
        markup.IntoElem();
        if (markup.FindElem(Named(prefix, "Name").c_str())) {
            PlxMBString key = layer->Name;
            layer->StyleTable.SetAt(key.MakeUpper(), markup.GetData());
        }
        markup.OutOfElem();
    }

    if (parent) {
        const long limit = MaxCRSNames();
        const bool withNames = m_crsNames + layer->SRSList.GetSize() + parent->SRSList.GetSize() <= limit;
        if (!withNames && m_crsNames <= limit)
            VmLogFile::GetInstance(false).RecordLog(300, "CRS names not inherited any further",
                                                    ("layers hold " + std::to_string(m_crsNames) + " names").c_str(),
                                                    VM_LOG_SOURCE, __LINE__);
        layer->InheriFrom(parent, withNames);
        if (!withNames) m_crsNames = limit + 1;  // logged once
    }
    m_crsNames += layer->SRSList.GetSize();
    // Reading, copying and flattening the tree all recurse, so a hostile
    // nesting depth would exhaust the stack; layers nested deeper than any
    // server nests them are not read.
    if (depth < kMaxLayerDepth)
        while (markup.FindElem(Named(prefix, "Layer").c_str()))
            layer->Growleaf(ParseLayer(markup, prefix, layer, depth + 1));
    markup.OutOfElem();
    return layer;
}

void WMSCapabilities::ReadLayerCRSList(VmMarkup& markup, const PlxMBString& prefix, WMSLayer* layer) const {
    PlxMBString element = Named(prefix, m_pRules->crsElement);
    while (markup.FindElem(element.c_str())) {
        PlxMBString text = markup.GetData();
        if (m_pRules->crsMode == WMSVersionRules::EachWhole) {
            layer->SRSList.Add(text);
            continue;
        }
        text.TrimLeft();
        text.TrimRight();
        text.Split(" ", layer->SRSList, 0);
        if (m_pRules->crsMode == WMSVersionRules::FirstSplit) break;
    }
}

void WMSCapabilities::ReadLayerGeographicBox(VmMarkup& markup, const PlxMBString& prefix, WMSLayer* layer) const {
    if (!m_pRules->geographicBox) {
        if (markup.FindElem(Named(prefix, "LatLonBoundingBox").c_str())) layer->LatLonBox = AttribBox(markup, prefix);
        return;
    }
    if (!markup.FindElem(Named(prefix, "EX_GeographicBoundingBox").c_str())) return;
    // Read west, south, east, north, each by its name wherever it stands in
    // the box: the schema orders them west, east, south, north, so a
    // forward-only walk in reading order would miss the east bound. A missing
    // one reads as 0.
    PlxMBString west, south, east, north;
    auto read = [&](const char* name, PlxMBString& value) {
        markup.ResetChildPos();
        if (markup.FindChildElem(Named(prefix, name).c_str())) value = markup.GetChildData();
    };
    read("westBoundLongitude", west);
    read("southBoundLatitude", south);
    read("eastBoundLongitude", east);
    read("northBoundLatitude", north);
    layer->LatLonBox = PlxRect2D(std::atof(west.c_str()), std::atof(north.c_str()), std::atof(east.c_str()),
                                 std::atof(south.c_str()));
}

} // namespace VMK
