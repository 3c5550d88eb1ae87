// The host's HTTP client and URL helpers, against addresses as users type them
// and against a scripted loopback server that misbehaves on purpose. Every
// failing download must come back as "" with nothing left in the temporary
// folder, and no call may hang: the fixture shortens every time-out.
#include "ScriptedServer.h"
#include "VmNetwork.h"
#include "VmStream.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using ogctest::ScriptedRequest;
using ogctest::ScriptedResponse;
using ogctest::ScriptedServer;
using VMK::VmFile;
using VMK::VmHttpHelper;
using VMK::VmHttpSettings;
using VMK::VmKVPairs;
using PLX::PlxMBString;

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs ToPairs(const VmKVPairs& dict) {
    Pairs out;
    for (const auto& pair : dict) out.emplace_back(pair.first.str(), pair.second.str());
    return out;
}

VmKVPairs ToDict(const Pairs& pairs) {
    VmKVPairs dict;
    for (const auto& pair : pairs) dict.SetAt(pair.first.c_str(), pair.second.c_str());
    return dict;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Listing(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Every test gets its own temporary folder and short time-outs, and gives
// both back afterwards.
class HttpFixture : public ::testing::Test {
protected:
    void SetUp() override {
        m_savedSettings = VmHttpSettings::Get();
        m_savedTempDir = VmFile::GetTempDir();
        std::string pattern = (fs::temp_directory_path() / "ogcweb-http-XXXXXX").string();
        ASSERT_NE(::mkdtemp(&pattern[0]), nullptr);
        m_tempDir = pattern;
        VmFile::SetTempDir(m_tempDir.c_str());
        // Only loopback is ever contacted; a proxy from the environment must not get in between.
        ::setenv("no_proxy", "127.0.0.1", 1);
        ::setenv("NO_PROXY", "127.0.0.1", 1);

        VmHttpSettings quick;
        quick.connectTimeoutMs = 2000;
        quick.stallTimeoutSec = 5;
        quick.totalTimeoutSec = 20;
        quick.maxBytes = 1024 * 1024;
        VmHttpSettings::Set(quick);
    }

    void TearDown() override {
        VmHttpSettings::Set(m_savedSettings);
        VmFile::SetTempDir(m_savedTempDir);
        std::error_code ec;
        if (!m_tempDir.empty()) fs::remove_all(m_tempDir, ec);
    }

    static void Tighten(long stallSec, long totalSec, long long maxBytes = 1024 * 1024) {
        VmHttpSettings s = VmHttpSettings::Get();
        s.stallTimeoutSec = stallSec;
        s.totalTimeoutSec = totalSec;
        s.maxBytes = maxBytes;
        VmHttpSettings::Set(s);
    }

    std::string m_tempDir;

private:
    VmHttpSettings m_savedSettings;
    PlxMBString m_savedTempDir;
};

class HttpRequestFile : public HttpFixture {};
class HttpRedirect : public HttpFixture {};
class HttpConnections : public HttpFixture {};
class HttpCheckOGCRequest : public HttpFixture {};

} // namespace

// ---------------------------------------------------------------------------
// Splitting and joining request URLs

TEST(UrlSplitJoin, SplitsAddressesAsUsersTypeThem) {
    struct Case {
        const char* url;
        const char* base;
        Pairs pairs;
    };
    const Case cases[] = {
        {"http://h/wms", "http://h/wms", {}},
        {"http://h/wms?", "http://h/wms", {}},
        {"http://h/cgi-bin/mapserv?map=/data/ows.map", "http://h/cgi-bin/mapserv", {{"map", "/data/ows.map"}}},
        {"http://h/wms?SERVICE=WMS&REQUEST=GetCapabilities&", "http://h/wms",
         {{"REQUEST", "GetCapabilities"}, {"SERVICE", "WMS"}}},
        // The later value wins, and keys differing in case are different keys.
        {"http://h/wms?LAYERS=a&LAYERS=b&layers=c", "http://h/wms", {{"LAYERS", "b"}, {"layers", "c"}}},
        {"http://h/wfs?FILTER=a=b&flag", "http://h/wfs", {{"FILTER", "a=b"}, {"flag", ""}}},
        {"http://h/wms?&&a=1&&b=2&", "http://h/wms", {{"a", "1"}, {"b", "2"}}},
        {"http://h/wms?=orphan&k=", "http://h/wms", {{"k", ""}}},
        {"http://h/wms?name=%20a+b&bbox=1,2,3,4", "http://h/wms", {{"bbox", "1,2,3,4"}, {"name", "%20a+b"}}},
        {"http://h/a?b?c=d", "http://h/a", {{"b?c", "d"}}},
        {"?x=1", "", {{"x", "1"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        PlxMBString base = "stale";
        VmKVPairs pairs = ToDict({{"stale", "1"}});
        EXPECT_EQ(VmHttpHelper::URLtoKVPairs(c.url, base, pairs), 1);
        EXPECT_EQ(base.str(), c.base);
        EXPECT_EQ(ToPairs(pairs), c.pairs);
    }
}

TEST(UrlSplitJoin, EmptyAddressFailsAndClearsOutputs) {
    PlxMBString base = "stale";
    VmKVPairs pairs = ToDict({{"stale", "1"}});
    EXPECT_EQ(VmHttpHelper::URLtoKVPairs("", base, pairs), 0);
    EXPECT_TRUE(base.IsEmpty());
    EXPECT_TRUE(pairs.IsEmpty());
}

TEST(UrlSplitJoin, JoinsInKeyOrderWithTrailingSeparator) {
    struct Case {
        const char* base;
        Pairs pairs;
        const char* url;
    };
    const Case cases[] = {
        {"http://h/wms", {}, "http://h/wms?"},
        {"http://h/wms",
         {{"VERSION", "1.3.0"}, {"map", "/m.map"}, {"SERVICE", "WMS"}, {"REQUEST", "GetMap"}},
         "http://h/wms?REQUEST=GetMap&SERVICE=WMS&VERSION=1.3.0&map=/m.map&"},
        // Values go out exactly as given.
        {"http://h/wfs", {{"FILTER", "<a b=\"1\"/>&x"}, {"e", ""}}, "http://h/wfs?FILTER=<a b=\"1\"/>&x&e=&"},
        {"", {{"k", "v"}}, "?k=v&"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        PlxMBString url = "stale";
        EXPECT_EQ(VmHttpHelper::KVPairstoURL(c.base, ToDict(c.pairs), url), 1);
        EXPECT_EQ(url.str(), c.url);
    }
}

TEST(UrlSplitJoin, JoinOfSplitIsStable) {
    const char* addresses[] = {
        "http://h/wms",
        "http://h/wms?",
        "http://h/cgi-bin/mapserv?map=/data/ows.map",
        "https://h:8443/geoserver/ows?service=WMS&request=GetCapabilities&version=1.3.0",
        "http://h/wms?b=2&a=1&b=3&&flag",
        "http://h/wfs?FILTER=a=b=c",
    };
    for (const char* address : addresses) {
        SCOPED_TRACE(address);
        PlxMBString base, joined, base2, joined2;
        VmKVPairs pairs, pairs2;
        ASSERT_EQ(VmHttpHelper::URLtoKVPairs(address, base, pairs), 1);
        VmHttpHelper::KVPairstoURL(base, pairs, joined);
        ASSERT_EQ(VmHttpHelper::URLtoKVPairs(joined, base2, pairs2), 1);
        EXPECT_EQ(base2.str(), base.str());
        EXPECT_EQ(ToPairs(pairs2), ToPairs(pairs));
        VmHttpHelper::KVPairstoURL(base2, pairs2, joined2);
        EXPECT_EQ(joined2.str(), joined.str());
    }
}

// ---------------------------------------------------------------------------
// Taking URLs apart

TEST(UrlParse, SplitsSchemeHostPortPathAndQuery) {
    struct Case {
        const char* url;
        const char* scheme;
        const char* host;
        const char* object;
        const char* extra;
        int port;
    };
    const Case cases[] = {
        {"http://example.org/wms?SERVICE=WMS", "http", "example.org", "/wms", "?SERVICE=WMS", 80},
        {"HTTPS://Example.org:8443/geoserver/ows", "https", "Example.org", "/geoserver/ows", "", 8443},
        {"https://example.org", "https", "example.org", "/", "", 443},
        {"https://example.org?x=1", "https", "example.org", "/", "?x=1", 443},
        {"http://example.org/wms?", "http", "example.org", "/wms", "?", 80},
        {"ftp://files.example.org/pub/a.tif", "ftp", "files.example.org", "/pub/a.tif", "", 21},
        {"http://user:pw@example.org:81/p", "http", "example.org", "/p", "", 81},
        {"http://[2001:db8::1]:8080/p", "http", "[2001:db8::1]", "/p", "", 8080},
        {"http://[2001:db8::1]/p", "http", "[2001:db8::1]", "/p", "", 80},
        {"http://example.org:/p", "http", "example.org", "/p", "", 80},
        {"http://example.org/a?b?c", "http", "example.org", "/a", "?b?c", 80},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        PlxMBString scheme, host, object, extra;
        int port = -1;
        ASSERT_EQ(VmHttpHelper::VmParseURL2(c.url, scheme, host, object, extra, port), 1);
        EXPECT_EQ(scheme.str(), c.scheme);
        EXPECT_EQ(host.str(), c.host);
        EXPECT_EQ(object.str(), c.object);
        EXPECT_EQ(extra.str(), c.extra);
        EXPECT_EQ(port, c.port);
    }
}

TEST(UrlParse, RejectsAddressesWithoutSchemeOrHost) {
    const char* bad[] = {
        "", "example.org/wms", "127.0.0.1:8080/wms?x=1", "://example.org/", "http:///path",
        "http://:8080/", "http://host:99999/", "http://host:0/", "http://host:8a/",
    };
    for (const char* url : bad) {
        SCOPED_TRACE(url);
        PlxMBString scheme = "s", host = "h", object = "o", extra = "e";
        int port = 5;
        EXPECT_EQ(VmHttpHelper::VmParseURL2(url, scheme, host, object, extra, port), 0);
        EXPECT_TRUE(host.IsEmpty());
    }
}

TEST(UrlParse, SplitsAtFirstQuestionMark) {
    struct Case {
        const char* url;
        const char* first;
        const char* second;
    };
    const Case cases[] = {
        {"http://h/wms?a=1?b", "http://h/wms", "a=1?b"},
        {"http://h/wms", "http://h/wms", ""},
        {"http://h/wms?", "http://h/wms", ""},
        {"?a", "", "a"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        PlxMBString first = "stale", second = "stale";
        EXPECT_EQ(VmHttpHelper::VmParseURL3(c.url, first, second), 1);
        EXPECT_EQ(first.str(), c.first);
        EXPECT_EQ(second.str(), c.second);
    }
    PlxMBString first = "stale", second = "stale";
    EXPECT_EQ(VmHttpHelper::VmParseURL3("", first, second), 0);
    EXPECT_TRUE(first.IsEmpty());
    EXPECT_TRUE(second.IsEmpty());
}

// ---------------------------------------------------------------------------
// Downloads

TEST_F(HttpRequestFile, WritesBodyToNewTempFileAndReportsContentType) {
    const std::string body = "<WMS_Capabilities version=\"1.3.0\"/>\n";
    ScriptedServer server;
    server.Enqueue(ScriptedResponse::Ok(body, "text/xml; charset=UTF-8"));
    server.Enqueue(ScriptedResponse::Ok("\x89PNG\r\n\x1a\n", "image/png"));
    server.Enqueue(ScriptedResponse::Ok("plain", ""));

    PlxMBString type = "stale";
    const PlxMBString doc = VmHttpHelper::RequestFile(server.Url("/wms?REQUEST=GetCapabilities").c_str(), "", "", 0, 0, type);
    ASSERT_FALSE(doc.IsEmpty());
    EXPECT_EQ(fs::path(doc.str()).parent_path(), fs::path(m_tempDir));
    EXPECT_EQ(fs::path(doc.str()).extension(), ".xml");
    EXPECT_EQ(ReadAll(doc.str()), body);
    EXPECT_EQ(type.str(), "text/xml; charset=UTF-8");
    EXPECT_EQ(server.LastRequest().method, "GET");
    EXPECT_EQ(server.LastRequest().query, "REQUEST=GetCapabilities");

    const PlxMBString data = VmHttpHelper::RequestFile(server.Url("/tile.png").c_str(), "", "", 0, 1, type);
    ASSERT_FALSE(data.IsEmpty());
    EXPECT_NE(data.str(), doc.str());
    EXPECT_EQ(fs::path(data.str()).extension(), ".dat");
    EXPECT_EQ(ReadAll(data.str()), std::string("\x89PNG\r\n\x1a\n"));
    EXPECT_EQ(type.str(), "image/png");

    const PlxMBString untyped = VmHttpHelper::RequestFile(server.Url("/x").c_str(), "", "", 0, 1, type);
    ASSERT_FALSE(untyped.IsEmpty());
    EXPECT_EQ(type.str(), "");

    EXPECT_EQ(Listing(m_tempDir).size(), 3u);
}

TEST_F(HttpRequestFile, SendsBasicCredentialsOnlyWhenUserGiven) {
    ScriptedServer server([](const ScriptedRequest&) { return ScriptedResponse::Ok("<ok/>"); });

    ASSERT_FALSE(VmHttpHelper::RequestFile(server.Url("/a").c_str(), "alice", "s3cret", 0, 0).IsEmpty());
    EXPECT_EQ(server.LastRequest().Header("Authorization"), "Basic YWxpY2U6czNjcmV0");

    // The same pooled connection serves the next call: nothing may carry over.
    ASSERT_FALSE(VmHttpHelper::RequestFile(server.Url("/b").c_str(), "", "ignored", 0, 0).IsEmpty());
    EXPECT_FALSE(server.LastRequest().HasHeader("Authorization"));

    ASSERT_FALSE(VmHttpHelper::RequestFile(server.Url("/c").c_str(), "bob", "", 0, 0).IsEmpty());
    EXPECT_EQ(server.LastRequest().Header("Authorization"), "Basic Ym9iOg==");
}

TEST_F(HttpRequestFile, DecodesGzipAndDeflateBodies) {
    std::string plain = "<Doc>";
    for (int i = 0; i < 40; ++i) plain += "compressed ";
    plain += "</Doc>";
    // `plain` compressed at level 9, as a server's gzip / zlib filter sends it.
    static const char gzipped[] =
        "\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03\xb3\x71\xc9\x4f\xb6\x4b\xce\xcf\x2d\x28\x4a\x2d\x2e"
        "\x4e\x4d\x51\x18\x65\x0e\x21\xa6\x8d\x3e\x28\xf6\x00\xda\xe4\x21\xdd\xc3\x01\x00\x00";
    static const char deflated[] =
        "\x78\xda\xb3\x71\xc9\x4f\xb6\x4b\xce\xcf\x2d\x28\x4a\x2d\x2e\x4e\x4d\x51\x18\x65\x0e\x21\xa6"
        "\x8d\x3e\x28\xf6\x00\x5c\x1c\xb0\x98";
    const std::pair<const char*, std::string> encodings[] = {
        {"gzip", std::string(gzipped, sizeof(gzipped) - 1)},
        {"deflate", std::string(deflated, sizeof(deflated) - 1)},
    };
    for (const auto& encoding : encodings) {
        SCOPED_TRACE(encoding.first);
        ScriptedServer server;
        server.Enqueue(ScriptedResponse::Ok(encoding.second).WithHeader("Content-Encoding", encoding.first));
        const PlxMBString path = VmHttpHelper::RequestFile(server.Url("/z").c_str(), "", "", 0, 0);
        ASSERT_FALSE(path.IsEmpty());
        EXPECT_EQ(ReadAll(path.str()), plain);
        EXPECT_NE(server.LastRequest().Header("Accept-Encoding").find(encoding.first), std::string::npos);
    }
}

TEST_F(HttpRequestFile, BodyOfExactlyTheSizeLimitIsAccepted) {
    const long long limit = 1000;
    Tighten(5, 20, limit);
    for (auto framing : {ScriptedResponse::Framing::ContentLength, ScriptedResponse::Framing::Chunked}) {
        SCOPED_TRACE(static_cast<int>(framing));
        ScriptedServer server;
        ScriptedResponse full = ScriptedResponse::Ok(std::string(static_cast<size_t>(limit), 'x'));
        full.framing = framing;
        full.sliceBytes = 100;
        server.Enqueue(full);
        const PlxMBString path = VmHttpHelper::RequestFile(server.Url("/full").c_str(), "", "", 0, 1);
        ASSERT_FALSE(path.IsEmpty());
        EXPECT_EQ(ReadAll(path.str()).size(), static_cast<size_t>(limit));
    }
}

TEST_F(HttpRequestFile, FailuresReturnEmptyAndLeaveNoFile) {
    struct Case {
        const char* name;
        ScriptedResponse response;
        long stallSec;
        long totalSec;
        long long maxBytes;
    };
    auto chunked = [](ScriptedResponse r) {
        r.framing = ScriptedResponse::Framing::Chunked;
        r.sliceBytes = 100;
        return r;
    };
    auto trickle = [] {
        ScriptedResponse r = ScriptedResponse::Ok(std::string(80, 't'));
        r.sliceBytes = 1;
        r.sliceDelayMs = 100;
        return r;
    };
    const std::string big(1001, 'b');
    // Where a time-out is under test the other limit is set so that it cannot
    // end the transfer first: without the limit under test the download would
    // complete and the case would fail.
    const Case cases[] = {
        {"status 500", ScriptedResponse::Status(500, "<html>boom</html>", "text/html"), 5, 20, 1 << 20},
        {"status 404 with a page", ScriptedResponse::Status(404, "<html><body>Not here</body></html>", "text/html"), 5, 20, 1 << 20},
        {"status 400", ScriptedResponse::Status(400, "<ServiceExceptionReport/>", "text/xml"), 5, 20, 1 << 20},
        {"body shorter than announced", ScriptedResponse::Truncated("<WMS_Capabilities>", 5000), 5, 20, 1 << 20},
        {"connection dropped without answer", ScriptedResponse::CloseWithoutAnswer(), 5, 20, 1 << 20},
        {"announced body over the limit", ScriptedResponse::Ok(big), 5, 20, 1000},
        {"chunked body over the limit", chunked(ScriptedResponse::Ok(big)), 5, 20, 1000},
        {"silence before the answer", ScriptedResponse::Stall(20000), 1, 60, 1 << 20},
        // libcurl averages the rate over the last few seconds, so a silence
        // after a burst is noticed some seconds late; the pause outlasts that.
        {"silence inside the body", ScriptedResponse::PauseInBody(std::string(200, 's'), 50, 20000), 1, 60, 1 << 20},
        {"answer slower than the whole-request limit", trickle(), 0, 1, 1 << 20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Tighten(c.stallSec, c.totalSec, c.maxBytes);
        // Always the same answer, so a client retry meets the same fault.
        const ScriptedResponse response = c.response;
        ScriptedServer server([response](const ScriptedRequest&) { return response; });
        const std::vector<std::string> before = Listing(m_tempDir);
        PlxMBString type = "stale";
        EXPECT_EQ(VmHttpHelper::RequestFile(server.Url("/fail").c_str(), "", "", 0, 0, type).str(), "");
        EXPECT_EQ(type.str(), "");
        EXPECT_GE(server.RequestCount(), 1u);
        EXPECT_EQ(Listing(m_tempDir), before);
    }
}

TEST_F(HttpRequestFile, UnreachableOrUnsupportedAddressesFail) {
    const int port = ogctest::ClosedLoopbackPort();
    ASSERT_NE(port, 0);
    const fs::path outside = fs::path(m_tempDir).parent_path() / ("ogcweb-http-local-" + std::to_string(::getpid()) + ".xml");
    std::ofstream(outside) << "<WMS_Capabilities version=\"1.3.0\"/>";

    const std::string urls[] = {
        "http://127.0.0.1:" + std::to_string(port) + "/wms",
        "file://" + outside.string(),
        "",
    };
    for (const std::string& url : urls) {
        SCOPED_TRACE(url);
        EXPECT_EQ(VmHttpHelper::RequestFile(url.c_str(), "", "", 0, 0).str(), "");
        EXPECT_TRUE(Listing(m_tempDir).empty());
    }
    std::error_code ec;
    fs::remove(outside, ec);
}

TEST_F(HttpRequestFile, UnusableTempFolderFails) {
    ScriptedServer server([](const ScriptedRequest&) { return ScriptedResponse::Ok("<ok/>"); });
    const fs::path notADir = fs::path(m_tempDir) / "plain-file";
    std::ofstream(notADir) << "x";
    VmFile::SetTempDir((notADir / "sub").string().c_str());
    EXPECT_EQ(VmHttpHelper::RequestFile(server.Url("/a").c_str(), "", "", 0, 0).str(), "");
}

// ---------------------------------------------------------------------------
// Redirects

TEST_F(HttpRedirect, FollowsToTheFinalAnswer) {
    ScriptedServer server;
    server.Enqueue(ScriptedResponse::Redirect("/moved?SERVICE=WMS", 301));
    server.Enqueue(ScriptedResponse::Redirect(server.Url("/final"), 307));
    server.Enqueue(ScriptedResponse::Ok("<final/>", "application/vnd.ogc.wms_xml"));
    PlxMBString type;
    const PlxMBString path = VmHttpHelper::RequestFile(server.Url("/start").c_str(), "", "", 0, 0, type);
    ASSERT_FALSE(path.IsEmpty());
    EXPECT_EQ(ReadAll(path.str()), "<final/>");
    EXPECT_EQ(type.str(), "application/vnd.ogc.wms_xml");
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[1].target, "/moved?SERVICE=WMS");
    EXPECT_EQ(requests[2].path, "/final");
}

TEST_F(HttpRedirect, FollowsAtMostFiveHops) {
    // "/hop/N" redirects to "/hop/N-1"; "/hop/0" answers.
    ScriptedServer server([](const ScriptedRequest& request) {
        const int hops = std::atoi(request.path.substr(5).c_str());
        if (hops == 0) return ScriptedResponse::Ok("<arrived/>");
        return ScriptedResponse::Redirect("/hop/" + std::to_string(hops - 1));
    });
    const PlxMBString five = VmHttpHelper::RequestFile(server.Url("/hop/5").c_str(), "", "", 0, 0);
    ASSERT_FALSE(five.IsEmpty());
    EXPECT_EQ(ReadAll(five.str()), "<arrived/>");
    const std::vector<std::string> before = Listing(m_tempDir);
    EXPECT_EQ(VmHttpHelper::RequestFile(server.Url("/hop/6").c_str(), "", "", 0, 0).str(), "");
    EXPECT_EQ(Listing(m_tempDir), before);
}

TEST_F(HttpRedirect, CredentialsStayWithTheirHost) {
    ScriptedServer other([](const ScriptedRequest&) { return ScriptedResponse::Ok("<other/>"); });
    ScriptedServer origin([&other](const ScriptedRequest& request) {
        if (request.path == "/away") return ScriptedResponse::Redirect(other.Url("/landing"));
        if (request.path == "/here") return ScriptedResponse::Redirect("/landing");
        return ScriptedResponse::Ok("<origin/>");
    });

    // Same host and port: the credentials follow.
    const PlxMBString here = VmHttpHelper::RequestFile(origin.Url("/here").c_str(), "alice", "s3cret", 0, 0);
    ASSERT_FALSE(here.IsEmpty());
    EXPECT_EQ(ReadAll(here.str()), "<origin/>");
    EXPECT_EQ(origin.LastRequest().path, "/landing");
    EXPECT_EQ(origin.LastRequest().Header("Authorization"), "Basic YWxpY2U6czNjcmV0");

    // Another port is another server as far as credentials go.
    const PlxMBString away = VmHttpHelper::RequestFile(origin.Url("/away").c_str(), "alice", "s3cret", 0, 0);
    ASSERT_FALSE(away.IsEmpty());
    EXPECT_EQ(ReadAll(away.str()), "<other/>");
    EXPECT_EQ(origin.LastRequest().Header("Authorization"), "Basic YWxpY2U6czNjcmV0");
    ASSERT_EQ(other.RequestCount(), 1u);
    EXPECT_FALSE(other.LastRequest().HasHeader("Authorization"));
}

TEST_F(HttpRedirect, NeverLeavesHttp) {
    ScriptedServer target([](const ScriptedRequest&) { return ScriptedResponse::Ok("<probe/>"); });
    const fs::path local = fs::path(m_tempDir).parent_path() / ("ogcweb-http-redirect-" + std::to_string(::getpid()) + ".xml");
    std::ofstream(local) << "<secret/>";
    ScriptedServer origin;
    origin.Enqueue(ScriptedResponse::Redirect("ftp://127.0.0.1:" + std::to_string(target.Port()) + "/x"));
    origin.Enqueue(ScriptedResponse::Redirect("file://" + local.string()));

    EXPECT_EQ(VmHttpHelper::RequestFile(origin.Url("/to-ftp").c_str(), "", "", 0, 0).str(), "");
    EXPECT_EQ(VmHttpHelper::RequestFile(origin.Url("/to-file").c_str(), "", "", 0, 0).str(), "");
    EXPECT_TRUE(Listing(m_tempDir).empty());

    // Connections are accepted in order, so once the probe is answered an
    // earlier FTP attempt would have been counted.
    ASSERT_FALSE(VmHttpHelper::RequestFile(target.Url("/probe").c_str(), "", "", 0, 0).IsEmpty());
    EXPECT_EQ(target.ConnectionCount(), 1);
    std::error_code ec;
    fs::remove(local, ec);
}

// ---------------------------------------------------------------------------
// Connections

TEST_F(HttpConnections, SequentialRequestsReuseOneConnection) {
    ScriptedServer server([](const ScriptedRequest& r) { return ScriptedResponse::Ok("<" + r.path.substr(1) + "/>"); });
    for (const char* path : {"/a", "/b", "/c"}) {
        const PlxMBString file = VmHttpHelper::RequestFile(server.Url(path).c_str(), "", "", 0, 0);
        ASSERT_FALSE(file.IsEmpty());
        EXPECT_EQ(ReadAll(file.str()), "<" + std::string(path + 1) + "/>");
    }
    EXPECT_EQ(server.RequestCount(), 3u);
    EXPECT_EQ(server.ConnectionCount(), 1);
}

TEST_F(HttpConnections, ParallelDownloadsGetTheirOwnBodies) {
    ScriptedServer server([](const ScriptedRequest& r) {
        return ScriptedResponse::Ok(std::string(2000, 'p') + r.target, "text/plain");
    });
    const int threads = 4;
    const int perThread = 8;
    std::vector<std::vector<std::string>> mismatches(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                const std::string target = "/t" + std::to_string(t) + "?i=" + std::to_string(i);
                PlxMBString type;
                const PlxMBString path = VmHttpHelper::RequestFile(server.Url(target).c_str(), "", "", 0, 1, type);
                if (path.IsEmpty() || ReadAll(path.str()) != std::string(2000, 'p') + target || type != "text/plain")
                    mismatches[static_cast<size_t>(t)].push_back(target);
            }
        });
    }
    for (auto& worker : workers) worker.join();
    for (int t = 0; t < threads; ++t) EXPECT_TRUE(mismatches[static_cast<size_t>(t)].empty()) << "thread " << t;
    EXPECT_EQ(server.RequestCount(), static_cast<size_t>(threads * perThread));
    EXPECT_EQ(Listing(m_tempDir).size(), static_cast<size_t>(threads * perThread));
}

// ---------------------------------------------------------------------------
// Capabilities version probe

TEST_F(HttpCheckOGCRequest, ReadsTheRootVersion) {
    struct Case {
        const char* name;
        ScriptedResponse response;
        int version;
    };
    const Case cases[] = {
        {"WMS 1.3.0", ScriptedResponse::Ok("<?xml version=\"1.0\"?>\n<WMS_Capabilities version=\"1.3.0\" "
                                           "xmlns=\"http://www.opengis.net/wms\"><Service/></WMS_Capabilities>"), 130},
        {"WMS 1.1.1 with its DOCTYPE",
         ScriptedResponse::Ok("<?xml version=\"1.0\" encoding=\"ISO-8859-1\" standalone=\"no\"?>\n"
                              "<!DOCTYPE WMT_MS_Capabilities SYSTEM \"http://schemas.opengis.net/wms/1.1.1/WMS_MS_Capabilities.dtd\"\n"
                              " [\n <!ELEMENT VendorSpecificCapabilities EMPTY>\n ]>\n"
                              "<!-- generated -->\n<WMT_MS_Capabilities version=\"1.1.1\" updateSequence=\"0\"/>",
                              "application/vnd.ogc.wms_xml"), 111},
        {"prefixed root and version",
         ScriptedResponse::Ok("<wms:WMS_Capabilities xmlns:wms=\"http://www.opengis.net/wms\" wms:version=\"1.3.0\"/>"), 130},
        {"plain version before a prefixed one",
         ScriptedResponse::Ok("<wfs:WFS_Capabilities xmlns:wfs=\"x\" xmlns:o=\"y\" o:version=\"9.9.9\" version=\"2.0.0\"/>"), 200},
        {"behind a redirect", ScriptedResponse::Redirect("/wmts"), 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        server.Enqueue(c.response);
        server.Enqueue(ScriptedResponse::Ok("<Capabilities xmlns=\"http://www.opengis.net/wmts/1.0\" version=\"1.0.0\"/>"));
        EXPECT_EQ(VmHttpHelper::CheckOGCRequest(server.Url("/ows?REQUEST=GetCapabilities").c_str(), "", ""), c.version);
        EXPECT_TRUE(Listing(m_tempDir).empty());
    }
}

TEST_F(HttpCheckOGCRequest, AnythingButAVersionedCapabilitiesDocumentGivesMinusOne) {
    struct Case {
        const char* name;
        ScriptedResponse response;
    };
    const Case cases[] = {
        {"exception report", ScriptedResponse::Ok("<ServiceExceptionReport version=\"1.3.0\"><ServiceException "
                                                  "code=\"InvalidFormat\"/></ServiceExceptionReport>")},
        {"prefixed exception report",
         ScriptedResponse::Ok("<ows:ExceptionReport xmlns:ows=\"http://www.opengis.net/ows/1.1\" version=\"2.0.0\"/>")},
        {"HTML page", ScriptedResponse::Ok("<html><body>Login<br></body>", "text/html")},
        {"not XML at all", ScriptedResponse::Ok("Service temporarily unavailable", "text/plain")},
        {"empty body", ScriptedResponse::Ok("")},
        {"root without version", ScriptedResponse::Ok("<WMS_Capabilities updateSequence=\"3\"/>")},
        {"empty version", ScriptedResponse::Ok("<WMS_Capabilities version=\"\"/>")},
        {"version with letters", ScriptedResponse::Ok("<WMS_Capabilities version=\"1.3.0beta\"/>")},
        {"attribute merely ending in version", ScriptedResponse::Ok("<WMS_Capabilities myversion=\"1.3.0\"/>")},
        {"status 500 with a capabilities body", ScriptedResponse::Status(500, "<WMS_Capabilities version=\"1.3.0\"/>", "text/xml")},
        {"dropped connection", ScriptedResponse::CloseWithoutAnswer()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ScriptedResponse response = c.response;
        ScriptedServer server([response](const ScriptedRequest&) { return response; });
        EXPECT_EQ(VmHttpHelper::CheckOGCRequest(server.Url("/ows").c_str(), "", ""), -1);
        EXPECT_TRUE(Listing(m_tempDir).empty());
    }
    EXPECT_EQ(VmHttpHelper::CheckOGCRequest(("http://127.0.0.1:" + std::to_string(ogctest::ClosedLoopbackPort()) + "/").c_str(),
                                            "", ""), -1);
}

// Every capabilities document and exception report of the shared corpus, as
// real servers wrote them, served as the answer to a capabilities request.
TEST_F(HttpCheckOGCRequest, CorpusDocuments) {
    const fs::path corpus = OGCWEB_CORPUS_DIR;
    std::ifstream manifest(corpus / "MANIFEST.tsv");
    if (!manifest) GTEST_SKIP() << "no corpus at " << corpus;

    Tighten(5, 20, 64LL * 1024 * 1024);  // some documents are megabytes
    ScriptedServer server([&corpus](const ScriptedRequest& request) {
        return ScriptedResponse::Ok(ReadAll((corpus / request.Param("file")).string()));
    });
    std::string line;
    std::getline(manifest, line);  // column names
    int checked = 0;
    while (std::getline(manifest, line)) {
        std::vector<std::string> columns;
        std::stringstream fields(line);
        for (std::string field; std::getline(fields, field, '\t');) columns.push_back(field);
        if (columns.size() < 4) continue;
        const std::string& file = columns[0];
        const std::string& version = columns[2];
        const std::string& kind = columns[3];
        int expected;
        if (kind == "exception") {
            expected = -1;
        } else if (kind == "capabilities" && version != "-") {
            std::string digits = version;
            digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
            expected = std::atoi(digits.c_str());
        } else {
            continue;
        }
        // Kept byte for byte with a UTF-16 byte-order mark before 8-bit text:
        // not a well-formed document, whatever its declared version.
        if (file.find("bogus-bom") != std::string::npos) expected = -1;
        SCOPED_TRACE(file);
        EXPECT_EQ(VmHttpHelper::CheckOGCRequest(server.Url("/caps?file=" + file).c_str(), "", ""), expected);
        ++checked;
    }
    EXPECT_GT(checked, 100);
    EXPECT_TRUE(Listing(m_tempDir).empty());
}

// ---------------------------------------------------------------------------
// The scripted server itself: the faults it claims to produce, seen on the wire.

namespace {

struct RawExchange {
    std::string received;
    bool closedByServer = false;
};

// Sends `request` on a fresh connection and reads until the server closes
// (or 10 s pass, so a broken server fails the test instead of hanging it).
RawExchange RawRequest(int port, const std::string& request) {
    RawExchange exchange;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return exchange;
    timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        for (;;) {
            const ssize_t got = ::recv(fd, buffer, sizeof(buffer), 0);
            if (got > 0) {
                exchange.received.append(buffer, static_cast<size_t>(got));
                continue;
            }
            exchange.closedByServer = got == 0 || errno == ECONNRESET;
            break;
        }
    }
    ::close(fd);
    return exchange;
}

std::string BodyOf(const std::string& response) {
    const size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : response.substr(end + 4);
}

} // namespace

TEST(ScriptedServer, TruncatedAnswerEndsBeforeTheAnnouncedLength) {
    ScriptedServer server;
    server.Enqueue(ScriptedResponse::Truncated("0123456789", 100));
    const RawExchange exchange = RawRequest(server.Port(), "GET /t HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_TRUE(exchange.closedByServer);
    EXPECT_EQ(exchange.received.rfind("HTTP/1.1 200 ", 0), 0u);
    EXPECT_NE(exchange.received.find("\r\nContent-Length: 100\r\n"), std::string::npos);
    EXPECT_EQ(BodyOf(exchange.received), "0123456789");
}

TEST(ScriptedServer, CloseWithoutAnswerSendsNothing) {
    ScriptedServer server;
    server.Enqueue(ScriptedResponse::CloseWithoutAnswer());
    const RawExchange exchange = RawRequest(server.Port(), "GET /c HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_TRUE(exchange.closedByServer);
    EXPECT_EQ(exchange.received, "");
    EXPECT_EQ(server.RequestCount(), 1u);
}

TEST(ScriptedServer, AnswersFromQueueThenHandlerAndRecordsRequests) {
    ScriptedServer server([](const ScriptedRequest& r) { return ScriptedResponse::Ok("handled " + r.path, "text/plain"); });
    server.Enqueue(ScriptedResponse::Ok("queued", "text/plain"));
    EXPECT_EQ(server.QueuedResponses(), 1u);

    const RawExchange first = RawRequest(
        server.Port(), "GET /a?SERVICE=WMS&FILTER=x=y&flag HTTP/1.1\r\nHost: x\r\nX-Probe:  v1 \r\nConnection: close\r\n\r\n");
    const RawExchange second = RawRequest(server.Port(), "GET /b HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(BodyOf(first.received), "queued");
    EXPECT_EQ(BodyOf(second.received), "handled /b");
    EXPECT_EQ(server.QueuedResponses(), 0u);

    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].path, "/a");
    EXPECT_EQ(requests[0].query, "SERVICE=WMS&FILTER=x=y&flag");
    EXPECT_EQ(requests[0].Param("SERVICE"), "WMS");
    EXPECT_EQ(requests[0].Param("FILTER"), "x=y");
    EXPECT_TRUE(requests[0].params.count("flag"));
    EXPECT_EQ(requests[0].Header("x-probe"), "v1");
    EXPECT_NE(requests[0].connection, requests[1].connection);
    EXPECT_EQ(server.ConnectionCount(), 2);

    // Nothing scripted any more: a 404 naming the target.
    server.SetHandler(nullptr);
    const RawExchange third = RawRequest(server.Port(), "GET /none HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(third.received.rfind("HTTP/1.1 404 ", 0), 0u);
    EXPECT_NE(BodyOf(third.received).find("/none"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Batched transfers: many waiters, one multi handle

class HttpTransfers : public HttpFixture {
protected:
    static bool Get(VMK::VmHttpTransfers& transfers, const std::string& url, std::string& body,
                    std::string& type) {
        std::vector<unsigned char> bytes{'?'};
        PlxMBString received("stale");
        const bool ok = transfers.Get(url.c_str(), "", "", bytes, received);
        body.assign(bytes.begin(), bytes.end());
        type = received.str();
        return ok;
    }
};

TEST_F(HttpTransfers, ManyWaitersShareAFewKeptConnections) {
    ScriptedServer server([](const ScriptedRequest& request) {
        ScriptedResponse answer = ScriptedResponse::Ok("body of " + request.path, "image/png");
        answer.delayMs = 20;  // long enough for the waiters to overlap
        return answer;
    });
    VMK::VmHttpTransfers transfers(3);
    constexpr int kWaiters = 12;
    std::vector<std::string> bodies(kWaiters), types(kWaiters);
    std::vector<int> ok(kWaiters, 0);
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i)
        waiters.emplace_back([&, i] { ok[i] = Get(transfers, server.Url("/tile/" + std::to_string(i)), bodies[i], types[i]); });
    for (std::thread& waiter : waiters) waiter.join();
    for (int i = 0; i < kWaiters; ++i) {
        EXPECT_TRUE(ok[i]) << i;
        EXPECT_EQ(bodies[i], "body of /tile/" + std::to_string(i));
        EXPECT_EQ(types[i], "image/png");
    }
    EXPECT_EQ(server.RequestCount(), static_cast<size_t>(kWaiters));
    EXPECT_LE(server.ConnectionCount(), 3) << "at most the connections asked for, kept between transfers";
}

TEST_F(HttpTransfers, FailuresAreFalseWithoutABody) {
    ScriptedServer server;
    server.Enqueue(ScriptedResponse::Status(500, "broken"));
    server.Enqueue(ScriptedResponse::Truncated("<cut", 100));
    server.Enqueue(ScriptedResponse::Ok(std::string(2 * 1024 * 1024, 'x')));  // over the fixture's 1 MiB cap
    server.Enqueue(ScriptedResponse::Redirect("file:///etc/hostname"));
    VMK::VmHttpTransfers transfers(2);
    std::string body, type;
    for (const char* what : {"status 500", "cut body", "over the size cap", "redirect out of http"}) {
        EXPECT_FALSE(Get(transfers, server.Url("/x"), body, type)) << what;
        EXPECT_EQ(body, "") << what;
        EXPECT_EQ(type, "") << what;
    }
    EXPECT_FALSE(Get(transfers, "", body, type));
    EXPECT_FALSE(Get(transfers, "file:///etc/hostname", body, type));
    EXPECT_EQ(server.RequestCount(), 4u);
}

TEST_F(HttpTransfers, CancelEndsTheWaitWithoutTheServer) {
    ScriptedServer server([](const ScriptedRequest&) { return ScriptedResponse::Stall(60000); });
    Tighten(120, 120);  // only Cancel can end the wait early
    VMK::VmHttpTransfers transfers(2);
    std::promise<bool> result;
    std::future<bool> done = result.get_future();
    std::thread waiter([&] {
        std::string body, type;
        result.set_value(Get(transfers, server.Url("/slow"), body, type));
    });
    for (int i = 0; i < 500 && server.RequestCount() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(server.RequestCount(), 1u);
    transfers.Cancel();
    // A generous bound: failing it means the wait lasted as long as the stall.
    const bool ended = done.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    EXPECT_TRUE(ended) << "Cancel did not end the transfer under way";
    EXPECT_FALSE(done.get());
    waiter.join();
    std::string body, type;
    EXPECT_FALSE(Get(transfers, server.Url("/after"), body, type)) << "refused after Cancel";
    EXPECT_EQ(server.RequestCount(), 1u);
}
