// WCS 1.0.0 capabilities reader.
#include "OGCCapabilities.h"

#include "VmToolkit.h"

#include <cstdlib>

#define VM_LOG_SOURCE "Src/EngineOGC/OGCCapabilitiesWCS"

VM_INSTALL_CRASH_DUMP();

namespace VMK {

namespace {

PlxMBString Named(const PlxMBString& prefix, const char* name) { return prefix + name; }

// The text of the next element of that name, when there is one.
void ReadText(VmMarkup& markup, const PlxMBString& prefix, const char* name, PlxMBString& field) {
    if (markup.FindElem(Named(prefix, name).c_str())) field = markup.GetData();
}

// The envelope's two corners, "lon lat" each: south-west first, then
// north-east. Anything else (another count of corners or of numbers) gives
// the null rectangle rather than a guess.
PlxRect2D EnvelopeBox(const PlxArray<PlxMBString>& positions) {
    if (positions.GetSize() != 2) return PlxRect2D();
    PlxArray<PlxMBString> lower, upper;
    SplitPositions(positions[0], lower, " ");
    SplitPositions(positions[1], upper, " ");
    if (lower.GetSize() != 2 || upper.GetSize() != 2) return PlxRect2D();
    return PlxRect2D(std::atof(lower[0].c_str()), std::atof(upper[1].c_str()), std::atof(upper[0].c_str()),
                     std::atof(lower[1].c_str()));
}

} // namespace

unsigned char WCSCapabilities100::Parse(VmMarkup& markup) {
    PlxMBString prefix;
    if (!OpenRoot(markup, "WCS_Capabilities", prefix)) return 0;
    markup.IntoElem();

    if (markup.FindElem(Named(prefix, "Service").c_str())) {
        markup.IntoElem();
        ReadText(markup, prefix, "metadataLink", Service.OnlineResource);
        ReadText(markup, prefix, "description", Service.Abstract);
        ReadText(markup, prefix, "name", Service.Name);
        ReadText(markup, prefix, "label", Service.Title);
        if (markup.FindElem(Named(prefix, "keywords").c_str())) {
            markup.IntoElem();
            while (markup.FindElem(Named(prefix, "keyword").c_str())) Service.Keywords.Add(markup.GetData());
            markup.OutOfElem();
        }
        ReadText(markup, prefix, "fees", Service.Fees);
        ReadText(markup, prefix, "accessConstraints", Service.AccessConstraints);
        markup.OutOfElem();
    }

    if (markup.FindElem(Named(prefix, "Capability").c_str())) {
        markup.IntoElem();
        ParseRequest(markup, prefix);
        markup.OutOfElem();
    }

    if (markup.FindElem(Named(prefix, "ContentMetadata").c_str())) {
        markup.IntoElem();
        while (markup.FindElem(Named(prefix, "CoverageOfferingBrief").c_str()))
            Coverages.Add(ParseCoverage(markup, prefix));
        markup.OutOfElem();
    }

    markup.OutOfElem();
    return 1;
}

unsigned char WCSCapabilities100::ParseRequest(VmMarkup& markup, PlxMBString prefix) {
    if (!markup.FindElem(Named(prefix, "Request").c_str())) return 1;
    markup.IntoElem();

    struct Target {
        const char* name;
        OGCOperation* entry;
    };
    const Target targets[] = {
        {"GetCapabilities", &Capability.GetCapabilities},
        {"DescribeCoverage", &Capability.DescribeCoverage},
        {"GetCoverage", &Capability.GetCoverage},
    };
    auto store = [&](const PlxMBString& tag, PlxMBString OGCOperation::*field, const PlxMBString& endpoint) {
        for (const Target& target : targets)
            if (tag.CompareNoCase(Named(prefix, target.name)) == 0) target.entry->*field = StripReservedKeys(endpoint);
    };

    // Shared by all requests: a method without its own address keeps the one
    // read last, wherever that was.
    PlxMBString endpoint;
    while (markup.FindElem()) {
        PlxMBString tag = markup.GetTagName();
        markup.IntoElem();
        while (markup.FindElem(Named(prefix, "DCPType").c_str())) {
            markup.IntoElem();
            if (markup.FindElem(Named(prefix, "HTTP").c_str())) {
                markup.IntoElem();
                if (markup.FindElem(Named(prefix, "Get").c_str())) {
                    markup.IntoElem();
                    // Some servers spell the element in lower case.
                    if (markup.FindElem(Named(prefix, "OnlineResource").c_str()) ||
                        markup.FindElem(Named(prefix, "onlineResource").c_str()))
                        endpoint = markup.GetAttrib("xlink:href");
                    store(tag, &OGCOperation::GetURL, endpoint);
                    markup.OutOfElem();
                } else if (markup.FindElem(Named(prefix, "Post").c_str())) {
                    markup.IntoElem();
                    if (markup.FindElem(Named(prefix, "OnlineResource").c_str())) endpoint = markup.GetAttrib("xlink:href");
                    store(tag, &OGCOperation::PostURL, endpoint);
                    markup.OutOfElem();
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

WCSCoverage* WCSCapabilities100::ParseCoverage(VmMarkup& markup, const PlxMBString& prefix) const {
    WCSCoverage* coverage = new WCSCoverage();
    markup.IntoElem();
    ReadText(markup, prefix, "description", coverage->Abstract);
    ReadText(markup, prefix, "name", coverage->Name);
    ReadText(markup, prefix, "label", coverage->Title);

    while (markup.FindElem(Named(prefix, "lonLatEnvelope").c_str())) {
        PlxMBString srs = markup.GetAttrib(Named(prefix, "srsName").c_str());
        coverage->SRSList.Add(srs);
        coverage->EnvelopeSRS = srs;
        // The corners are GML, whatever prefix the document's own elements use.
        PlxArray<PlxMBString> positions;
        markup.IntoElem();
        while (markup.FindElem("gml:pos")) positions.Add(markup.GetData());
        markup.OutOfElem();
        coverage->LatLonBox = EnvelopeBox(positions);
    }

    markup.OutOfElem();
    return coverage;
}

} // namespace VMK
