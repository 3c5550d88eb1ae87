#include "SampleServer.h"

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
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

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

std::string Tail(const std::string& text, size_t lines) {
    size_t pos = text.size();
    while (pos > 0 && (text[pos - 1] == '\n' || text[pos - 1] == '\r')) --pos;
    const size_t end = pos;
    for (size_t seen = 0; pos > 0; --pos) {
        if (text[pos - 1] == '\n' && ++seen == lines) break;
    }
    return text.substr(pos, end - pos);
}

std::string DescribeExit(int status) {
    std::ostringstream text;
    if (WIFEXITED(status))
        text << "exited with status " << WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        text << "was killed by signal " << WTERMSIG(status);
    else
        text << "stopped (wait status " << status << ")";
    return text.str();
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
    const std::string log = Tail(Log(), 15);
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
    m_logPath = logTemplate;

    int out[2] = {-1, -1};
    int in[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0) {
        const std::string why = std::strerror(errno);
        for (int fd : {out[0], out[1], in[0], in[1], logFd})
            if (fd >= 0) ::close(fd);
        m_error = "cannot create pipes for the front: " + why;
        return;
    }

    std::vector<std::string> args = {python, script, "--port", "0",
                                     options.addServiceWms ? "--add-service-wms" : "--no-add-service-wms",
                                     "--mapserv", mapserv, "--stop-on-stdin-eof"};
    if (!options.wmsVersion.empty()) {
        args.push_back("--wms-version");
        args.push_back(options.wmsVersion);
    }
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);

    // The descriptors are close-on-exec, so the child gets only these three
    // and nothing else this process has open (listening sockets included).
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, logFd, STDERR_FILENO);
    // Its own process group, so a Ctrl-C on the test run reaches the test
    // only; the front follows once its standard input closes.
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

    // The front prints one line once its socket listens; with port 0 that
    // line is the only way to learn the port.
    std::string received;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.startTimeoutMs);
    bool closed = false;
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

    // A closed pipe means the front is exiting: give it a moment to be
    // reaped so that the message can tell how it ended.
    int status = 0;
    bool exited = false;
    for (int waited = 0; waited <= (closed ? 2000 : 0); waited += 10) {
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            exited = true;
            break;
        }
        if (closed) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (exited) {
        m_pid = -1;
        Fail("the sample server's front (" + script + ") " + DescribeExit(status) + " before it listened");
    } else if (!closed && received.find('\n') == std::string::npos) {
        Fail("the sample server's front did not report listening within " + std::to_string(options.startTimeoutMs) +
             " ms");
    } else {
        Fail("the sample server's front printed \"" + line + "\" instead of \"" + kListening + "PORT\"");
    }
}

void SampleServer::Stop() {
    m_port = 0;
    if (m_stdinFd >= 0) {
        ::close(m_stdinFd);
        m_stdinFd = -1;
    }
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
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
