// Runs a program of the project the way a user would, for tests of the
// command-line host: its exit status, standard output and standard error.
#pragma once

#include "ScriptedServer.h"

#include <functional>
#include <string>
#include <vector>

namespace ogctest {

struct CliResult {
    int status = -1;  // the exit status; -1 when it did not exit normally
    std::string out;
    std::string err;
};

// Runs `program` with `args`; standard input is /dev/null, standard output and
// error go to files in `folder` and are read back. `environment` entries
// (NAME=VALUE) are added to this process's environment, replacing the same
// names; loopback addresses are never sent through a proxy.
CliResult RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& folder,
                     const std::vector<std::string>& environment = {});

class ScratchFolder;

// ogcweb run in `folder` with `args` followed by the engine under test, a log
// (folder/ogcweb.log) and a temporary folder (folder/temp, made here); the
// host configuration named does not exist, so a user's settings never leak in.
CliResult RunOgcweb(const ScratchFolder& folder, std::vector<std::string> args,
                    const std::vector<std::string>& environment = {});
// ogcweb with `args` alone.
CliResult RunOgcwebBare(const ScratchFolder& folder, const std::vector<std::string>& args);

std::string ReadFile(const std::string& path);
bool Contains(const std::string& text, const std::string& piece);
int LineCount(const std::string& text);
std::string Upper(std::string text);

// The requests a scripted service had for one operation, whatever the case of
// the key and of the operation's name.
std::vector<ScriptedRequest> RequestsFor(const ScriptedServer& server, const std::string& operation);

// A map service's capabilities (1.3.0) whose operations are at `endpoint`, with
// `layers` as the Capability's layer tree.
std::string MapCapabilities(const std::string& endpoint, const std::string& layers);

// A scripted map service of `layers`: GetMap answers with `getMap` (by default
// a 4x3 PNG whose band 1 rises left to right), GetFeatureInfo with
// `featureInfo`. Change them only between runs, while the service is idle.
class ScriptedMapService {
public:
    explicit ScriptedMapService(std::string layers);
    std::string Url() const { return m_server.Url("/wms"); }
    const ScriptedServer& Server() const { return m_server; }
    std::vector<ScriptedRequest> Requests(const std::string& operation) const { return RequestsFor(m_server, operation); }

    ScriptedResponse getMap;
    std::function<ScriptedResponse(const ScriptedRequest&)> featureInfo;

private:
    ScriptedResponse Answer(const ScriptedRequest& request);

    std::string m_layers;
    ScriptedServer m_server;  // last: its threads may call Answer until it is gone
};

// A fresh folder under the system's temporary folder, removed with its
// content at the end.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::string& prefix = "ogcweb-test");
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    std::string Path(const std::string& name) const { return m_dir + "/" + name; }
    const std::string& Dir() const { return m_dir; }

private:
    std::string m_dir;
};

} // namespace ogctest
