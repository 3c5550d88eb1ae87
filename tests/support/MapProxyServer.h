// The demo tile service (MapProxy serving WMTS, demo/mapproxy/serve.py) in
// front of a WMS, run for one test: started on a free loopback port by the
// constructor with a run folder of its own (configuration and MapProxy's
// tile cache), stopped by Stop or the destructor, which also removes that
// folder.
//
// As with SampleServer, a server that cannot start leaves the object not
// running with Error() saying why (MapProxy missing, the script's last
// words); OGCTEST_REQUIRE_MAPPROXY turns that into a failure in CI and a
// skip elsewhere.
#pragma once

#include "SampleServer.h"

#include "ListeningProcess.h"

#include <sys/types.h>

#include <string>

namespace ogctest {

class MapProxyServer {
public:
    struct Options {
        // MapProxy imports much of its world before it listens.
        int startTimeoutMs = 30000;
        // Empty: the defaults. Set only to exercise the failure paths.
        std::string python;  // $MAPPROXY_PYTHON, else /usr/bin/python3 (where Debian's MapProxy lives)
        std::string script;  // OGCWEB_SOURCE_DIR/demo/mapproxy/serve.py
    };

    // `wmsUrl`: the WMS MapProxy renders its tiles from, e.g. a SampleServer's Url("/wms").
    explicit MapProxyServer(const std::string& wmsUrl);
    MapProxyServer(const std::string& wmsUrl, const Options& options);
    ~MapProxyServer();
    MapProxyServer(const MapProxyServer&) = delete;
    MapProxyServer& operator=(const MapProxyServer&) = delete;

    bool IsRunning() const { return m_port > 0; }
    const std::string& Error() const { return m_error; }
    int Port() const { return m_port; }
    // "http://127.0.0.1:PORT" + pathAndQuery, e.g. Url("/service").
    std::string Url(const std::string& pathAndQuery) const;
    // The request log and MapProxy's messages so far, for failure messages.
    std::string Log() const;
    // Closes its standard input, then SIGTERM, then SIGKILL after 5 s; the
    // port refuses connections afterwards. Idempotent.
    void Stop();

private:
    void Start(const std::string& wmsUrl, const Options& options);
    void Fail(const std::string& reason);

    ListeningProcess m_process;
    int m_port = 0;
    std::string m_runDir;
    std::string m_logPath;
    std::string m_error;
};

} // namespace ogctest

// Use at the top of a test body: fails in CI, skips elsewhere, with the
// reason, when `server` (an ogctest::MapProxyServer) is not running.
#define OGCTEST_REQUIRE_MAPPROXY(server)                                                    \
    do {                                                                                    \
        if (!(server).IsRunning()) {                                                        \
            if (::ogctest::SampleServer::Required())                                        \
                FAIL() << "MapProxy required in CI but not running: " << (server).Error(); \
            else                                                                            \
                GTEST_SKIP() << "MapProxy not running: " << (server).Error();               \
        }                                                                                   \
    } while (0)
