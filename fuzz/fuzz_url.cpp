// The URL helpers every request is built with: splitting an address into
// key=value pairs and joining them again, removing the OGC keywords from a
// typed address, the request base, and the address parsers. Besides looking
// for crashes, it checks the rules the README gives for splitting and
// joining, since every request the engine sends depends on them.
#include "FuzzSupport.h"
#include "VmDataSourceOGC.h"
#include "VmNetwork.h"
#include "VmOGCRequest.h"

#include <cstdio>
#include <cstdlib>

using namespace VMK;

namespace {

class KeywordSource : public VmDataSourceOGC {
public:
    using VmDataSourceOGC::TrimKeyWord;
};

[[noreturn]] void Broken(const char* rule, const PlxMBString& url) {
    std::fprintf(stderr, "URL rule broken: %s\n  url: \"%s\"\n", rule, url.c_str());
    std::abort();
}

bool SamePairs(const VmKVPairs& a, const VmKVPairs& b) {
    if (a.GetCount() != b.GetCount()) return false;
    for (const auto& pair : a) {
        PlxMBString value;
        if (!b.Lookup(pair.first, value) || value != pair.second) return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ogcfuzz::Round round;
    const PlxMBString url = ogcfuzz::AsText(data, size);

    // Splitting then joining then splitting gives the same base and pairs.
    PlxMBString base, base2, joined;
    VmKVPairs pairs, pairs2;
    unsigned char split = VmHttpHelper::URLtoKVPairs(url, base, pairs);
    if (!split != url.IsEmpty()) Broken("only an empty URL fails to split", url);
    VmHttpHelper::KVPairstoURL(base, pairs, joined);
    VmHttpHelper::URLtoKVPairs(joined, base2, pairs2);
    if (base2 != base) Broken("the base survives a join", url);
    if (!SamePairs(pairs, pairs2)) Broken("the pairs survive a join", url);
    for (const auto& pair : pairs)
        if (pair.first.IsEmpty() || pair.first.Find('=') >= 0 || pair.first.Find('&') >= 0)
            Broken("keys are not empty and hold no = or &", url);

    // The typed address loses every keyword, and trimming twice changes nothing.
    static KeywordSource source;
    PlxMBString trimmed = source.TrimKeyWord(url);
    if (source.TrimKeyWord(trimmed) != trimmed) Broken("keyword trimming is idempotent", url);
    VmHttpHelper::URLtoKVPairs(trimmed, base2, pairs2);
    for (const auto& pair : pairs2) {
        PlxMBString key = pair.first;
        key.MakeUpper();
        if (key == "VERSION" || key == "REQUEST" || key == "LAYERS" || key == "BBOX")
            Broken("no OGC keyword survives trimming", url);
    }

    // The request base ends in "?" or stands after an endpoint's own query.
    PlxMBString requestBase = RequestBase(url, PlxMBString());
    if (requestBase.Find('?') < 0) Broken("a request base holds a ?", url);
    RequestBase(PlxMBString(), url);

    PlxMBString first, second;
    if (VmHttpHelper::VmParseURL3(url, first, second)) {
        PlxMBString again = url.Find('?') >= 0 ? first + "?" + second : first;
        if (again != url) Broken("the two parts make the URL", url);
    }
    PlxMBString scheme, host, object, extra;
    int port = -1;
    if (VmHttpHelper::VmParseURL2(url, scheme, host, object, extra, port)) {
        if (port < 0 || port > 65535) Broken("ports are 0 to 65535", url);
        if (object.Left(1) != "/") Broken("the object starts with /", url);
    }

    ImportFileTypeOf(url, true);
    ImportFileTypeOf(url, false);

    VmDataSourceOGC typed;
    typed.GetConnectionInfo().Server = url;
    typed.GetConnectionInfo().Target = size % 2 ? "wms" : "wfs";
    typed.AutoPatchURL();
    return 0;
}
