// HTTP downloads on libcurl and the URL helpers. Every request of the plug-in
// ends up here, so this file owns the limits that keep a misbehaving server
// from hanging a map redraw or filling the disk: time-outs, a size cap, and
// redirects that neither leave http(s) nor carry credentials to another host.
#include "VmNetwork.h"

#include "VmHttpOptions.h"

#include "VmMarkupOutline.h"
#include "VmStream.h"

#include <curl/curl.h>
#include <pugixml.hpp>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace VMK {

namespace {

// ---------------------------------------------------------------------------
// Settings

std::mutex g_settingsMutex;
bool g_settingsLoaded = false;
VmHttpSettings g_settings;

// A positive whole number from the environment, or `fallback` when the
// variable is unset or not such a number (a typo must not disable a limit).
long long PositiveFromEnv(const char* name, long long fallback, long long maximum) {
    const char* text = std::getenv(name);
    if (!text || !*text) return fallback;
    errno = 0;
    char* end = nullptr;
    long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value <= 0) return fallback;
    return value > maximum ? maximum : value;
}

VmHttpSettings SettingsFromEnvironment() {
    VmHttpSettings s;
    s.connectTimeoutMs = static_cast<long>(
        PositiveFromEnv("OGCWEB_CONNECT_TIMEOUT", s.connectTimeoutMs / 1000, LONG_MAX / 1000) * 1000);
    s.stallTimeoutSec = static_cast<long>(PositiveFromEnv("OGCWEB_STALL_TIMEOUT", s.stallTimeoutSec, LONG_MAX));
    s.totalTimeoutSec = static_cast<long>(PositiveFromEnv("OGCWEB_TIMEOUT", s.totalTimeoutSec, LONG_MAX));
    const long long mb = 1024LL * 1024;
    s.maxBytes = PositiveFromEnv("OGCWEB_MAX_DOWNLOAD_MB", s.maxBytes / mb, LLONG_MAX / mb) * mb;
    return s;
}

// ---------------------------------------------------------------------------
// Progress reports

// Held through a shared pointer so that a transfer keeps the handler it
// started with alive even when another thread replaces it meanwhile.
std::mutex g_progressMutex;
std::shared_ptr<const VmHttpProgressHandler> g_progressHandler;
std::atomic<unsigned long long> g_nextTransfer{1};

std::shared_ptr<const VmHttpProgressHandler> CurrentProgressHandler() {
    std::lock_guard<std::mutex> lock(g_progressMutex);
    return g_progressHandler;
}

class ProgressReporter {
public:
    using Clock = std::chrono::steady_clock;

    ProgressReporter(std::shared_ptr<const VmHttpProgressHandler> handler, const PlxMBString& url)
        : m_handler(std::move(handler)), m_start(Clock::now()), m_lastCall(m_start) {
        m_progress.transfer = g_nextTransfer.fetch_add(1);
        m_progress.url = url;
    }

    void Attach(CURL* curl) {
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &ProgressReporter::OnTransferInfo);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    }

    void Finish(CURL* curl, bool succeeded) {
        curl_off_t received = 0;
        curl_off_t announced = -1;
        if (curl) {
            curl_easy_getinfo(curl, CURLINFO_SIZE_DOWNLOAD_T, &received);
            curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
        }
        m_progress.received = received > m_progress.received ? static_cast<long long>(received) : m_progress.received;
        if (announced > 0) m_progress.total = static_cast<long long>(announced);
        m_progress.finished = true;
        m_progress.succeeded = succeeded;
        Call(Clock::now());
    }

private:
    // libcurl calls this far more often than anyone wants to redraw a
    // progress line: several times per received chunk, and about once a
    // second while the server is silent.
    static int OnTransferInfo(void* data, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t) {
        auto* self = static_cast<ProgressReporter*>(data);
        const Clock::time_point at = Clock::now();
        if (at - self->m_lastCall < kMinInterval) return 0;
        self->m_lastCall = at;
        self->m_progress.received = static_cast<long long>(now);
        self->m_progress.total = total > 0 ? static_cast<long long>(total) : 0;
        self->Call(at);
        return 0;
    }

    void Call(Clock::time_point at) {
        m_progress.elapsedSec = std::chrono::duration<double>(at - m_start).count();
        // An exception must not unwind through libcurl's C frames.
        try {
            (*m_handler)(m_progress);
        } catch (...) {
        }
    }

    static constexpr std::chrono::milliseconds kMinInterval{250};
    std::shared_ptr<const VmHttpProgressHandler> m_handler;
    VmHttpProgress m_progress;
    Clock::time_point m_start;
    Clock::time_point m_lastCall;
};

// ---------------------------------------------------------------------------
// libcurl handles

// Idle easy handles. A handle keeps its connection cache between transfers,
// so handing the same handles out again lets keep-alive connections to a
// server be reused across requests (a tile pyramid is hundreds of requests to
// one host). Each handle is used by one thread at a time.
class EasyHandlePool {
public:
    ~EasyHandlePool() {
        for (CURL* handle : m_idle) curl_easy_cleanup(handle);
    }

    CURL* Take() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_idle.empty()) {
                CURL* handle = m_idle.back();
                m_idle.pop_back();
                return handle;
            }
        }
        return curl_easy_init();
    }

    void Give(CURL* handle) {
        if (!handle) return;
        // Options of the last transfer (credentials above all) must not reach
        // the next one; reset keeps the live connections.
        curl_easy_reset(handle);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_idle.size() < kMaxIdle) {
                m_idle.push_back(handle);
                return;
            }
        }
        curl_easy_cleanup(handle);
    }

private:
    static constexpr size_t kMaxIdle = 16;
    std::mutex m_mutex;
    std::vector<CURL*> m_idle;
};

EasyHandlePool& Pool() {
    static EasyHandlePool pool;
    return pool;
}

class PooledHandle {
public:
    PooledHandle() : m_handle(Pool().Take()) {}
    ~PooledHandle() { Pool().Give(m_handle); }
    PooledHandle(const PooledHandle&) = delete;
    PooledHandle& operator=(const PooledHandle&) = delete;
    CURL* get() const { return m_handle; }

private:
    CURL* m_handle;
};

// Digits only once the dots are gone: "1.3.0" is 130, "1.3.0beta" is no version.
int VersionNumber(std::string text) {
    const char* space = " \t\r\n";
    size_t first = text.find_first_not_of(space);
    if (first == std::string::npos) return -1;
    text = text.substr(first, text.find_last_not_of(space) - first + 1);
    std::string digits;
    for (char ch : text) {
        if (ch == '.') continue;
        if (ch < '0' || ch > '9') return -1;
        digits += ch;
    }
    if (digits.empty()) return -1;
    errno = 0;
    long value = std::strtol(digits.c_str(), nullptr, 10);
    if (errno == ERANGE || value > INT_MAX) return -1;
    return static_cast<int>(value);
}

const char* LocalName(const char* name) {
    const char* colon = std::strrchr(name, ':');
    return colon ? colon + 1 : name;
}

// A capabilities version probe needs only the answer's root start tag, and
// the answer may be the whole document of megabytes, once per version
// tried. The answer is read until that tag is in, then the transfer is cut
// off; a short rest is still read (and dropped), so that the connection
// stays open for the request that follows.
struct ProbeSink {
    std::string text;
    long long maxBytes = 0;
    CURL* curl = nullptr;
    bool failed = false;
    bool enough = false;    // `text` holds the root's start tag
    bool draining = false;  // enough, and the rest is being read only to end the answer
    markup::DocumentOutline outline;
};

// Looking again after every piece costs nothing for the usual prolog of a
// few hundred bytes; a prolog that has not ended after this much is read
// to the end and judged once.
constexpr size_t kProbeLookLimit = size_t(1) << 20;
constexpr curl_off_t kProbeDrainBytes = 64 * 1024;

// How much of a download into a file is received and written at a time.
constexpr size_t kFileBufferBytes = 256 * 1024;

bool RootTagIn(ProbeSink& probe, bool whole) {
    if ((!whole && probe.text.size() > kProbeLookLimit) ||
        !markup::IsUtf8Document(probe.text.data(), probe.text.size()))
        return false;
    std::string error;
    return markup::OutlineRootTag(probe.text.data(), probe.text.size(), probe.outline, error);
}

size_t WriteProbe(char* data, size_t size, size_t count, void* userData) {
    auto* probe = static_cast<ProbeSink*>(userData);
    const size_t bytes = size * count;
    if (probe->draining) return bytes;
    if (probe->maxBytes > 0 && static_cast<long long>(probe->text.size() + bytes) > probe->maxBytes) {
        probe->failed = true;
        return 0;
    }
    try {
        probe->text.append(data, bytes);
    } catch (const std::bad_alloc&) {
        probe->failed = true;
        return 0;
    }
    if (!RootTagIn(*probe, false)) return bytes;
    probe->enough = true;
    curl_off_t announced = -1, received = 0;
    curl_easy_getinfo(probe->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
    curl_easy_getinfo(probe->curl, CURLINFO_SIZE_DOWNLOAD_T, &received);
    probe->draining = announced >= 0 && announced - received <= kProbeDrainBytes;
    // Less than offered: libcurl ends the transfer.
    return probe->draining ? bytes : 0;
}

// The version of the root of a probe's answer; -1 for an exception report,
// a root without a version or a text that is no document.
int VersionOfAnswer(ProbeSink& probe) {
    pugi::xml_document doc;
    if (probe.enough || RootTagIn(probe, true)) {
        const std::string tag = markup::RootStartTag(probe.text.data(), probe.outline);
        if (!doc.load_buffer(tag.data(), tag.size(), pugi::parse_default, pugi::encoding_utf8)) return -1;
    } else if (markup::IsUtf8Document(probe.text.data(), probe.text.size()) ||
               !doc.load_buffer(probe.text.data(), probe.text.size(), pugi::parse_default)) {
        // A UTF-8 text whose root tag could not be read, or another
        // encoding's that is no document.
        return -1;
    }
    pugi::xml_node root;
    for (pugi::xml_node node : doc.children()) {
        if (node.type() == pugi::node_element) {
            root = node;
            break;
        }
    }
    if (!root) return -1;
    const char* local = LocalName(root.name());
    if (std::strcmp(local, "ServiceExceptionReport") == 0 || std::strcmp(local, "ExceptionReport") == 0) return -1;

    pugi::xml_attribute version = root.attribute("version");
    if (!version) {
        for (pugi::xml_attribute attr : root.attributes()) {
            if (std::strcmp(LocalName(attr.name()), "version") == 0 && std::strchr(attr.name(), ':')) {
                version = attr;
                break;
            }
        }
    }
    if (!version) return -1;
    return VersionNumber(version.value());
}

} // namespace

// ---------------------------------------------------------------------------
// Options every transfer shares (single or batched)

namespace http {

namespace {

std::once_flag g_curlInitOnce;

// Returning less than offered makes libcurl abort with CURLE_WRITE_ERROR,
// which is how an oversized body stops without being read to its end.
size_t WriteToSink(char* data, size_t size, size_t count, void* userData) {
    auto* sink = static_cast<DownloadSink*>(userData);
    const size_t bytes = size * count;
    if (sink->maxBytes > 0 && static_cast<long long>(bytes) > sink->maxBytes - sink->written) {
        sink->failed = true;
        return 0;
    }
    if (bytes != 0) {
        if (sink->file) {
            if (std::fwrite(data, 1, bytes, sink->file) != bytes) {
                sink->failed = true;
                return 0;
            }
        } else if (sink->memory) {
            try {
                sink->memory->insert(sink->memory->end(), data, data + bytes);
            } catch (const std::bad_alloc&) {
                sink->failed = true;
                return 0;
            }
        }
    }
    sink->written += static_cast<long long>(bytes);
    return bytes;
}

} // namespace

void EnsureCurlInitialised() {
    std::call_once(g_curlInitOnce, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

void ApplyOptions(CURL* curl, const PlxMBString& url, const PlxMBString& user, const PlxMBString& password,
                  const VmHttpSettings& settings, DownloadSink& sink) {
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    // Time-outs must not raise SIGALRM in a multi-threaded host.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    // A service URL typed by a user or found in a capabilities document must
    // not make us read local files or speak other protocols, not even after
    // a redirect.
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#else
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
    // Stated although it is libcurl's default: credentials go only to the
    // host, port and scheme they were given for.
    curl_easy_setopt(curl, CURLOPT_UNRESTRICTED_AUTH, 0L);
    // "" offers every encoding this libcurl can decode, and decodes it.
    curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "OGCWebEngine/0.1 libcurl");

    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, settings.connectTimeoutMs > 0 ? settings.connectTimeoutMs : 0L);
    if (settings.stallTimeoutSec > 0) {
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, settings.stallTimeoutSec);
    }
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, settings.totalTimeoutSec > 0 ? settings.totalTimeoutSec : 0L);
    // An announced length over the cap is refused before any byte is read;
    // the write callback catches bodies of unannounced length.
    if (settings.maxBytes > 0)
        curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(settings.maxBytes));

    if (!user.IsEmpty()) {
        curl_easy_setopt(curl, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        curl_easy_setopt(curl, CURLOPT_USERNAME, user.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, password.c_str());
    }

    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteToSink);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
}

bool Delivered(CURL* curl, CURLcode result, const DownloadSink& sink, PlxMBString& contentType) {
    contentType.Empty();
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (result != CURLE_OK || sink.failed || status >= 400) return false;
    char* type = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type) contentType = type;
    return true;
}

} // namespace http

// ---------------------------------------------------------------------------

VmHttpSettings VmHttpSettings::Get() {
    std::lock_guard<std::mutex> lock(g_settingsMutex);
    if (!g_settingsLoaded) {
        g_settings = SettingsFromEnvironment();
        g_settingsLoaded = true;
    }
    return g_settings;
}

void VmHttpSettings::Set(const VmHttpSettings& settings) {
    std::lock_guard<std::mutex> lock(g_settingsMutex);
    g_settings = settings;
    g_settingsLoaded = true;
}

void VmHttpSettings::SetProgressHandler(VmHttpProgressHandler handler) {
    // Declared before the lock: the old handler's captures are destroyed
    // after it is released, never under it.
    std::shared_ptr<const VmHttpProgressHandler> replacement;
    if (handler) replacement = std::make_shared<const VmHttpProgressHandler>(std::move(handler));
    std::lock_guard<std::mutex> lock(g_progressMutex);
    g_progressHandler.swap(replacement);
}

PlxMBString VmHttpHelper::RequestFile(const PlxMBString& url, const PlxMBString& user,
                                      const PlxMBString& password, int method, int fileType) {
    PlxMBString contentType;
    return RequestFile(url, user, password, method, fileType, contentType);
}

PlxMBString VmHttpHelper::RequestFile(const PlxMBString& url, const PlxMBString& user,
                                      const PlxMBString& password, int method, int fileType,
                                      PlxMBString& contentType) {
    contentType.Empty();
    if (url.IsEmpty() || method != 0) return PlxMBString();
    http::EnsureCurlInitialised();
    const VmHttpSettings settings = VmHttpSettings::Get();

    PlxMBString path = VmFile::CreateTempFile("ogc", fileType == 0 ? ".xml" : ".dat");
    if (path.IsEmpty()) return PlxMBString();
    http::DownloadSink sink;
    sink.maxBytes = settings.maxBytes;
    sink.file = std::fopen(path.c_str(), "wb");
    if (!sink.file) {
        VmFile::Delete(path);
        return PlxMBString();
    }
    // A download of megabytes would otherwise go to the file 4 KiB at a
    // time; the buffer is the thread's, as a transfer runs on one thread.
    thread_local std::vector<char> fileBuffer(kFileBufferBytes);
    std::setvbuf(sink.file, fileBuffer.data(), _IOFBF, fileBuffer.size());

    bool ok = false;
    PlxMBString receivedType;
    std::unique_ptr<ProgressReporter> progress;
    if (auto handler = CurrentProgressHandler()) progress.reset(new ProgressReporter(std::move(handler), url));
    {
        PooledHandle handle;
        if (CURL* curl = handle.get()) {
            http::ApplyOptions(curl, url, user, password, settings, sink);
            curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, static_cast<long>(kFileBufferBytes));
            if (progress) progress->Attach(curl);
            ok = http::Delivered(curl, curl_easy_perform(curl), sink, receivedType);
            // A full disk may only show when the buffered tail is flushed,
            // and the report must not claim success before that is known.
            if (std::fclose(sink.file) != 0) ok = false;
            sink.file = nullptr;
            if (progress) progress->Finish(curl, ok);
        } else if (progress) {
            progress->Finish(nullptr, false);
        }
    }
    if (sink.file && std::fclose(sink.file) != 0) ok = false;
    if (!ok) {
        VmFile::Delete(path);
        return PlxMBString();
    }
    contentType = receivedType;
    return path;
}

unsigned char VmHttpHelper::URLtoKVPairs(const PlxMBString& url, PlxMBString& base, VmKVPairs& pairs) {
    base.Empty();
    pairs.RemoveAll();
    if (url.IsEmpty()) return 0;
    const std::string& text = url.str();
    const size_t question = text.find('?');
    if (question == std::string::npos) {
        base = url;
        return 1;
    }
    base = PlxMBString(text.substr(0, question));
    size_t start = question + 1;
    while (start <= text.size()) {
        size_t amp = text.find('&', start);
        if (amp == std::string::npos) amp = text.size();
        const std::string piece = text.substr(start, amp - start);
        const size_t eq = piece.find('=');
        const std::string key = eq == std::string::npos ? piece : piece.substr(0, eq);
        if (!key.empty())
            pairs.SetAt(PlxMBString(key), PlxMBString(eq == std::string::npos ? std::string() : piece.substr(eq + 1)));
        start = amp + 1;
    }
    return 1;
}

unsigned char VmHttpHelper::KVPairstoURL(const PlxMBString& base, const VmKVPairs& pairs, PlxMBString& url) {
    std::string text = base.str();
    text += '?';
    for (const auto& pair : pairs) {
        text += pair.first.str();
        text += '=';
        text += pair.second.str();
        text += '&';
    }
    url = PlxMBString(std::move(text));
    return 1;
}

unsigned char VmHttpHelper::VmParseURL2(const PlxMBString& url, PlxMBString& serviceType, PlxMBString& host,
                                        PlxMBString& object, PlxMBString& extra, int& port) {
    serviceType.Empty();
    host.Empty();
    object.Empty();
    extra.Empty();
    port = 0;

    const std::string& text = url.str();
    const size_t schemeEnd = text.find("://");
    if (schemeEnd == std::string::npos || schemeEnd == 0) return 0;
    std::string scheme = text.substr(0, schemeEnd);
    for (char& ch : scheme) {
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    }

    const size_t authorityStart = schemeEnd + 3;
    size_t authorityEnd = text.find_first_of("/?", authorityStart);
    if (authorityEnd == std::string::npos) authorityEnd = text.size();
    std::string authority = text.substr(authorityStart, authorityEnd - authorityStart);
    const size_t at = authority.rfind('@');
    if (at != std::string::npos) authority.erase(0, at + 1);

    // A bracketed IPv6 address holds colons of its own.
    std::string hostPart = authority;
    std::string portPart;
    const size_t closing = authority.rfind(']');
    const size_t colon = authority.rfind(':');
    if (colon != std::string::npos && (closing == std::string::npos || colon > closing)) {
        hostPart = authority.substr(0, colon);
        portPart = authority.substr(colon + 1);
    }
    if (hostPart.empty()) return 0;

    int portNumber = 0;
    if (!portPart.empty()) {
        if (portPart.size() > 5 || portPart.find_first_not_of("0123456789") != std::string::npos) return 0;
        portNumber = std::atoi(portPart.c_str());
        if (portNumber < 1 || portNumber > 65535) return 0;
    } else if (scheme == "http") {
        portNumber = 80;
    } else if (scheme == "https") {
        portNumber = 443;
    } else if (scheme == "ftp") {
        portNumber = 21;
    }

    const std::string rest = text.substr(authorityEnd);
    const size_t question = rest.find('?');
    std::string path = rest.substr(0, question);
    if (path.empty()) path = "/";

    serviceType = PlxMBString(scheme);
    host = PlxMBString(hostPart);
    object = PlxMBString(path);
    if (question != std::string::npos) extra = PlxMBString(rest.substr(question));
    port = portNumber;
    return 1;
}

unsigned char VmHttpHelper::VmParseURL3(const PlxMBString& url, PlxMBString& first, PlxMBString& second) {
    first.Empty();
    second.Empty();
    if (url.IsEmpty()) return 0;
    const std::string& text = url.str();
    const size_t question = text.find('?');
    if (question == std::string::npos) {
        first = url;
        return 1;
    }
    first = PlxMBString(text.substr(0, question));
    second = PlxMBString(text.substr(question + 1));
    return 1;
}

int VmHttpHelper::CheckOGCRequest(const PlxMBString& url, const PlxMBString& user, const PlxMBString& password) {
    if (url.IsEmpty()) return -1;
    http::EnsureCurlInitialised();
    const VmHttpSettings settings = VmHttpSettings::Get();
    ProbeSink probe;
    probe.maxBytes = settings.maxBytes;
    bool delivered = false;
    std::unique_ptr<ProgressReporter> progress;
    if (auto handler = CurrentProgressHandler()) progress.reset(new ProgressReporter(std::move(handler), url));
    {
        PooledHandle handle;
        CURL* curl = handle.get();
        if (!curl) {
            if (progress) progress->Finish(nullptr, false);
            return -1;
        }
        http::DownloadSink unused;
        http::ApplyOptions(curl, url, user, password, settings, unused);
        probe.curl = curl;
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteProbe);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &probe);
        if (progress) progress->Attach(curl);
        const CURLcode result = curl_easy_perform(curl);
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        // Once the root's start tag is in, how the rest of the transfer
        // went (cut off by us, or short) no longer matters.
        delivered = status > 0 && status < 400 && (probe.enough || (result == CURLE_OK && !probe.failed));
        if (progress) progress->Finish(curl, delivered);
    }
    return delivered ? VersionOfAnswer(probe) : -1;
}

} // namespace VMK
