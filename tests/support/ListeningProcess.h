// A helper server program started for a test (the sample service's front,
// MapProxy): its standard input is a pipe whose closing tells it to stop, so
// it follows a test process that dies; its standard error goes to a log
// file; and its first line on standard output is "listening on
// 127.0.0.1:PORT", the only way to learn a port it picked itself.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace ogctest {

class ListeningProcess {
public:
    // How a start ended.
    struct Outcome {
        int port = 0;            // > 0: listening
        std::string spawnError;  // the program could not be started
        std::string line;        // the first line it printed
        bool closed = false;     // it closed its output before listening
        bool exited = false;     // ...and has exited, with `status`
        int status = 0;
    };

    ListeningProcess() = default;
    ~ListeningProcess() { Stop(3); }
    ListeningProcess(const ListeningProcess&) = delete;
    ListeningProcess& operator=(const ListeningProcess&) = delete;

    // Starts args[0] with `args` in a process group of its own, standard
    // error to `logPath`, and waits up to `timeoutMs` for the first line.
    Outcome Start(const std::vector<std::string>& args, const std::string& logPath, int timeoutMs);
    // Closes its standard input, then SIGTERM, then SIGKILL after
    // `graceSeconds`. Idempotent.
    void Stop(int graceSeconds);
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    int m_stdinFd = -1;
};

// The last `lines` lines of a text, without trailing line ends.
std::string TailLines(const std::string& text, size_t lines);
// "exited with status N" / "was killed by signal N".
std::string DescribeExit(int status);

} // namespace ogctest
