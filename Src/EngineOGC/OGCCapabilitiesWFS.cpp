// WFS 1.0.0 capabilities reader.
#include "OGCCapabilities.h"

#include "VmToolkit.h"

#include <cstdlib>

#define VM_LOG_SOURCE "Src/EngineOGC/OGCCapabilitiesWFS"

VM_INSTALL_CRASH_DUMP();

namespace VMK {

namespace {

PlxMBString Named(const PlxMBString& prefix, const char* name) { return prefix + name; }

// The text of the next element of that name, when there is one.
void ReadText(VmMarkup& markup, const PlxMBString& prefix, const char* name, PlxMBString& field) {
    if (markup.FindElem(Named(prefix, name).c_str())) field = markup.GetData();
}

double AttribNumber(const VmMarkup& markup, const PlxMBString& prefix, const char* name) {
    return std::atof(markup.GetAttrib(Named(prefix, name).c_str()).c_str());
}

// The tag names of the children of the element at the position: the WFS
// document names operations and formats by empty elements (<Query/>, <GML2/>).
void ReadChildTagNames(VmMarkup& markup, PlxArray<PlxMBString>& names) {
    markup.IntoElem();
    while (markup.FindElem()) names.Add(markup.GetTagName());
    markup.OutOfElem();
}

// Keywords come as one comma-separated text. Only spaces are trimmed, and only
// around the whole text and after each comma: a keyword keeps the blanks it
// had before its comma, and a comma in first place does not split.
void SplitKeywordsAtCommas(PlxMBString text, PlxArray<PlxMBString>& keywords) {
    text.TrimLeft(" ");
    text.TrimRight(" ");
    for (int at = text.Find(','); at > 0; at = text.Find(',')) {
        keywords.Add(text.Left(at));
        text = text.Mid(at + 1);
        text.TrimLeft(" ");
    }
    keywords.Add(text);
}

bool ContainsNoCase(const PlxArray<PlxMBString>& list, const PlxMBString& item) {
    for (const PlxMBString& entry : list)
        if (entry.CompareNoCase(item) == 0) return true;
    return false;
}

} // namespace

unsigned char WFSCapabilities100::Parse(VmMarkup& markup) {
    PlxMBString prefix;
    if (!OpenRoot(markup, "WFS_Capabilities", prefix)) return 0;
    markup.IntoElem();

    if (markup.FindElem(Named(prefix, "Service").c_str())) {
        markup.IntoElem();
        ReadText(markup, prefix, "Name", Service.Name);
        ReadText(markup, prefix, "Title", Service.Title);
        ReadText(markup, prefix, "Abstract", Service.Abstract);
        if (markup.FindElem(Named(prefix, "Keywords").c_str())) SplitKeywordsAtCommas(markup.GetData(), Service.Keywords);
        ReadText(markup, prefix, "OnlineResource", Service.OnlineResource);
        ReadText(markup, prefix, "Fees", Service.Fees);
        ReadText(markup, prefix, "AccessConstraints", Service.AccessConstraints);
        markup.OutOfElem();
    }

    if (markup.FindElem(Named(prefix, "Capability").c_str())) {
        markup.IntoElem();
        ParseRequest(markup, prefix);
        markup.OutOfElem();
    }

    if (markup.FindElem(Named(prefix, "FeatureTypeList").c_str())) {
        markup.IntoElem();
        // Operations offered for every type; each type lists them again first.
        if (markup.FindElem(Named(prefix, "Operations").c_str())) ReadChildTagNames(markup, TypeListOperations);
        while (markup.FindElem(Named(prefix, "FeatureType").c_str()))
            FeatureTypes.Add(ParseFeatureType(markup, prefix));
        markup.OutOfElem();
    }

    markup.OutOfElem();
    return 1;
}

unsigned char WFSCapabilities100::ParseRequest(VmMarkup& markup, PlxMBString prefix) {
    if (!markup.FindElem(Named(prefix, "Request").c_str())) return 1;
    markup.IntoElem();

    struct Target {
        const char* name;
        OGCOperation* entry;
    };
    const Target targets[] = {
        {"GetCapabilities", &Capability.GetCapabilities},
        {"DescribeFeatureType", &Capability.DescribeFeatureType},
        {"GetFeature", &Capability.GetFeature},
        {"Transaction", &Capability.Transaction},
        {"LockFeature", &Capability.LockFeature},
        {"GetFeatureWithLock", &Capability.GetFeatureWithLock},
    };

    while (markup.FindElem()) {
        PlxMBString tag = markup.GetTagName();
        markup.IntoElem();

        // GetFeature offers result formats, DescribeFeatureType schema
        // languages; either way they become the entry's formats.
        PlxArray<PlxMBString> formats;
        if (markup.FindElem(Named(prefix, "ResultFormat").c_str()))
            ReadChildTagNames(markup, formats);
        else if (markup.FindElem(Named(prefix, "SchemaDescriptionLanguage").c_str()))
            ReadChildTagNames(markup, formats);

        while (markup.FindElem(Named(prefix, "DCPType").c_str())) {
            markup.IntoElem();
            if (markup.FindElem(Named(prefix, "HTTP").c_str())) {
                markup.IntoElem();
                // One HTTP element holding both methods yields its Get only.
                PlxMBString endpoint;
                PlxMBString OGCOperation::*field = nullptr;
                if (markup.FindElem(Named(prefix, "Get").c_str())) {
                    endpoint = markup.GetAttrib(Named(prefix, "onlineResource").c_str());
                    field = &OGCOperation::GetURL;
                } else if (markup.FindElem(Named(prefix, "Post").c_str())) {
                    endpoint = markup.GetAttrib(Named(prefix, "onlineResource").c_str());
                    field = &OGCOperation::PostURL;
                }
                if (field) {
                    for (const Target& target : targets) {
                        if (tag.CompareNoCase(Named(prefix, target.name)) != 0) continue;
                        target.entry->*field = StripReservedKeys(endpoint);
                        // Once per method: a request offered by Get and Post
                        // lists its formats twice.
                        target.entry->Formats.Append(formats);
                    }
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

WFSFeatureType* WFSCapabilities100::ParseFeatureType(VmMarkup& markup, const PlxMBString& prefix) const {
    WFSFeatureType* type = new WFSFeatureType();
    markup.IntoElem();
    ReadText(markup, prefix, "Name", type->Name);
    ReadText(markup, prefix, "Title", type->Title);
    ReadText(markup, prefix, "Abstract", type->Abstract);
    ReadText(markup, prefix, "SRS", type->SRS);

    // The list's operations first, then the type's own ones that the list
    // does not already grant.
    type->Operations.Append(TypeListOperations);
    if (markup.FindElem(Named(prefix, "Operations").c_str())) {
        PlxArray<PlxMBString> own;
        ReadChildTagNames(markup, own);
        for (const PlxMBString& operation : own)
            if (!ContainsNoCase(TypeListOperations, operation)) type->Operations.Add(operation);
    }

    while (markup.FindElem(Named(prefix, "LatLongBoundingBox").c_str()))
        type->LatLonBox = PlxRect2D(AttribNumber(markup, prefix, "minx"), AttribNumber(markup, prefix, "maxy"),
                                    AttribNumber(markup, prefix, "maxx"), AttribNumber(markup, prefix, "miny"));
    markup.OutOfElem();
    return type;
}

} // namespace VMK
