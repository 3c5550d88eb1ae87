// Loopback HTTP/1.1 server with scripted answers; see ScriptedServer.h for
// why it sits on plain sockets. One thread accepts, one thread serves each
// connection (a client keeps several keep-alive connections open at once),
// and every blocking wait also watches a wake-up pipe so that the destructor
// can end a stall or an idle connection at once.
#include "ScriptedServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace ogctest {

namespace {

constexpr size_t kMaxHeaderBytes = 64 * 1024;

std::string Lower(std::string text) {
    for (char& ch : text) {
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    }
    return text;
}

std::string Trim(const std::string& text) {
    const char* space = " \t";
    const size_t first = text.find_first_not_of(space);
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

const char* Reason(int status) {
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

} // namespace

// ---------------------------------------------------------------------------

std::string ScriptedRequest::Header(const std::string& name) const {
    const std::string wanted = Lower(name);
    for (const auto& header : headers) {
        if (Lower(header.first) == wanted) return header.second;
    }
    return std::string();
}

bool ScriptedRequest::HasHeader(const std::string& name) const {
    const std::string wanted = Lower(name);
    for (const auto& header : headers) {
        if (Lower(header.first) == wanted) return true;
    }
    return false;
}

std::string ScriptedRequest::Param(const std::string& key) const {
    auto it = params.find(key);
    return it == params.end() ? std::string() : it->second;
}

ScriptedResponse ScriptedResponse::Ok(std::string body, std::string contentType) {
    ScriptedResponse r;
    r.body = std::move(body);
    r.contentType = std::move(contentType);
    return r;
}

ScriptedResponse ScriptedResponse::Status(int status, std::string body, std::string contentType) {
    ScriptedResponse r;
    r.status = status;
    r.body = std::move(body);
    r.contentType = std::move(contentType);
    return r;
}

ScriptedResponse ScriptedResponse::Redirect(std::string location, int status) {
    ScriptedResponse r = Status(status, "moved", "text/plain");
    r.headers.emplace_back("Location", std::move(location));
    return r;
}

ScriptedResponse ScriptedResponse::Stall(int delayMs, ScriptedResponse then) {
    then.delayMs = delayMs;
    return then;
}

ScriptedResponse ScriptedResponse::Truncated(std::string sentBody, long long declaredLength,
                                             std::string contentType) {
    ScriptedResponse r = Ok(std::move(sentBody), std::move(contentType));
    r.declaredLength = declaredLength;
    r.closeAfter = true;
    return r;
}

ScriptedResponse ScriptedResponse::PauseInBody(std::string body, size_t firstBytes, int pauseMs,
                                               std::string contentType) {
    ScriptedResponse r = Ok(std::move(body), std::move(contentType));
    r.pauseAfterBytes = firstBytes;
    r.pauseMs = pauseMs;
    return r;
}

ScriptedResponse ScriptedResponse::CloseWithoutAnswer() {
    ScriptedResponse r;
    r.dropWithoutAnswer = true;
    return r;
}

ScriptedResponse& ScriptedResponse::WithHeader(std::string name, std::string value) {
    headers.emplace_back(std::move(name), std::move(value));
    return *this;
}

// ---------------------------------------------------------------------------

struct ScriptedServer::Connection {
    int id = 0;
    int fd = -1;  // guarded by m_mutex; -1 once the serving thread closed it
    std::thread thread;
    std::atomic<bool> done{false};
};

ScriptedServer::ScriptedServer() { Start(); }

ScriptedServer::ScriptedServer(Handler handler) : m_handler(std::move(handler)) { Start(); }

ScriptedServer::~ScriptedServer() {
    m_stopping = true;
    if (m_wakeWrite >= 0) {
        const char byte = 'x';
        while (::write(m_wakeWrite, &byte, 1) < 0 && errno == EINTR) {
        }
    }
    if (m_acceptThread.joinable()) m_acceptThread.join();
    {
        // Unblocks a send to a client that stopped reading.
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& connection : m_connections) {
            if (connection->fd >= 0) ::shutdown(connection->fd, SHUT_RDWR);
        }
    }
    for (auto& connection : m_connections) {
        if (connection->thread.joinable()) connection->thread.join();
    }
    CloseFd(m_listenFd);
    CloseFd(m_wakeRead);
    CloseFd(m_wakeWrite);
}

void ScriptedServer::Start() {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("ScriptedServer: pipe failed");
    m_wakeRead = pipeFds[0];
    m_wakeWrite = pipeFds[1];

    auto fail = [this](const char* what) {
        const std::string message = std::string("ScriptedServer: ") + what + ": " + std::strerror(errno);
        CloseFd(m_listenFd);
        CloseFd(m_wakeRead);
        CloseFd(m_wakeWrite);
        throw std::runtime_error(message);
    };

    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0) fail("socket");
    const int on = 1;
    ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) fail("bind");
    if (::listen(m_listenFd, 64) != 0) fail("listen");
    socklen_t length = sizeof(address);
    if (::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) fail("getsockname");
    m_port = ntohs(address.sin_port);

    m_acceptThread = std::thread(&ScriptedServer::AcceptLoop, this);
}

std::string ScriptedServer::Url(const std::string& pathAndQuery) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + pathAndQuery;
}

void ScriptedServer::Enqueue(ScriptedResponse response) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.push_back(std::move(response));
}

void ScriptedServer::SetHandler(Handler handler) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_handler = std::move(handler);
}

size_t ScriptedServer::QueuedResponses() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_queue.size();
}

std::vector<ScriptedRequest> ScriptedServer::Requests() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

size_t ScriptedServer::RequestCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests.size();
}

ScriptedRequest ScriptedServer::LastRequest() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests.empty() ? ScriptedRequest() : m_requests.back();
}

int ScriptedServer::ConnectionCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connectionCount;
}

void ScriptedServer::ReapFinished() {
    for (auto it = m_connections.begin(); it != m_connections.end();) {
        if ((*it)->done) {
            if ((*it)->thread.joinable()) (*it)->thread.join();
            it = m_connections.erase(it);
        } else {
            ++it;
        }
    }
}

void ScriptedServer::AcceptLoop() {
    while (!m_stopping) {
        pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_wakeRead, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents != 0) break;
        if ((fds[0].revents & POLLIN) == 0) continue;
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        // Head and body go out in separate writes; without this, Nagle and the
        // client's delayed ACK add tens of milliseconds to every answer.
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));

        std::lock_guard<std::mutex> lock(m_mutex);
        ReapFinished();
        auto connection = std::make_unique<Connection>();
        connection->id = ++m_connectionCount;
        connection->fd = fd;
        Connection& served = *connection;
        m_connections.push_back(std::move(connection));
        served.thread = std::thread(&ScriptedServer::Serve, this, std::ref(served));
    }
}

void ScriptedServer::Serve(Connection& connection) {
    const int fd = connection.fd;  // written before this thread started
    std::string buffer;
    while (!m_stopping) {
        ScriptedRequest request;
        if (!ReadRequest(fd, buffer, request)) break;
        request.connection = connection.id;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_requests.push_back(request);
        }
        const ScriptedResponse response = NextResponse(request);
        if (response.dropWithoutAnswer) break;
        if (!SendResponse(fd, response, request.method == "HEAD")) break;
        if (response.closeAfter || response.framing == ScriptedResponse::Framing::CloseDelimited) break;
        if (Lower(request.Header("Connection")) == "close") break;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ::shutdown(connection.fd, SHUT_WR);
        CloseFd(connection.fd);
    }
    connection.done = true;
}

bool ScriptedServer::ReadRequest(int fd, std::string& buffer, ScriptedRequest& request) {
    auto readMore = [&]() {
        for (;;) {
            pollfd fds[2] = {{fd, POLLIN, 0}, {m_wakeRead, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            if (fds[1].revents != 0) return false;
            char chunk[4096];
            const ssize_t got = ::recv(fd, chunk, sizeof(chunk), 0);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            buffer.append(chunk, static_cast<size_t>(got));
            return true;
        }
    };

    size_t headerEnd;
    while ((headerEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
        if (buffer.size() > kMaxHeaderBytes || !readMore()) return false;
    }
    const std::string head = buffer.substr(0, headerEnd);
    buffer.erase(0, headerEnd + 4);

    size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const size_t firstSpace = requestLine.find(' ');
    const size_t secondSpace = requestLine.find(' ', firstSpace == std::string::npos ? 0 : firstSpace + 1);
    if (firstSpace == std::string::npos || secondSpace == std::string::npos) return false;
    request.method = requestLine.substr(0, firstSpace);
    request.target = requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);

    const size_t question = request.target.find('?');
    request.path = request.target.substr(0, question);
    if (question != std::string::npos) request.query = request.target.substr(question + 1);
    size_t start = 0;
    while (!request.query.empty() && start <= request.query.size()) {
        size_t amp = request.query.find('&', start);
        if (amp == std::string::npos) amp = request.query.size();
        const std::string piece = request.query.substr(start, amp - start);
        const size_t eq = piece.find('=');
        const std::string key = piece.substr(0, eq);
        if (!key.empty()) request.params[key] = eq == std::string::npos ? std::string() : piece.substr(eq + 1);
        start = amp + 1;
    }

    while (lineEnd != std::string::npos) {
        const size_t next = head.find("\r\n", lineEnd + 2);
        const std::string line = head.substr(lineEnd + 2, next == std::string::npos ? std::string::npos : next - lineEnd - 2);
        lineEnd = next;
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        request.headers.emplace_back(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
    }

    // Only what the host's client sends: no chunked request bodies.
    if (!request.Header("Transfer-Encoding").empty()) return false;
    const std::string length = request.Header("Content-Length");
    if (!length.empty()) {
        const size_t bodyBytes = static_cast<size_t>(std::strtoull(length.c_str(), nullptr, 10));
        while (buffer.size() < bodyBytes) {
            if (!readMore()) return false;
        }
        request.body = buffer.substr(0, bodyBytes);
        buffer.erase(0, bodyBytes);
    }
    return true;
}

ScriptedResponse ScriptedServer::NextResponse(const ScriptedRequest& request) {
    Handler handler;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_queue.empty()) {
            ScriptedResponse response = std::move(m_queue.front());
            m_queue.pop_front();
            return response;
        }
        handler = m_handler;
    }
    if (handler) {
        // An exception must not end the serving thread (and the test run).
        try {
            return handler(request);
        } catch (const std::exception& e) {
            return ScriptedResponse::Status(500, std::string("handler threw: ") + e.what());
        } catch (...) {
            return ScriptedResponse::Status(500, "handler threw");
        }
    }
    return ScriptedResponse::Status(404, "no scripted answer for " + request.target);
}

bool ScriptedServer::Pause(int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return !m_stopping;
        pollfd wake{m_wakeRead, POLLIN, 0};
        const int ready = ::poll(&wake, 1, static_cast<int>(left));
        if (ready > 0) return false;
        if (ready < 0 && errno != EINTR) return false;
    }
}

bool ScriptedServer::SendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

bool ScriptedServer::SendResponse(int fd, const ScriptedResponse& response, bool headOnly) {
    if (response.delayMs > 0 && !Pause(response.delayMs)) return false;

    std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " + Reason(response.status) + "\r\n";
    if (!response.contentType.empty()) head += "Content-Type: " + response.contentType + "\r\n";
    switch (response.framing) {
    case ScriptedResponse::Framing::ContentLength: {
        const long long length = response.declaredLength >= 0 ? response.declaredLength
                                                               : static_cast<long long>(response.body.size());
        head += "Content-Length: " + std::to_string(length) + "\r\n";
        break;
    }
    case ScriptedResponse::Framing::Chunked:
        head += "Transfer-Encoding: chunked\r\n";
        break;
    case ScriptedResponse::Framing::CloseDelimited:
        head += "Connection: close\r\n";
        break;
    }
    for (const auto& header : response.headers) head += header.first + ": " + header.second + "\r\n";
    head += "\r\n";
    if (!SendAll(fd, head.data(), head.size())) return false;
    if (headOnly) return true;

    const bool chunked = response.framing == ScriptedResponse::Framing::Chunked;
    const std::string& body = response.body;
    // Piece boundaries: every slice, and where the single pause goes.
    const size_t slice = response.sliceBytes == 0 ? body.size() : response.sliceBytes;
    const bool pauses = response.pauseMs > 0 && response.pauseAfterBytes < body.size();
    size_t offset = 0;
    while (offset < body.size()) {
        if (offset > 0 && offset % slice == 0 && response.sliceDelayMs > 0 && !Pause(response.sliceDelayMs)) return false;
        if (pauses && offset == response.pauseAfterBytes && !Pause(response.pauseMs)) return false;
        size_t size = std::min(slice - offset % slice, body.size() - offset);
        if (pauses && offset < response.pauseAfterBytes) size = std::min(size, response.pauseAfterBytes - offset);
        std::string piece = body.substr(offset, size);
        offset += size;
        if (chunked) {
            char chunkHead[32];
            std::snprintf(chunkHead, sizeof(chunkHead), "%zx\r\n", piece.size());
            piece = chunkHead + piece + "\r\n";
        }
        if (!SendAll(fd, piece.data(), piece.size())) return false;
    }
    if (chunked && !SendAll(fd, "0\r\n\r\n", 5)) return false;
    return true;
}

namespace {

// Sockets bound to a port without listening on it, for the rest of the
// program: a connection to such a port is refused, and no other socket can
// be given the port meanwhile. A port bound and closed again could be handed
// to a server that a test running beside this one starts.
struct HeldPorts {
    std::mutex lock;
    std::vector<int> sockets;
    ~HeldPorts() {
        for (int fd : sockets) ::close(fd);
    }
};

} // namespace

int ClosedLoopbackPort() {
    static HeldPorts held;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (port == 0) {
        if (fd >= 0) ::close(fd);
        return 0;
    }
    std::lock_guard<std::mutex> hold(held.lock);
    held.sockets.push_back(fd);
    return port;
}

} // namespace ogctest
