#include "MapProxyServer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>


#ifndef OGCWEB_SOURCE_DIR
#error "OGCWEB_SOURCE_DIR must name the source tree (the demo's MapProxy setup lives there)"
#endif

namespace ogctest {

namespace {

const char* const kListening = "listening on 127.0.0.1:";

std::string DefaultPython() {
    const char* configured = std::getenv("MAPPROXY_PYTHON");
    return configured && *configured ? configured : "/usr/bin/python3";
}

} // namespace

MapProxyServer::MapProxyServer(const std::string& wmsUrl) : MapProxyServer(wmsUrl, Options()) {}

MapProxyServer::MapProxyServer(const std::string& wmsUrl, const Options& options) { Start(wmsUrl, options); }

MapProxyServer::~MapProxyServer() {
    Stop();
    std::error_code ec;
    if (!m_runDir.empty()) std::filesystem::remove_all(m_runDir, ec);
    if (!m_logPath.empty()) ::unlink(m_logPath.c_str());
}

std::string MapProxyServer::Url(const std::string& pathAndQuery) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + pathAndQuery;
}

std::string MapProxyServer::Log() const {
    if (m_logPath.empty()) return std::string();
    std::ifstream in(m_logPath, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void MapProxyServer::Fail(const std::string& reason) {
    Stop();
    m_error = reason;
    const std::string log = TailLines(Log(), 15);
    if (!log.empty()) m_error += "\n--- serve.py's last words:\n" + log;
}

void MapProxyServer::Start(const std::string& wmsUrl, const Options& options) {
    const std::string python = options.python.empty() ? DefaultPython() : options.python;
    const std::string script =
        options.script.empty() ? std::string(OGCWEB_SOURCE_DIR) + "/demo/mapproxy/serve.py" : options.script;
    if (::access(python.c_str(), X_OK) != 0) {
        m_error = "python3 not found at " + python + " (Debian package mapproxy brings MapProxy for it)";
        return;
    }
    if (::access(script.c_str(), R_OK) != 0) {
        m_error = "MapProxy demo script not found: " + script;
        return;
    }

    // A run folder per server: its tile cache must start empty and must not
    // be shared with a demo running meanwhile.
    char runTemplate[] = "/tmp/ogcweb-mapproxy-test-XXXXXX";
    if (!::mkdtemp(runTemplate)) {
        m_error = std::string("cannot create a run folder for MapProxy: ") + std::strerror(errno);
        return;
    }
    m_runDir = runTemplate;
    m_logPath = m_runDir + "/serve.log";
    const std::vector<std::string> args = {python, script, "--port", "0", "--wms-url", wmsUrl,
                                           "--run-dir", m_runDir, "--stop-on-stdin-eof"};
    const ListeningProcess::Outcome started = m_process.Start(args, m_logPath, options.startTimeoutMs);
    if (started.port > 0) {
        m_port = started.port;
        return;
    }
    if (!started.spawnError.empty())
        Fail("MapProxy: " + started.spawnError);
    else if (started.closed)
        Fail("MapProxy (" + script + ") exited before it listened");
    else if (started.line.empty())
        Fail("MapProxy did not report listening within " + std::to_string(options.startTimeoutMs) + " ms");
    else
        Fail("MapProxy printed \"" + started.line + "\" instead of \"" + kListening + "PORT\"");
}

void MapProxyServer::Stop() {
    m_port = 0;
    m_process.Stop(5);
}

} // namespace ogctest
