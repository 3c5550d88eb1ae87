// The Python module's side of the engine: loading the plug-in as a host
// does, one opened data source per service with the lock its calls take,
// and the log codes each call caused.
#pragma once

#include "VmEngine.h"
#include "VmToolkit.h"

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace ogcpy {

// A call that failed, with the codes the engine logged during it.
class EngineError : public std::runtime_error {
public:
    EngineError(const std::string& message, std::vector<std::string> codes)
        : std::runtime_error(message), m_codes(std::move(codes)) {}
    const std::vector<std::string>& Codes() const { return m_codes; }

private:
    std::vector<std::string> m_codes;
};

// The plug-in, loaded once for the process and never unloaded: arrays and
// feature collections may outlive every service.
class Engine {
public:
    static Engine& Get();
    VMK::VmDataSource* Create();
    const std::string& Path() const { return m_path; }

private:
    Engine();
    using Factory = VMK::VmDataSource* (*)();
    std::string m_path;
    Factory m_factory = nullptr;
};

struct OpenOptions {
    std::string url, kind = "wms", user, password, cache;
};

// One opened service. Every engine call on it runs under `mutex`: a data
// source serves one caller at a time.
struct ServiceState {
    std::mutex mutex;
    std::unique_ptr<VMK::VmDataSource> source;
    OpenOptions options;
    bool closed = false;
};

std::shared_ptr<ServiceState> OpenService(const OpenOptions& options);
void CloseService(ServiceState& state);

// The distinct codes of a capture, in the order first logged.
std::vector<std::string> CodesOf(const VMK::VmLogCapture& capture);

// The engine's downloads go to a folder of the module's own, removed when
// the interpreter exits.
void UseOwnTemporaryFolder();

} // namespace ogcpy
