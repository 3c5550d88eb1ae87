// The bundled sample service (MapServer 8 behind demo/server/ogc_front.py) run
// for one test process: started on a free loopback port by the constructor,
// stopped by the destructor.
//
// A server that cannot start is not an exception: the object stays, not
// running, and Error() says why in words a developer can act on (which
// program is missing and which Debian package brings it, or what the front
// printed before it died). Tests decide with Required() whether that is a
// failure (in CI, always) or a reason to skip (on a developer's machine
// without MapServer).
#pragma once

#include "ListeningProcess.h"

#include <sys/types.h>

#include <string>

namespace ogctest {

class SampleServer {
public:
    struct Options {
        // The front's compatibility setting: add SERVICE=WMS to requests
        // that have no SERVICE parameter (see demo/README.md).
        bool addServiceWms = true;
        // The front's other compatibility setting: give GetFeatureInfo a
        // VERSION and ask MapServer for the text layout the engine reads.
        bool featureInfoCompat = true;
        // Not empty: the front answers every WMS request as this version
        // (its request's VERSION is replaced), to exercise one version.
        std::string wmsVersion;
        // How long to wait for the front to report that it listens.
        int startTimeoutMs = 10000;
        // Empty: the defaults below. Set only to exercise the failure paths.
        std::string python;   // /usr/bin/python3, else python3 from PATH
        std::string script;   // OGCWEB_SOURCE_DIR/demo/server/ogc_front.py
        std::string mapserv;  // /usr/lib/cgi-bin/mapserv
    };

    SampleServer();
    explicit SampleServer(bool addServiceWms);
    explicit SampleServer(const Options& options);
    // SIGTERM, then SIGKILL if the front is still there after 3 s.
    ~SampleServer();
    SampleServer(const SampleServer&) = delete;
    SampleServer& operator=(const SampleServer&) = delete;

    bool IsRunning() const { return m_port > 0; }
    // Why the server is not running; "" while it runs.
    const std::string& Error() const { return m_error; }
    int Port() const { return m_port; }
    pid_t Pid() const { return m_process.Pid(); }
    // "http://127.0.0.1:PORT" + pathAndQuery, e.g. Url("/wms?SERVICE=WMS&...").
    std::string Url(const std::string& pathAndQuery) const;
    // What the front has logged so far (requests and MapServer's messages),
    // for failure messages.
    std::string Log() const;

    // True when the environment variable CI is set (to anything but "",
    // "0" or "false"): there a sample server that does not start must fail
    // the test instead of skipping it.
    static bool Required();

private:
    void Start(const Options& options);
    void Stop();
    std::string Fail(const std::string& reason);

    ListeningProcess m_process;
    int m_port = 0;
    std::string m_logPath;
    std::string m_error;
};

} // namespace ogctest

// Use at the top of a test body: fails in CI, skips elsewhere, with the
// reason, when `server` (an ogctest::SampleServer) is not running.
#define OGCTEST_REQUIRE_SAMPLE_SERVER(server)                                                    \
    do {                                                                                         \
        if (!(server).IsRunning()) {                                                             \
            if (::ogctest::SampleServer::Required())                                             \
                FAIL() << "sample server required in CI but not running: " << (server).Error(); \
            else                                                                                 \
                GTEST_SKIP() << "sample server not running: " << (server).Error();               \
        }                                                                                        \
    } while (0)
