#include "SampleServer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>


#ifndef OGCWEB_SOURCE_DIR
#error "OGCWEB_SOURCE_DIR must name the source tree (the demo's front lives there)"
#endif

namespace ogctest {

namespace {

const char* const kDefaultMapserv = "/usr/lib/cgi-bin/mapserv";
const char* const kListening = "listening on 127.0.0.1:";

bool IsExecutable(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The Debian interpreter first: the front is written for it, and a
// version manager's shim earlier in PATH may point anywhere.
std::string FindPython() {
    if (IsExecutable("/usr/bin/python3")) return "/usr/bin/python3";
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (dir.empty()) continue;
        const std::string candidate = dir + "/python3";
        if (IsExecutable(candidate)) return candidate;
    }
    return std::string();
}

} // namespace

SampleServer::SampleServer() : SampleServer(Options()) {}

SampleServer::SampleServer(bool addServiceWms) {
    Options options;
    options.addServiceWms = addServiceWms;
    Start(options);
}

SampleServer::SampleServer(const Options& options) { Start(options); }

SampleServer::~SampleServer() {
    Stop();
    if (!m_logPath.empty()) ::unlink(m_logPath.c_str());
}

std::string SampleServer::Url(const std::string& pathAndQuery) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + pathAndQuery;
}

std::string SampleServer::Log() const {
    if (m_logPath.empty()) return std::string();
    std::ifstream in(m_logPath, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool SampleServer::Required() {
    const char* ci = std::getenv("CI");
    if (!ci) return false;
    const std::string value(ci);
    return !value.empty() && value != "0" && value != "false" && value != "FALSE" && value != "False";
}

std::string SampleServer::Fail(const std::string& reason) {
    Stop();
    m_error = reason;
    const std::string log = TailLines(Log(), 15);
    if (!log.empty()) m_error += "\n--- the front's last words:\n" + log;
    return m_error;
}

void SampleServer::Start(const Options& options) {
    const std::string python = options.python.empty() ? FindPython() : options.python;
    const std::string script =
        options.script.empty() ? std::string(OGCWEB_SOURCE_DIR) + "/demo/server/ogc_front.py" : options.script;
    const std::string mapserv = options.mapserv.empty() ? kDefaultMapserv : options.mapserv;

    // Every missing piece is named before anything runs, so the message
    // says what to install rather than how a child process died.
    if (python.empty() || !IsExecutable(python)) {
        m_error = "python3 not found" + (python.empty() ? std::string() : " at " + python) +
                  " (Debian package python3); the sample server's front is a Python script";
        return;
    }
    if (!IsExecutable(mapserv)) {
        m_error = "MapServer CGI program missing: " + mapserv + " is not an executable file"
                  " (Debian package cgi-mapserver)";
        return;
    }
    if (::access(script.c_str(), R_OK) != 0) {
        m_error = "sample server front not found: " + script;
        return;
    }

    char logTemplate[] = "/tmp/ogcweb-sample-server-XXXXXX";
    const int logFd = ::mkostemp(logTemplate, O_CLOEXEC);
    if (logFd < 0) {
        m_error = std::string("cannot create the front's log file: ") + std::strerror(errno);
        return;
    }
    ::close(logFd);
    m_logPath = logTemplate;

    std::vector<std::string> args = {python, script, "--port", "0",
                                     options.addServiceWms ? "--add-service-wms" : "--no-add-service-wms",
                                     "--mapserv", mapserv, "--stop-on-stdin-eof"};
    if (!options.featureInfoCompat) args.push_back("--no-feature-info-compat");
    if (!options.wmsVersion.empty()) {
        args.push_back("--wms-version");
        args.push_back(options.wmsVersion);
    }
    const ListeningProcess::Outcome started = m_process.Start(args, m_logPath, options.startTimeoutMs);
    if (started.port > 0) {
        m_port = started.port;
        return;
    }
    if (!started.spawnError.empty())
        Fail("the sample server's front: " + started.spawnError);
    else if (started.exited)
        Fail("the sample server's front (" + script + ") " + DescribeExit(started.status) + " before it listened");
    else if (!started.closed && started.line.empty())
        Fail("the sample server's front did not report listening within " + std::to_string(options.startTimeoutMs) +
             " ms");
    else
        Fail("the sample server's front printed \"" + started.line + "\" instead of \"" + kListening + "PORT\"");
}

void SampleServer::Stop() {
    m_port = 0;
    m_process.Stop(3);
}

} // namespace ogctest
