// A loopback HTTP/1.1 server for tests that answers from a script, so a test
// can put a well-behaved service, a broken one or a hostile one behind the
// host's HTTP client: error statuses, redirects, silence, slow trickles,
// bodies cut short and connections dropped without an answer.
//
// It is written on plain POSIX sockets rather than on an HTTP library because
// the faults it must produce (a Content-Length that lies, a close in the middle
// of a body, a stall between two bytes) are exactly what such libraries are
// built to prevent. It listens on 127.0.0.1 only, on a free port, and every
// thread it starts is joined by the destructor.
#pragma once

#include <atomic>
#include <functional>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace ogctest {

// One request as it arrived. Nothing is unescaped.
struct ScriptedRequest {
    std::string method;
    std::string target;  // as sent: path, "?" and query
    std::string path;    // the target before its first "?"
    std::string query;   // the target after its first "?" ("" when none)
    // The query split at "&" and each piece at its first "="; a key that
    // comes again keeps its last value.
    std::map<std::string, std::string> params;
    std::vector<std::pair<std::string, std::string>> headers;  // in the order received
    std::string body;
    int connection = 0;  // which connection it came on, counting from 1 in order of acceptance

    // The first header of that name (compared without case); "" when absent.
    std::string Header(const std::string& name) const;
    bool HasHeader(const std::string& name) const;
    // The parameter's value; "" when absent.
    std::string Param(const std::string& key) const;
};

// One scripted answer. Build it with the factories and adjust the fields.
struct ScriptedResponse {
    enum class Framing {
        ContentLength,   // Content-Length (or declaredLength) and keep-alive
        Chunked,         // Transfer-Encoding: chunked, one chunk per slice
        CloseDelimited,  // no length; "Connection: close" and the end of the body is the close
    };

    int status = 200;
    std::string contentType = "text/xml";  // "" sends no Content-Type
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;  // sent as they are
    Framing framing = Framing::ContentLength;
    // Content-Length announced instead of the body's size; -1: the body's size.
    long long declaredLength = -1;
    int delayMs = 0;         // silence after the request, before the status line
    size_t sliceBytes = 0;   // 0: the body in one piece; otherwise pieces of this size...
    int sliceDelayMs = 0;    // ...with this pause before every piece but the first
    size_t pauseAfterBytes = 0;  // with pauseMs: one silence after this many body bytes
    int pauseMs = 0;
    bool closeAfter = false; // close the connection after the answer, without announcing it
    bool dropWithoutAnswer = false;  // close the connection instead of answering

    static ScriptedResponse Ok(std::string body, std::string contentType = "text/xml");
    static ScriptedResponse Status(int status, std::string body = std::string(),
                                   std::string contentType = "text/plain");
    static ScriptedResponse Redirect(std::string location, int status = 302);
    // Silence for `delayMs`, then `then`.
    static ScriptedResponse Stall(int delayMs, ScriptedResponse then = Ok("<stalled/>"));
    // Announces `declaredLength` bytes, sends `sentBody` and closes.
    static ScriptedResponse Truncated(std::string sentBody, long long declaredLength,
                                      std::string contentType = "text/xml");
    // Headers and the first `firstBytes` of `body`, silence for `pauseMs`, then the rest.
    static ScriptedResponse PauseInBody(std::string body, size_t firstBytes, int pauseMs,
                                        std::string contentType = "text/xml");
    // Note: a client that sent the request on a reused keep-alive connection
    // may take a close without answer for a connection that died while idle and
    // send the same request again, which takes the next scripted answer. Use a
    // handler that always drops when the test must not depend on that.
    static ScriptedResponse CloseWithoutAnswer();

    ScriptedResponse& WithHeader(std::string name, std::string value);
};

class ScriptedServer {
public:
    // Called on the server's threads, possibly on several at once, without
    // the server's lock held.
    using Handler = std::function<ScriptedResponse(const ScriptedRequest&)>;

    // Starts listening at once. Answers come from the queue first, then from
    // the handler; with neither, a 404 whose body names the target.
    // Throws std::runtime_error when no socket can be set up.
    ScriptedServer();
    explicit ScriptedServer(Handler handler);
    // Stops promptly even in the middle of a stall, closes every connection
    // and joins every thread.
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int Port() const { return m_port; }
    // "http://127.0.0.1:PORT" + pathAndQuery (which should start with "/").
    std::string Url(const std::string& pathAndQuery) const;

    // Answers the next request that is not answered yet.
    void Enqueue(ScriptedResponse response);
    void SetHandler(Handler handler);
    size_t QueuedResponses() const;

    // Every request is recorded before it is answered, so once a client has
    // its answer (or its dropped connection) the request is here.
    std::vector<ScriptedRequest> Requests() const;
    size_t RequestCount() const;
    // The last recorded request; a default-constructed one when none.
    ScriptedRequest LastRequest() const;
    // Connections accepted so far.
    int ConnectionCount() const;

private:
    struct Connection;

    void Start();
    void AcceptLoop();
    void Serve(Connection& connection);
    bool ReadRequest(int fd, std::string& buffer, ScriptedRequest& request);
    bool SendResponse(int fd, const ScriptedResponse& response, bool headOnly);
    bool SendAll(int fd, const char* data, size_t size);
    // Waits `ms`; false when the server is stopping.
    bool Pause(int ms);
    ScriptedResponse NextResponse(const ScriptedRequest& request);
    void ReapFinished();

    int m_listenFd = -1;
    int m_wakeRead = -1;   // readable once the server stops
    int m_wakeWrite = -1;
    int m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::thread m_acceptThread;

    mutable std::mutex m_mutex;
    std::deque<ScriptedResponse> m_queue;
    Handler m_handler;
    std::vector<ScriptedRequest> m_requests;
    std::list<std::unique_ptr<Connection>> m_connections;
    int m_connectionCount = 0;
};

// A loopback port nobody listens on: it stays bound, without listening, for
// the rest of the program, so a connection to it is refused.
int ClosedLoopbackPort();

} // namespace ogctest
