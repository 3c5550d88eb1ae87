#include "engine.h"

#include "VmNetwork.h"
#include "VmStream.h"

#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

namespace ogcpy {

namespace {

// The engine installs a crash dump for these when it is loaded; in Python
// Ctrl-C must stay a KeyboardInterrupt and the interpreter's own handlers
// stay in place, so they are put back.
const int kSignals[] = {SIGINT, SIGILL, SIGFPE, SIGSEGV, SIGTERM, SIGABRT};

class KeptSignalHandlers {
public:
    KeptSignalHandlers() {
        for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], nullptr, &m_saved[i]);
    }
    ~KeptSignalHandlers() {
        for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &m_saved[i], nullptr);
    }

private:
    struct sigaction m_saved[std::size(kSignals)];
};

bool Exists(const std::string& path) {
    std::error_code ec;
    return !path.empty() && fs::exists(path, ec);
}

// $OGCWEB_PLUGIN, else the engine installed beside an installed module,
// else the one built with this module.
std::string PluginPath() {
    const char* given = std::getenv("OGCWEB_PLUGIN");
    if (given && *given) return given;
    Dl_info self;
    if (dladdr(reinterpret_cast<void*>(&PluginPath), &self) && self.dli_fname) {
        const std::string beside =
            (fs::path(self.dli_fname).parent_path() / OGCWEB_PY_RELATIVE_PLUGIN).lexically_normal().string();
        if (Exists(beside)) return beside;
    }
    return OGCWEB_PY_BUILD_PLUGIN;
}

std::string g_ownTemp;

void RemoveOwnTemporaryFolder() {
    if (g_ownTemp.empty()) return;
    std::error_code ec;
    fs::remove_all(g_ownTemp, ec);
}

} // namespace

Engine& Engine::Get() {
    static Engine engine;
    return engine;
}

Engine::Engine() : m_path(PluginPath()) {
    KeptSignalHandlers kept;
    void* library = ::dlopen(m_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* why = ::dlerror();
        throw EngineError("cannot load the engine " + m_path + ": " + (why ? why : "unknown reason") +
                              " (set OGCWEB_PLUGIN to its path)",
                          {});
    }
    m_factory = reinterpret_cast<Factory>(::dlsym(library, "CreateDataSource"));
    if (!m_factory) throw EngineError(m_path + " is not a data source engine: it has no CreateDataSource", {});
}

VMK::VmDataSource* Engine::Create() {
    KeptSignalHandlers kept;
    return m_factory();
}

std::vector<std::string> CodesOf(const VMK::VmLogCapture& capture) {
    return VMK::DistinctCodes(capture.Entries());
}

void UseOwnTemporaryFolder() {
    static const bool done = [] {
        std::string pattern = VMK::VmFile::GetTempDir().str() + "/ogcweb-python-XXXXXX";
        if (::mkdtemp(&pattern[0])) {
            g_ownTemp = pattern;
            VMK::VmFile::SetTempDir(g_ownTemp.c_str());
            std::atexit(&RemoveOwnTemporaryFolder);
        }
        return true;
    }();
    (void)done;
}

std::shared_ptr<ServiceState> OpenService(const OpenOptions& options) {
    UseOwnTemporaryFolder();
    Engine& engine = Engine::Get();
    auto state = std::make_shared<ServiceState>();
    state->options = options;
    VMK::VmLogCapture capture;
    state->source.reset(engine.Create());
    if (!state->source) throw EngineError("the engine " + engine.Path() + " could not create a data source", {});
    VMK::PlxDsConnection& connection = state->source->GetConnectionInfo();
    connection.Server = options.url.c_str();
    connection.User = options.user.c_str();
    connection.Password = options.password.c_str();
    connection.ServiceKind = options.kind.c_str();
    connection.Target = options.kind == "wmts" ? options.cache.c_str() : options.kind.c_str();
    KeptSignalHandlers kept;
    if (!state->source->Open()) {
        // As ogcweb says it: the version tells whether negotiation or the
        // capabilities document after it went wrong.
        const char* reason = state->source->GetServiceVersion().IsEmpty()
                                 ? "no version agreed with the server"
                                 : "the server answered no capabilities request the engine could use";
        throw EngineError("cannot open " + options.url + ": " + reason, CodesOf(capture));
    }
    for (int i = 0; i < state->source->GetDatasetCount(); ++i)
        if (auto* tiles = dynamic_cast<VMK::VmDatasetRasterWeb*>(state->source->GetDataset(i)))
            if (!tiles->Open())
                throw EngineError("cannot open the tile cache of layer \"" + tiles->GetName().str() + "\" in " +
                                      options.cache,
                                  CodesOf(capture));
    return state;
}

void CloseService(ServiceState& state) {
    std::lock_guard<std::mutex> hold(state.mutex);
    state.closed = true;
    state.source.reset();
}

} // namespace ogcpy
