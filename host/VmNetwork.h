// The host network toolkit: HTTP downloads into local files and the URL helpers
// every request builder relies on. All functions are static and thread-safe.
#pragma once

#include "PlxTypes.h"

#include <functional>
#include <memory>
#include <vector>

namespace VMK {

using PLX::PlxDict;
using PLX::PlxMBString;

using VmKVPairs = PlxDict<PlxMBString, PlxMBString>;

struct VmHttpProgress;
using VmHttpProgressHandler = std::function<void(const VmHttpProgress& progress)>;

// Time-outs and limits of every HTTP request. Defaults come from the
// environment when first used (OGCWEB_CONNECT_TIMEOUT seconds, default 10;
// OGCWEB_STALL_TIMEOUT seconds, default 30: a transfer slower than 1 byte/s for
// that long is abandoned; OGCWEB_TIMEOUT seconds for a whole request, default
// 300; OGCWEB_MAX_DOWNLOAD_MB, default 1024). A variable that is not a
// positive whole number keeps the default. Set replaces them process-wide.
// The rate behind the stall limit is libcurl's average over the last few
// seconds, so a silence right after a burst is noticed a few seconds late.
// A stall or total time-out of 0 (or less) sets no such limit, and so does a
// maxBytes of 0 (or less).
struct VmHttpSettings {
    long connectTimeoutMs = 10000;
    long stallTimeoutSec = 30;
    long totalTimeoutSec = 300;
    long long maxBytes = 1024LL * 1024 * 1024;

    static VmHttpSettings Get();
    static void Set(const VmHttpSettings& settings);

    // A process-wide observer of downloads, for a host that shows progress;
    // none by default, and an empty function removes it. A transfer uses the
    // handler that was set when it started. The handler runs on the thread
    // of the download (several at once when downloads run in parallel), at
    // most about four times a second per transfer while data is awaited or
    // arrives, and once more, with `finished` set, when the transfer ends
    // (whether it succeeded or not). It must return quickly and must not
    // throw; it cannot stop a transfer.
    static void SetProgressHandler(VmHttpProgressHandler handler);
};

// What a progress handler is told about one transfer.
struct VmHttpProgress {
    unsigned long long transfer = 0;  // tells concurrent transfers apart; never 0
    PlxMBString url;                  // as requested, before redirects
    long long received = 0;           // bytes received so far
    long long total = 0;              // announced length; 0 when not announced (yet)
    double elapsedSec = 0.0;          // since the transfer started
    bool finished = false;            // the last call for this transfer
    bool succeeded = false;           // with `finished`: a file was delivered
};

class VmHttpHelper {
public:
    // Downloads `url` into a new file in the temporary folder and returns its
    // path; "" on failure (no connection, time-out, HTTP status 400 or above,
    // a body over the size limit, a write error, an address that is not
    // http or https), in which case no file is left. Basic authentication
    // when `user` is not empty. Up to 5 redirects are followed, never to
    // another scheme than http(s), and credentials are never sent to another
    // host (another name, port or scheme) after a redirect. gzip and deflate
    // bodies are decoded. Method 0 is GET, the only one used; any other fails.
    // File type 0 names the file "*.xml" (documents), 1 "*.dat" (data).
    // `contentType` receives the response's Content-Type ("" when the server
    // sent none, and on failure).
    static PlxMBString RequestFile(const PlxMBString& url, const PlxMBString& user,
                                   const PlxMBString& password, int method, int fileType);
    static PlxMBString RequestFile(const PlxMBString& url, const PlxMBString& user,
                                   const PlxMBString& password, int method, int fileType,
                                   PlxMBString& contentType);

    // Splits at the first "?": `base` is what comes before it (the whole URL
    // when there is none), and each "&"-separated piece after it becomes a pair,
    // split at its first "=" (no "=": an empty value). Empty pieces and pieces
    // with an empty key are dropped; a key that comes again replaces the value.
    // Nothing is unescaped. `pairs` is emptied first. Returns 0 for an empty
    // URL (base and pairs emptied).
    static unsigned char URLtoKVPairs(const PlxMBString& url, PlxMBString& base, VmKVPairs& pairs);
    // Writes base + "?" + "k=v&" for every pair in key order: "base?k1=v1&k2=v2&",
    // and "base?" with no pair, so that an endpoint carrying its own parameters
    // takes further ones directly. Nothing is escaped. Returns 1.
    static unsigned char KVPairstoURL(const PlxMBString& base, const VmKVPairs& pairs, PlxMBString& url);

    // Splits "scheme://host[:port]/object?extra": `serviceType` is the scheme
    // in lower case, `object` the path starting with "/" ("/" when none),
    // `extra` the query with its leading "?" ("" when none), `port` the
    // explicit port or the scheme's default (80, 443, 21; 0 for any other).
    // "user:password@" before the host is dropped; a bracketed IPv6 host keeps
    // its brackets. Returns 0, with every output emptied, when the URL has no
    // "://", no scheme, no host or a port that is not 1 to 65535.
    static unsigned char VmParseURL2(const PlxMBString& url, PlxMBString& serviceType, PlxMBString& host,
                                     PlxMBString& object, PlxMBString& extra, int& port);
    // `first`: the URL before its first "?"; `second`: what follows the "?"
    // ("" when none). Returns 0 for an empty URL.
    static unsigned char VmParseURL3(const PlxMBString& url, PlxMBString& first, PlxMBString& second);

    // Sends the capabilities request `url` and returns the root element's
    // version attribute with its dots removed, read as a decimal number ("1.1.1"
    // gives 111). Any failure gives -1: no answer, an error status, a document
    // that is not XML, an exception report, a root without version.
    static int CheckOGCRequest(const PlxMBString& url, const PlxMBString& user, const PlxMBString& password);
};

// Many GETs at once through one libcurl multi handle, run by a thread of its
// own: the handle keeps the connections to a server between transfers and
// shares them among them (several requests on one connection where the
// server speaks HTTP/2). Every rule of RequestFile holds for each transfer:
// time-outs, the size cap, redirects, credentials, decoded bodies. The body
// stays in memory. Thread-safe; any number of threads may wait in Get.
class VmHttpTransfers {
public:
    // At most `connections` connections at once (1 to 64).
    explicit VmHttpTransfers(int connections);
    // Ends the transfers under way, as failures, and joins the thread.
    ~VmHttpTransfers();
    VmHttpTransfers(const VmHttpTransfers&) = delete;
    VmHttpTransfers& operator=(const VmHttpTransfers&) = delete;

    // Blocks until the transfer of `url` ends. True with the body and the
    // Content-Type ("" when none was sent); false for every failure that
    // RequestFile fails on, and once Cancel has been called.
    bool Get(const PlxMBString& url, const PlxMBString& user, const PlxMBString& password,
             std::vector<unsigned char>& body, PlxMBString& contentType);
    // Ends the transfers under way and refuses new ones: every Get returns
    // false at once instead of waiting for its server.
    void Cancel();

private:
    struct Transfer;
    struct State;
    void Run();

    std::unique_ptr<State> m_state;
};

} // namespace VMK
