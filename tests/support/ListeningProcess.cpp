#include "ListeningProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

extern char** environ;

namespace ogctest {

namespace {

const char* const kListening = "listening on 127.0.0.1:";

// Reads until the first line end, a closed pipe or the deadline.
std::string ReadFirstLine(int fd, int timeoutMs, bool& closed) {
    std::string received;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (received.find('\n') == std::string::npos && !closed) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        pollfd wait{fd, POLLIN, 0};
        const int ready = ::poll(&wait, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        char buffer[256];
        const ssize_t got = ::read(fd, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0)
            closed = true;
        else
            received.append(buffer, static_cast<size_t>(got));
    }
    return received.substr(0, received.find('\n'));
}

} // namespace

ListeningProcess::Outcome ListeningProcess::Start(const std::vector<std::string>& args, const std::string& logPath,
                                                  int timeoutMs) {
    Outcome outcome;
    const int logFd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int out[2] = {-1, -1};
    int in[2] = {-1, -1};
    if (logFd < 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0) {
        outcome.spawnError = std::string("cannot set up its log and pipes: ") + std::strerror(errno);
        for (int fd : {out[0], out[1], in[0], in[1], logFd})
            if (fd >= 0) ::close(fd);
        return outcome;
    }
    std::vector<std::string> all(args);
    std::vector<char*> argv;
    for (std::string& arg : all) argv.push_back(&arg[0]);
    argv.push_back(nullptr);

    // The descriptors are close-on-exec, so the child gets only these three.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, logFd, STDERR_FILENO);
    // Its own process group, so a Ctrl-C on the test run reaches the test
    // only; the helper follows once its standard input closes.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(in[0]);
    ::close(out[1]);
    ::close(logFd);
    if (spawned != 0) {
        ::close(in[1]);
        ::close(out[0]);
        outcome.spawnError = "cannot start " + args[0] + ": " + std::strerror(spawned);
        return outcome;
    }
    m_pid = pid;
    m_stdinFd = in[1];

    outcome.line = ReadFirstLine(out[0], timeoutMs, outcome.closed);
    ::close(out[0]);
    if (outcome.line.compare(0, std::strlen(kListening), kListening) == 0) {
        const int port = std::atoi(outcome.line.c_str() + std::strlen(kListening));
        if (port > 0 && port < 65536) {
            outcome.port = port;
            return outcome;
        }
    }
    // A closed pipe means it is exiting: a moment to be reaped lets the
    // caller tell how it ended, and its log hold its last words.
    for (int waited = 0; waited <= (outcome.closed ? 2000 : 0); waited += 10) {
        if (::waitpid(m_pid, &outcome.status, WNOHANG) == m_pid) {
            outcome.exited = true;
            m_pid = -1;
            break;
        }
        if (outcome.closed) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Stop(3);
    return outcome;
}

void ListeningProcess::Stop(int graceSeconds) {
    if (m_stdinFd >= 0) {
        ::close(m_stdinFd);
        m_stdinFd = -1;
    }
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(graceSeconds);
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

std::string TailLines(const std::string& text, size_t lines) {
    size_t pos = text.size();
    while (pos > 0 && (text[pos - 1] == '\n' || text[pos - 1] == '\r')) --pos;
    const size_t end = pos;
    for (size_t seen = 0; pos > 0; --pos)
        if (text[pos - 1] == '\n' && ++seen == lines) break;
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

} // namespace ogctest
