// ogccaps: shows what the engine reads from a capabilities document, so that a
// user can see why a server's document yields no layers.
//
//   ogccaps [--service wms|wfs|wcs] [--version X.Y.Z] FILE
//
// Without --service or --version, both are taken from the document's root.
#include "OGCCapabilities.h"
#include "VmToolkit.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

using namespace VMK;

namespace {

int Usage(FILE* out) {
    std::fprintf(out,
                 "usage: ogccaps [--service wms|wfs|wcs] [--version X.Y.Z] FILE\n"
                 "Reads a capabilities document with the engine's reader of that service and\n"
                 "version and prints the service, the request endpoints and the layers,\n"
                 "feature types or coverages it understood.\n");
    return out == stdout ? 0 : 2;
}

std::string Join(const PlxArray<PlxMBString>& list, const char* separator = ", ") {
    std::string out;
    for (const PlxMBString& item : list) out += (out.empty() ? "" : separator) + item.str();
    return out;
}

std::string Box(const PlxRect2D& r) {
    char text[160];
    std::snprintf(text, sizeof text, "%g,%g,%g,%g", r.left, r.bottom, r.right, r.top);
    return text;
}

// Service and version from the root element: the name says the service, the
// (possibly prefixed) version attribute the version.
void GuessFromRoot(const char* path, PlxMBString& service, PlxMBString& version) {
    VmMarkup markup;
    if (!markup.Load(path) || !markup.FindElem()) return;
    PlxMBString tag = markup.GetTagName();
    int colon = tag.Find(':');
    PlxMBString prefix = colon < 0 ? PlxMBString() : tag.Left(colon + 1);
    PlxMBString local = colon < 0 ? tag : tag.Mid(colon + 1);
    if (service.IsEmpty()) {
        if (local == "WMT_MS_Capabilities" || local == "WMS_Capabilities") service = "wms";
        else if (local == "WFS_Capabilities") service = "wfs";
        else if (local == "WCS_Capabilities" || local == "Capabilities") service = "wcs";
    }
    if (version.IsEmpty()) {
        version = markup.GetAttrib((prefix + "version").c_str());
        if (version.IsEmpty()) version = markup.GetAttrib("version");
    }
}

void PrintService(const OGCCapabilities& doc) {
    const OGCServiceInfo& s = doc.Service;
    std::printf("service %s %s\n", doc.ServiceType.c_str(), doc.Version.c_str());
    std::printf("  name: %s\n  title: %s\n", s.Name.c_str(), s.Title.c_str());
    if (!s.Abstract.IsEmpty()) std::printf("  abstract: %s\n", s.Abstract.c_str());
    if (!s.Keywords.IsEmpty()) std::printf("  keywords: %s\n", Join(s.Keywords, " | ").c_str());
    if (!s.OnlineResource.IsEmpty()) std::printf("  online resource: %s\n", s.OnlineResource.c_str());
    if (!s.Fees.IsEmpty()) std::printf("  fees: %s\n", s.Fees.c_str());
    if (!s.AccessConstraints.IsEmpty()) std::printf("  access constraints: %s\n", s.AccessConstraints.c_str());
}

void PrintEndpoint(const char* name, const WMSOperation& op) {
    std::printf("  %-16s %s\n", name, op.URL.IsEmpty() ? "(none)" : op.URL.c_str());
    if (!op.Formats.IsEmpty()) std::printf("  %-16s formats: %s\n", "", Join(op.Formats).c_str());
}

void PrintEndpoint(const char* name, const OGCOperation& op) {
    std::printf("  %-20s get: %s\n", name, op.GetURL.IsEmpty() ? "(none)" : op.GetURL.c_str());
    if (!op.PostURL.IsEmpty()) std::printf("  %-20s post: %s\n", "", op.PostURL.c_str());
    if (!op.Formats.IsEmpty()) std::printf("  %-20s formats: %s\n", "", Join(op.Formats).c_str());
}

void PrintLayer(const WMSLayer& layer, int depth) {
    std::string indent(static_cast<size_t>(depth) * 2 + 2, ' ');
    std::printf("%s- %s \"%s\"%s%s%s\n", indent.c_str(), layer.Name.IsEmpty() ? "(no name)" : layer.Name.c_str(),
                layer.Title.c_str(), layer.Queryable ? " queryable" : "", layer.Opaque ? " opaque" : "",
                layer.IsLeaf() && !layer.Name.IsEmpty() ? " [drawable]" : "");
    if (!layer.SRSList.IsEmpty()) std::printf("%s    crs: %s\n", indent.c_str(), Join(layer.SRSList, " ").c_str());
    std::printf("%s    lat/lon box: %s\n", indent.c_str(), Box(layer.LatLonBox).c_str());
    for (const VmCRSBound& b : layer.CRSBounds)
        std::printf("%s    box %s: %s\n", indent.c_str(), b.Name.c_str(), Box(b.Rect).c_str());
    for (const auto& style : layer.StyleTable) std::printf("%s    style: %s\n", indent.c_str(), style.second.c_str());
    if (layer.Cascaded || layer.NoSubsets || layer.FixedWidth || layer.FixedHeight)
        std::printf("%s    cascaded %d, noSubsets %d, fixed %dx%d\n", indent.c_str(), layer.Cascaded, layer.NoSubsets,
                    layer.FixedWidth, layer.FixedHeight);
    for (const WMSLayer* child : layer.Children) PrintLayer(*child, depth + 1);
}

void PrintWMS(WMSCapabilities& doc) {
    std::printf("endpoints\n");
    PrintEndpoint("GetCapabilities", doc.Capability.GetCapabilities);
    PrintEndpoint("GetMap", doc.Capability.GetMap);
    PrintEndpoint("GetFeatureInfo", doc.Capability.GetFeatureInfo);
    PrintEndpoint("DescribeLayer", doc.Capability.DescribeLayer);
    if (!doc.RootLayer) {
        std::printf("layers: none\n");
        return;
    }
    PlxArray<WMSLayer*> drawable;
    doc.RootLayer->Parallelize(drawable);
    std::printf("layers (%d drawable)\n", drawable.GetSize());
    PrintLayer(*doc.RootLayer, 0);
}

void PrintWFS(WFSCapabilities& doc) {
    std::printf("endpoints\n");
    PrintEndpoint("GetCapabilities", doc.Capability.GetCapabilities);
    PrintEndpoint("DescribeFeatureType", doc.Capability.DescribeFeatureType);
    PrintEndpoint("GetFeature", doc.Capability.GetFeature);
    if (!doc.TypeListOperations.IsEmpty()) std::printf("operations: %s\n", Join(doc.TypeListOperations).c_str());
    std::printf("feature types (%d)\n", doc.FeatureTypes.GetSize());
    for (const WFSFeatureType* t : doc.FeatureTypes) {
        std::printf("  - %s \"%s\"\n", t->Name.c_str(), t->Title.c_str());
        std::printf("      srs: %s\n      lat/lon box: %s\n", t->SRS.c_str(), Box(t->LatLonBox).c_str());
        if (!t->Operations.IsEmpty()) std::printf("      operations: %s\n", Join(t->Operations).c_str());
    }
}

void PrintWCS(WCSCapabilities& doc) {
    std::printf("endpoints\n");
    PrintEndpoint("GetCapabilities", doc.Capability.GetCapabilities);
    PrintEndpoint("DescribeCoverage", doc.Capability.DescribeCoverage);
    PrintEndpoint("GetCoverage", doc.Capability.GetCoverage);
    std::printf("coverages (%d)\n", doc.Coverages.GetSize());
    for (const WCSCoverage* c : doc.Coverages) {
        std::printf("  - %s \"%s\"\n", c->Name.c_str(), c->Title.c_str());
        std::printf("      envelope %s: %s\n", c->EnvelopeSRS.c_str(), Box(c->LatLonBox).c_str());
    }
    doc.ReleaseCoverages();
}

} // namespace

int main(int argc, char** argv) {
    PlxMBString service, version;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) return Usage(stdout);
        if (!std::strcmp(argv[i], "--service") && i + 1 < argc) service = argv[++i];
        else if (!std::strcmp(argv[i], "--version") && i + 1 < argc) version = argv[++i];
        else if (argv[i][0] == '-' || path) return Usage(stderr);
        else path = argv[i];
    }
    if (!path) return Usage(stderr);
    VmLogFile::GetInstance(false).SetPath("");
    GuessFromRoot(path, service, version);
    std::unique_ptr<OGCCapabilities> doc(OGCCapabilities::CreateReader(service, version));
    if (!doc) {
        std::fprintf(stderr, "ogccaps: no reader for service '%s' version '%s'\n", service.c_str(), version.c_str());
        return 1;
    }
    unsigned char read = doc->LoadFile(path);
    PrintService(*doc);
    if (auto* wms = dynamic_cast<WMSCapabilities*>(doc.get())) PrintWMS(*wms);
    else if (auto* wfs = dynamic_cast<WFSCapabilities*>(doc.get())) PrintWFS(*wfs);
    else if (auto* wcs = dynamic_cast<WCSCapabilities*>(doc.get())) PrintWCS(*wcs);
    if (!read) {
        VmMarkup markup;
        bool wellFormed = markup.Load(path) != 0;
        std::fprintf(stderr, "ogccaps: the %s %s reader did not accept the document%s%s\n", service.c_str(),
                     version.c_str(), wellFormed ? " (an exception report, another version or root)" : ": ",
                     wellFormed ? "" : markup.GetError().c_str());
        return 1;
    }
    return 0;
}
