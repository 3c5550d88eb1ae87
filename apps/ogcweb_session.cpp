#include "ogcweb_session.h"

#include "ogcweb_progress.h"

#include "VmConnectivity.h"
#include "VmNetwork.h"
#include "VmProjection.h"
#include "VmStream.h"
#include "VmTileCache.h"
#include "VmToolkit.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

namespace ogcweb {

namespace {

using Factory = VMK::VmDataSource* (*)();

// The engine's own entries are logged at 100-400; ours at the failure level
// so that a log reader sorting by level finds them with the engine's failures.
const int kLogLevelFailure = 400;
const size_t kMaxCodesShown = 6;

bool Exists(const std::string& path) {
    std::error_code ec;
    return !path.empty() && fs::exists(path, ec);
}

// An installed ogcweb finds the engine installed beside it, wherever the
// tree was moved to; the one in the build tree finds the engine built with
// it; the configured install location is the last resort, and its name is
// what an error message shows when nothing was found at all.
std::string DefaultPluginPath() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        const std::string beside = (exe.parent_path() / OGCWEB_RELATIVE_PLUGIN).lexically_normal().string();
        if (Exists(beside)) return beside;
    }
    if (Exists(OGCWEB_DEFAULT_PLUGIN)) return OGCWEB_DEFAULT_PLUGIN;
    return OGCWEB_INSTALLED_PLUGIN;
}

std::string PluginPath(const ParsedArgs& args) {
    if (args.Has("plugin")) return args.Value("plugin");
    const char* fromEnvironment = std::getenv("OGCWEB_PLUGIN");
    if (fromEnvironment && *fromEnvironment) return fromEnvironment;
    return DefaultPluginPath();
}

std::string Kind(const ParsedArgs& args) {
    const std::string kind = args.Value("kind", "wms");
    for (const char* known : {"wms", "wfs", "wcs", "wmts"})
        if (kind == known) return kind;
    throw UsageError("--kind must be wms, wfs, wcs or wmts, not \"" + kind + "\"");
}

bool ShowProgress(const ParsedArgs& args) {
    if (args.Has("progress") && args.Has("no-progress"))
        throw UsageError("--progress and --no-progress contradict each other");
    if (args.Has("progress")) return true;
    if (args.Has("no-progress")) return false;
    // A log or a pipe would only collect carriage returns.
    return ::isatty(STDERR_FILENO) == 1;
}

} // namespace

const std::vector<OptionDef>& CommonOptions() {
    static const std::vector<OptionDef> options = {
        {"kind", 0, "KIND", false, "service kind: wms (default), wfs, wcs or wmts"},
        {"user", 0, "USER", false, "user name for basic authentication"},
        {"password", 0, "PASSWORD", false, "password for basic authentication"},
        {"cache", 0, "DIR", false, "tile cache folder (wmts)"},
        {"connections", 0, "N", false, "download N tiles at a time (wmts; 1..32, default 8)"},
        {"timeout", 0, "SEC", false, "give up any single request after SEC seconds (default 300)"},
        {"temp", 0, "DIR", false, "folder for downloaded files (default: the system's)"},
        {"log", 0, "FILE", false, "append the engine's log to FILE (default: ogcweb.log in the temporary folder)"},
        {"plugin", 0, "PATH", false, "engine library to load (default: $OGCWEB_PLUGIN, else the installed one)"},
        {"progress", 0, nullptr, false, "show download progress even when standard error is not a terminal"},
        {"no-progress", 0, nullptr, false, "never show download progress"},
    };
    return options;
}

Session::Session(const ParsedArgs& args) : m_args(args) {
    // Before the log is first touched: its default file lives in the
    // temporary folder.
    if (args.Has("temp")) {
        const std::string dir = args.Value("temp");
        if (dir.empty()) throw UsageError("--temp needs a folder");
        VMK::VmFile::SetTempDir(dir.c_str());
        if (!VMK::VmFile::IsExist(VMK::VmFile::GetTempDir()))
            throw Failure("cannot use " + dir + " as temporary folder");
    }
    VMK::VmLogFile& log = VMK::VmLogFile::GetInstance(false);
    if (args.Has("log")) log.SetPath(args.Value("log").c_str());
    if (args.Has("timeout")) {
        VMK::VmHttpSettings settings = VMK::VmHttpSettings::Get();
        settings.totalTimeoutSec = ParseSeconds(args.Value("timeout"), "--timeout");
        VMK::VmHttpSettings::Set(settings);
    }
    if (args.Has("connections"))
        VMK::VmMapServiceStub::SetDefaultWorkerCount(ParseCount(args.Value("connections"), "--connections", 1, 32));
    Kind(args);
    if (ShowProgress(args)) m_progress.reset(new ProgressLine(stderr));

    const std::string path = PluginPath(args);
    // As a host does: each engine keeps its symbols to itself, and a broken
    // engine fails here rather than at its first call.
    m_library.reset(::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!m_library) {
        const char* why = ::dlerror();
        throw Failure("cannot load the engine " + path + ": " + (why ? why : "unknown reason") +
                      " (give --plugin PATH or set OGCWEB_PLUGIN)");
    }
    auto factory = reinterpret_cast<Factory>(::dlsym(m_library.get(), "CreateDataSource"));
    if (!factory) throw Failure(path + " is not a data source engine: it has no CreateDataSource");
    m_source.reset(factory());
    if (!m_source) throw Failure("the engine " + path + " could not create a data source");
    log.ClearEntries();
}

Session::~Session() = default;

void Session::Unload::operator()(void* library) const {
    if (library) ::dlclose(library);
}

VMK::VmDataSource& Session::Open(const std::string& url) {
    {
        PLX::PlxMBString scheme, host, object, extra;
        int port = 0;
        if (!VMK::VmHttpHelper::VmParseURL2(url.c_str(), scheme, host, object, extra, port) ||
            (scheme != "http" && scheme != "https"))
            throw UsageError("\"" + url + "\" is not an http or https address");
    }
    m_url = url;
    const std::string kind = Kind(m_args);
    VMK::PlxDsConnection& connection = m_source->GetConnectionInfo();
    connection.Server = url.c_str();
    connection.User = m_args.Value("user").c_str();
    connection.Password = m_args.Value("password").c_str();
    connection.ServiceKind = kind.c_str();
    connection.Target = kind == "wmts" ? m_args.Value("cache").c_str() : kind.c_str();
    if (m_source->Open()) return *m_source;

    // The engine says no more than that it failed; the version tells
    // whether negotiation or the capabilities document after it went wrong.
    const char* reason = m_source->GetServiceVersion().IsEmpty()
                             ? "no version agreed with the server"
                             : "the server answered no capabilities request the engine could use";
    throw Fail("cannot open " + url + ": " + reason, TakeLogEntries());
}

PLX::PlxDataSource& Session::OpenBridge(const std::string& url) {
    {
        PLX::PlxMBString scheme, host, object, extra;
        int port = 0;
        if (!VMK::VmHttpHelper::VmParseURL2(url.c_str(), scheme, host, object, extra, port) ||
            (scheme != "http" && scheme != "https"))
            throw UsageError("\"" + url + "\" is not an http or https address");
    }
    using BridgeFactory = PLX::PlxDataSource* (*)();
    auto factory = reinterpret_cast<BridgeFactory>(::dlsym(m_library.get(), "CreatePlxDataSource"));
    if (!factory) throw Failure("the engine has no data-connectivity bridge: it has no CreatePlxDataSource");
    m_bridge.reset(factory());
    if (!m_bridge) throw Failure("the engine could not create a data-connectivity bridge");
    m_url = url;
    const std::string kind = Kind(m_args);
    PLX::PlxConnection connection;
    connection.Server = url.c_str();
    connection.User = m_args.Value("user").c_str();
    connection.Password = m_args.Value("password").c_str();
    connection.Kind = kind.c_str();
    if (kind == "wmts") connection.Target = m_args.Value("cache").c_str();
    if (m_bridge->Open(connection)) return *m_bridge;
    const char* reason = m_bridge->GetVersion().IsEmpty()
                             ? "no version agreed with the server"
                             : "the server answered no capabilities request the engine could use";
    throw Fail("cannot open " + url + " through the bridge: " + reason, TakeLogEntries());
}

std::vector<VMK::VmLogEntry> Session::TakeLogEntries() {
    VMK::VmLogFile& log = VMK::VmLogFile::GetInstance(false);
    std::vector<VMK::VmLogEntry> entries = log.Entries();
    log.ClearEntries();
    return entries;
}

Failure Session::Fail(const std::string& message, const std::vector<VMK::VmLogEntry>& entries) {
    const std::vector<std::string> codes = VMK::DistinctCodes(entries);
    std::string notes;
    for (size_t i = 0; i < codes.size() && i < kMaxCodesShown; ++i) notes += (i ? ", " : "log: ") + codes[i];
    if (codes.size() > kMaxCodesShown) notes += ", ...";
    VMK::VmLogFile& log = VMK::VmLogFile::GetInstance(false);
    const std::string path = log.GetPath().str();
    if (!path.empty()) notes += (notes.empty() ? "see log " : "; see ") + path;

    log.RecordLog(kLogLevelFailure, "ogcweb", message.c_str(), "apps/ogcweb", 0);
    return Failure(notes.empty() ? message : message + " (" + notes + ")");
}

void Session::EndProgressLine() {
    if (m_progress) m_progress->Interrupt();
}

DownloadFolder::DownloadFolder(const std::string& purpose) : m_previous(VMK::VmFile::GetTempDir().str()) {
    std::string pattern = m_previous + "/ogcweb-" + purpose + "-XXXXXX";
    if (::mkdtemp(&pattern[0])) {
        m_dir = pattern;
        VMK::VmFile::SetTempDir(m_dir.c_str());
    }
}

DownloadFolder::~DownloadFolder() {
    if (m_dir.empty()) return;
    VMK::VmFile::SetTempDir(m_previous.c_str());
    std::error_code ec;
    fs::remove_all(m_dir, ec);
}

const char* DatasetTypeWord(int type) {
    switch (type) {
    case VMK::VmDataset::Tabular: return "table";
    case VMK::VmDataset::Point: return "points";
    case VMK::VmDataset::Line: return "lines";
    case VMK::VmDataset::Region: return "regions";
    case VMK::VmDataset::Text: return "text";
    case VMK::VmDataset::WebTile: return "tiles";
    case VMK::VmDataset::Image: return "image";
    case VMK::VmDataset::Grid: return "grid";
    case VMK::VmDataset::WebMap: return "map";
    case VMK::VmDataset::WebCoverage: return "coverage";
    case VMK::VmDataset::CAD: return "drawing";
    case VMK::VmDataset::WebFeature: return "features";
    default: return "other";
    }
}

std::string CrsName(const VMK::VmPrjCoordSys& system) {
    const PLX::PlxMBString name = system.GetAuthorityName();
    return name.IsEmpty() ? std::string("none") : name.str();
}

VMK::VmDatasetRaster* FindRasterDataset(Session& session, VMK::VmDataSource& source, const std::string& name) {
    if (!name.empty()) {
        VMK::VmDataset* dataset = source.GetDataset(PLX::PlxMBString(name));
        if (!dataset) {
            std::string known;
            for (int i = 0; i < source.GetDatasetCount(); ++i)
                known += (i ? ", " : "") + source.GetDataset(i)->GetName().str();
            throw session.Fail("no dataset named \"" + name + "\" at " + session.Url() +
                                   (known.empty() ? std::string(" (it offers none)") : " (datasets: " + known + ")"),
                               {});
        }
        auto* raster = dynamic_cast<VMK::VmDatasetRaster*>(dataset);
        if (!raster)
            throw session.Fail("dataset \"" + name + "\" is " + DatasetTypeWord(dataset->GetType()) +
                                   ", not a raster",
                               {});
        return raster;
    }
    for (int i = 0; i < source.GetDatasetCount(); ++i)
        if (auto* raster = dynamic_cast<VMK::VmDatasetRaster*>(source.GetDataset(i))) return raster;
    throw session.Fail("no raster dataset at " + session.Url(), session.TakeLogEntries());
}

std::vector<std::string> LayerNames(VMK::VmDatasetRaster& raster) {
    PLX::PlxArray<PLX::PlxMBString> names;
    std::vector<std::string> result;
    if (!raster.GetAllLayerNames(names)) return result;
    for (const PLX::PlxMBString& name : names) result.push_back(name.str());
    return result;
}

} // namespace ogcweb
