#include "MapProxyServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

#ifndef OGCWEB_SOURCE_DIR
#error "OGCWEB_SOURCE_DIR must name the source tree (the demo's MapProxy setup lives there)"
#endif

namespace ogctest {

namespace {

const char* const kListening = "listening on 127.0.0.1:";

std::string Tail(const std::string& text, size_t lines) {
    size_t pos = text.size();
    while (pos > 0 && (text[pos - 1] == '\n' || text[pos - 1] == '\r')) --pos;
    const size_t end = pos;
    for (size_t seen = 0; pos > 0; --pos)
        if (text[pos - 1] == '\n' && ++seen == lines) break;
    return text.substr(pos, end - pos);
}

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
    const std::string log = Tail(Log(), 15);
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
    const int logFd = ::open(m_logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int out[2] = {-1, -1};
    int in[2] = {-1, -1};
    if (logFd < 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0) {
        const std::string why = std::strerror(errno);
        for (int fd : {out[0], out[1], in[0], in[1], logFd})
            if (fd >= 0) ::close(fd);
        m_error = "cannot set up MapProxy's log and pipes: " + why;
        return;
    }

    std::vector<std::string> args = {python, script, "--port", "0", "--wms-url", wmsUrl,
                                     "--run-dir", m_runDir, "--stop-on-stdin-eof"};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, logFd, STDERR_FILENO);
    // Its own process group, so a Ctrl-C on the test run reaches the test
    // only; the server follows once its standard input closes.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, python.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(in[0]);
    ::close(out[1]);
    ::close(logFd);
    if (spawned != 0) {
        ::close(in[1]);
        ::close(out[0]);
        m_error = "cannot start " + python + ": " + std::strerror(spawned);
        return;
    }
    m_pid = pid;
    m_stdinFd = in[1];

    // With port 0 the one line serve.py prints is the only way to learn the port.
    std::string received;
    bool closed = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.startTimeoutMs);
    while (received.find('\n') == std::string::npos && !closed) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        pollfd wait{out[0], POLLIN, 0};
        const int ready = ::poll(&wait, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        char buffer[256];
        const ssize_t got = ::read(out[0], buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0)
            closed = true;
        else
            received.append(buffer, static_cast<size_t>(got));
    }
    ::close(out[0]);

    const std::string line = received.substr(0, received.find('\n'));
    if (line.compare(0, std::strlen(kListening), kListening) == 0) {
        const int port = std::atoi(line.c_str() + std::strlen(kListening));
        if (port > 0 && port < 65536) {
            m_port = port;
            return;
        }
    }
    if (closed) {
        // Exiting: a moment to be reaped lets the log hold its last words.
        for (int waited = 0; waited < 2000 && ::waitpid(m_pid, nullptr, WNOHANG) == 0; waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        Fail("MapProxy (" + script + ") exited before it listened");
    } else if (line.empty()) {
        Fail("MapProxy did not report listening within " + std::to_string(options.startTimeoutMs) + " ms");
    } else {
        Fail("MapProxy printed \"" + line + "\" instead of \"" + kListening + "PORT\"");
    }
}

void MapProxyServer::Stop() {
    m_port = 0;
    if (m_stdinFd >= 0) {
        ::close(m_stdinFd);
        m_stdinFd = -1;
    }
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (true) {
        const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid || (done < 0 && errno != EINTR)) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(m_pid, SIGKILL);
            while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    m_pid = -1;
}

} // namespace ogctest
