// The host's HTTP client and URL helpers against a loopback server that misbehaves on purpose: a failed
// download is "" with nothing left in the temporary folder, and no call hangs (the fixture shortens time-outs).
#include "ScriptedServer.h"
#include "TestSupport.h"
#include "VmNetwork.h"
#include "VmStream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
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

PlxMBString Fetch(const std::string& url, const char* user = "", const char* password = "") {
    return VmHttpHelper::RequestFile(url.c_str(), user, password, 0, 0);
}

// Every test gets its own temporary folder and short time-outs, and gives both back afterwards.
class HttpFixture : public ::testing::Test {
protected:
    void SetUp() override {
        m_savedSettings = VmHttpSettings::Get();
        // Only loopback is ever contacted; a proxy from the environment must not get in between.
        ::setenv("no_proxy", "127.0.0.1", 1);
        ::setenv("NO_PROXY", "127.0.0.1", 1);
        Tighten(5, 20);
    }
    void TearDown() override { VmHttpSettings::Set(m_savedSettings); }

    static void Tighten(long stallSec, long totalSec, long long maxBytes = 1024 * 1024) {
        VmHttpSettings s = VmHttpSettings::Get();
        s.connectTimeoutMs = 2000;
        s.stallTimeoutSec = stallSec;
        s.totalTimeoutSec = totalSec;
        s.maxBytes = maxBytes;
        VmHttpSettings::Set(s);
    }

    // A local file that is not in the download folder.
    std::string Outside(const char* name, const std::string& content) {
        const std::string path = m_outside.Path(name).str();
        std::ofstream(path) << content;
        return path;
    }
    size_t Downloads() const { return m_temp.Files().size(); }

    VmHttpSettings m_savedSettings;
    VMK::TempFolder m_outside;
    VMK::TempFolder m_temp;  // made after m_outside, so it is the one downloads go to
};

class HttpRequestFile : public HttpFixture {};
class HttpRedirect : public HttpFixture {};
class HttpConnections : public HttpFixture {};
class HttpCheckOGCRequest : public HttpFixture {};

} // namespace

// ---------------------------------------------------------------------------
// Splitting and joining request URLs

TEST(UrlSplitJoin, SplitsAddressesAsUsersTypeThemAndJoinsBackTheSame) {
    struct Case {
        const char* url;
        const char* base;
        Pairs pairs;
    };
    const Case cases[] = {
        {"http://h/wms", "http://h/wms", {}},
        {"http://h/wms?", "http://h/wms", {}},
        {"http://h/cgi-bin/mapserv?map=/data/ows.map", "http://h/cgi-bin/mapserv", {{"map", "/data/ows.map"}}},
        // A whole GetMap copied from the browser's address bar: nothing decoded, empty values kept.
        {"http://h/cgi-bin/mapserv?map=/srv/ows.map&SERVICE=WMS&VERSION=1.3.0&REQUEST=GetMap&LAYERS=roads,rivers"
         "&STYLES=&CRS=EPSG:4326&BBOX=40,-10,60,10&WIDTH=800&HEIGHT=600&FORMAT=image%2Fpng",
         "http://h/cgi-bin/mapserv",
         {{"BBOX", "40,-10,60,10"}, {"CRS", "EPSG:4326"}, {"FORMAT", "image%2Fpng"}, {"HEIGHT", "600"},
          {"LAYERS", "roads,rivers"}, {"REQUEST", "GetMap"}, {"SERVICE", "WMS"}, {"STYLES", ""},
          {"VERSION", "1.3.0"}, {"WIDTH", "800"}, {"map", "/srv/ows.map"}}},
        // The later value wins, and keys differing in case are different keys.
        {"http://h/wms?LAYERS=a&LAYERS=b&layers=c", "http://h/wms", {{"LAYERS", "b"}, {"layers", "c"}}},
        {"http://h/wfs?FILTER=a=b&flag", "http://h/wfs", {{"FILTER", "a=b"}, {"flag", ""}}},
        {"http://h/wms?&&a=1&&b=2&", "http://h/wms", {{"a", "1"}, {"b", "2"}}},
        {"http://h/wms?=orphan&k=", "http://h/wms", {{"k", ""}}},
        {"http://h/a?b?c=d", "http://h/a", {{"b?c", "d"}}},
        {"?x=1", "", {{"x", "1"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        PlxMBString base = "stale", joined, base2;
        VmKVPairs pairs = ToDict({{"stale", "1"}}), pairs2;
        EXPECT_EQ(VmHttpHelper::URLtoKVPairs(c.url, base, pairs), 1);
        EXPECT_EQ(base.str(), c.base);
        EXPECT_EQ(ToPairs(pairs), c.pairs);
        VmHttpHelper::KVPairstoURL(base, pairs, joined);
        ASSERT_EQ(VmHttpHelper::URLtoKVPairs(joined, base2, pairs2), 1);
        EXPECT_EQ(base2.str(), c.base);
        EXPECT_EQ(ToPairs(pairs2), c.pairs);
    }
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
        {"https://example.org?x=1", "https", "example.org", "/", "?x=1", 443},
        {"ftp://files.example.org/pub/a.tif", "ftp", "files.example.org", "/pub/a.tif", "", 21},
        {"http://user:pw@example.org:81/p", "http", "example.org", "/p", "", 81},
        {"http://[2001:db8::1]:8080/p", "http", "[2001:db8::1]", "/p", "", 8080},
        {"http://example.org:/p", "http", "example.org", "/p", "", 80},
        {"http://example.org/a?b?c", "http", "example.org", "/a", "?b?c", 80},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        PlxMBString scheme, host, object, extra;
        int port = -1;
        ASSERT_EQ(VmHttpHelper::VmParseURL2(c.url, scheme, host, object, extra, port), 1);
        EXPECT_EQ(scheme.str() + " " + host.str() + " " + object.str() + " " + extra.str(),
                  std::string(c.scheme) + " " + c.host + " " + c.object + " " + c.extra);
        EXPECT_EQ(port, c.port);
    }
    for (const char* url : {"", "example.org/wms", "127.0.0.1:8080/wms?x=1", "://example.org/", "http:///path",
                            "http://:8080/", "http://host:99999/", "http://host:0/", "http://host:8a/"}) {
        SCOPED_TRACE(url);
        PlxMBString scheme = "s", host = "h", object = "o", extra = "e";
        int port = 5;
        EXPECT_EQ(VmHttpHelper::VmParseURL2(url, scheme, host, object, extra, port), 0);
        EXPECT_TRUE(host.IsEmpty());
    }
}

TEST(UrlParse, SplitsAtFirstQuestionMark) {
    // url -> "result first|second"
    const std::pair<const char*, const char*> cases[] = {
        {"http://h/wms?a=1?b", "1 http://h/wms|a=1?b"},
        {"http://h/wms", "1 http://h/wms|"},
        {"http://h/wms?", "1 http://h/wms|"},
        {"?a", "1 |a"},
        {"", "0 |"},
    };
    for (const auto& c : cases) {
        PlxMBString first = "stale", second = "stale";
        const int ok = VmHttpHelper::VmParseURL3(c.first, first, second);
        EXPECT_EQ(std::to_string(ok) + " " + first.str() + "|" + second.str(), c.second) << c.first;
    }
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
    const PlxMBString doc = VmHttpHelper::RequestFile(server.Url("/wms").c_str(), "", "", 0, 0, type);
    ASSERT_FALSE(doc.IsEmpty());
    EXPECT_EQ(fs::path(doc.str()).parent_path(), fs::path(m_temp.Path("x").str()).parent_path());
    EXPECT_EQ(fs::path(doc.str()).extension(), ".xml");
    EXPECT_EQ(ReadAll(doc.str()), body);
    EXPECT_EQ(type.str(), "text/xml; charset=UTF-8");

    const PlxMBString data = VmHttpHelper::RequestFile(server.Url("/tile.png").c_str(), "", "", 0, 1, type);
    ASSERT_FALSE(data.IsEmpty());
    EXPECT_EQ(fs::path(data.str()).extension(), ".dat");
    EXPECT_EQ(ReadAll(data.str()), std::string("\x89PNG\r\n\x1a\n"));

    ASSERT_FALSE(VmHttpHelper::RequestFile(server.Url("/x").c_str(), "", "", 0, 1, type).IsEmpty());
    EXPECT_EQ(type.str(), "");
    EXPECT_EQ(Downloads(), 3u);
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
        const PlxMBString path = Fetch(server.Url("/z"));
        ASSERT_FALSE(path.IsEmpty());
        EXPECT_EQ(ReadAll(path.str()), plain);
        EXPECT_NE(server.LastRequest().Header("Accept-Encoding").find(encoding.first), std::string::npos);
    }
}

TEST_F(HttpRequestFile, BodyOfExactlyTheSizeLimitIsAccepted) {
    Tighten(5, 20, 1000);
    for (auto framing : {ScriptedResponse::Framing::ContentLength, ScriptedResponse::Framing::Chunked}) {
        SCOPED_TRACE(static_cast<int>(framing));
        ScriptedServer server;
        ScriptedResponse full = ScriptedResponse::Ok(std::string(1000, 'x'));
        full.framing = framing;
        full.sliceBytes = 100;
        server.Enqueue(full);
        const PlxMBString path = Fetch(server.Url("/full"));
        ASSERT_FALSE(path.IsEmpty());
        EXPECT_EQ(ReadAll(path.str()).size(), 1000u);
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
    ScriptedResponse chunked = ScriptedResponse::Ok(std::string(1001, 'b'));
    chunked.framing = ScriptedResponse::Framing::Chunked;
    chunked.sliceBytes = 100;
    ScriptedResponse trickle = ScriptedResponse::Ok(std::string(80, 't'));
    trickle.sliceBytes = 1;
    trickle.sliceDelayMs = 100;
    // Where a time-out is under test the other limit cannot end the transfer first: without the limit under
    // test the download would complete and the case would fail.
    const Case cases[] = {
        {"status 500", ScriptedResponse::Status(500, "<html>boom</html>", "text/html"), 5, 20, 1 << 20},
        {"body shorter than announced", ScriptedResponse::Truncated("<WMS_Capabilities>", 5000), 5, 20, 1 << 20},
        {"connection dropped without answer", ScriptedResponse::CloseWithoutAnswer(), 5, 20, 1 << 20},
        {"announced body over the limit", ScriptedResponse::Ok(std::string(1001, 'b')), 5, 20, 1000},
        {"chunked body over the limit", chunked, 5, 20, 1000},
        {"silence before the answer", ScriptedResponse::Stall(20000), 1, 60, 1 << 20},
        // libcurl averages the rate over the last few seconds, so a silence
        // after a burst is noticed some seconds late; the pause outlasts that.
        {"silence inside the body", ScriptedResponse::PauseInBody(std::string(200, 's'), 50, 20000), 1, 60, 1 << 20},
        {"answer slower than the whole-request limit", trickle, 0, 1, 1 << 20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Tighten(c.stallSec, c.totalSec, c.maxBytes);
        // Always the same answer, so a client retry meets the same fault.
        const ScriptedResponse response = c.response;
        ScriptedServer server([response](const ScriptedRequest&) { return response; });
        PlxMBString type = "stale";
        EXPECT_EQ(VmHttpHelper::RequestFile(server.Url("/fail").c_str(), "", "", 0, 0, type).str(), "");
        EXPECT_EQ(type.str(), "");
        EXPECT_GE(server.RequestCount(), 1u);
        EXPECT_EQ(Downloads(), 0u);
    }
}

TEST_F(HttpRequestFile, UnreachableUnsupportedOrUnwritableFails) {
    const int port = ogctest::ClosedLoopbackPort();
    ASSERT_NE(port, 0);
    for (const std::string& url : {"http://127.0.0.1:" + std::to_string(port) + "/wms",
                                   "file://" + Outside("local.xml", "<WMS_Capabilities version=\"1.3.0\"/>"),
                                   std::string()}) {
        SCOPED_TRACE(url);
        EXPECT_EQ(Fetch(url).str(), "");
        EXPECT_EQ(Downloads(), 0u);
    }
    ScriptedServer server([](const ScriptedRequest&) { return ScriptedResponse::Ok("<ok/>"); });
    VmFile::SetTempDir(PlxMBString(Outside("plain-file", "x") + "/sub"));
    EXPECT_EQ(Fetch(server.Url("/a")).str(), "");
}

// ---------------------------------------------------------------------------
// Redirects

TEST_F(HttpRedirect, FollowsAtMostFiveHopsToTheFinalAnswer) {
    // "/hop/N" redirects to "/hop/N-1" with the query kept; "/hop/0" answers.
    ScriptedServer server([](const ScriptedRequest& request) {
        const int hops = std::atoi(request.path.substr(5).c_str());
        if (hops == 0) return ScriptedResponse::Ok("<arrived/>", "application/vnd.ogc.wms_xml");
        return ScriptedResponse::Redirect("/hop/" + std::to_string(hops - 1) + "?SERVICE=WMS", hops % 2 ? 301 : 307);
    });
    PlxMBString type;
    const PlxMBString five = VmHttpHelper::RequestFile(server.Url("/hop/5").c_str(), "", "", 0, 0, type);
    ASSERT_FALSE(five.IsEmpty());
    EXPECT_EQ(ReadAll(five.str()), "<arrived/>");
    EXPECT_EQ(type.str(), "application/vnd.ogc.wms_xml");
    EXPECT_EQ(server.LastRequest().target, "/hop/0?SERVICE=WMS");
    EXPECT_EQ(Fetch(server.Url("/hop/6")).str(), "");
    EXPECT_EQ(Downloads(), 1u);
}

TEST_F(HttpRedirect, CredentialsStayWithTheirHost) {
    ScriptedServer other([](const ScriptedRequest&) { return ScriptedResponse::Ok("<other/>"); });
    ScriptedServer origin([&other](const ScriptedRequest& request) {
        if (request.path == "/away") return ScriptedResponse::Redirect(other.Url("/landing"));
        if (request.path == "/here") return ScriptedResponse::Redirect("/landing");
        return ScriptedResponse::Ok("<origin/>");
    });
    const std::string alice = "Basic YWxpY2U6czNjcmV0";

    // Same host and port: the credentials follow.
    ASSERT_FALSE(Fetch(origin.Url("/here"), "alice", "s3cret").IsEmpty());
    EXPECT_EQ(origin.LastRequest().path, "/landing");
    EXPECT_EQ(origin.LastRequest().Header("Authorization"), alice);

    // Another port is another server as far as credentials go.
    ASSERT_FALSE(Fetch(origin.Url("/away"), "alice", "s3cret").IsEmpty());
    EXPECT_EQ(origin.LastRequest().Header("Authorization"), alice);
    ASSERT_EQ(other.RequestCount(), 1u);
    EXPECT_FALSE(other.LastRequest().HasHeader("Authorization"));
}

TEST_F(HttpRedirect, NeverLeavesHttp) {
    ScriptedServer target([](const ScriptedRequest&) { return ScriptedResponse::Ok("<probe/>"); });
    ScriptedServer origin;
    origin.Enqueue(ScriptedResponse::Redirect("ftp://127.0.0.1:" + std::to_string(target.Port()) + "/x"));
    origin.Enqueue(ScriptedResponse::Redirect("file://" + Outside("secret.xml", "<secret/>")));
    EXPECT_EQ(Fetch(origin.Url("/to-ftp")).str(), "");
    EXPECT_EQ(Fetch(origin.Url("/to-file")).str(), "");
    EXPECT_EQ(Downloads(), 0u);

    // Connections are accepted in order, so once the probe is answered an
    // earlier FTP attempt would have been counted.
    ASSERT_FALSE(Fetch(target.Url("/probe")).IsEmpty());
    EXPECT_EQ(target.ConnectionCount(), 1);
}

// ---------------------------------------------------------------------------
// Connections

TEST_F(HttpConnections, OneKeptConnectionCarriesNoCredentialsOver) {
    ScriptedServer server([](const ScriptedRequest&) { return ScriptedResponse::Ok("<ok/>"); });
    ASSERT_FALSE(Fetch(server.Url("/a"), "alice", "s3cret").IsEmpty());
    EXPECT_EQ(server.LastRequest().Header("Authorization"), "Basic YWxpY2U6czNjcmV0");
    ASSERT_FALSE(Fetch(server.Url("/b"), "", "ignored").IsEmpty());
    EXPECT_FALSE(server.LastRequest().HasHeader("Authorization"));
    ASSERT_FALSE(Fetch(server.Url("/c"), "bob", "").IsEmpty());
    EXPECT_EQ(server.LastRequest().Header("Authorization"), "Basic Ym9iOg==");
    EXPECT_EQ(server.RequestCount(), 3u);
    EXPECT_EQ(server.ConnectionCount(), 1);
}

TEST_F(HttpConnections, ParallelDownloadsGetTheirOwnBodies) {
    ScriptedServer server([](const ScriptedRequest& r) {
        return ScriptedResponse::Ok(std::string(2000, 'p') + r.target, "text/plain");
    });
    const int threads = 4, perThread = 8;
    std::atomic<int> wrong{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                const std::string target = "/t" + std::to_string(t) + "?i=" + std::to_string(i);
                PlxMBString type;
                const PlxMBString path = VmHttpHelper::RequestFile(server.Url(target).c_str(), "", "", 0, 1, type);
                if (path.IsEmpty() || ReadAll(path.str()) != std::string(2000, 'p') + target || type != "text/plain") ++wrong;
            }
        });
    }
    for (auto& worker : workers) worker.join();
    EXPECT_EQ(wrong, 0) << "downloads that came back empty or with another's body";
    EXPECT_EQ(Downloads(), static_cast<size_t>(threads * perThread));
}

// ---------------------------------------------------------------------------
// Capabilities version probe: the root's version as a number, -1 for anything else

TEST_F(HttpCheckOGCRequest, ReadsOnlyTheRootVersion) {
    struct Case {
        const char* body;
        int version;
    };
    const Case cases[] = {
        {"<wms:WMS_Capabilities xmlns:wms=\"http://www.opengis.net/wms\" wms:version=\"1.3.0\"/>", 130},
        // A plain version wins over a prefixed one.
        {"<wfs:WFS_Capabilities xmlns:wfs=\"x\" xmlns:o=\"y\" o:version=\"9.9.9\" version=\"2.0.0\"/>", 200},
        {"Service temporarily unavailable", -1},
        {"<WMS_Capabilities updateSequence=\"3\"/>", -1},
        {"<WMS_Capabilities version=\"\"/>", -1},
        {"<WMS_Capabilities version=\"1.3.0beta\"/>", -1},
        {"<WMS_Capabilities myversion=\"1.3.0\"/>", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        // The same answer every time, so a retry meets the same document.
        ScriptedServer server([&c](const ScriptedRequest&) { return ScriptedResponse::Ok(c.body); });
        EXPECT_EQ(VmHttpHelper::CheckOGCRequest(server.Url("/ows").c_str(), "", ""), c.version);
    }
    // A failed download is no answer, whatever its body.
    ScriptedServer failing([](const ScriptedRequest&) {
        return ScriptedResponse::Status(500, "<WMS_Capabilities version=\"1.3.0\"/>", "text/xml");
    });
    EXPECT_EQ(VmHttpHelper::CheckOGCRequest(failing.Url("/ows").c_str(), "", ""), -1);
    EXPECT_EQ(Downloads(), 0u);
}

// The probe reads no further than the root's start tag: a large answer is
// cut off there (a stall after it does not matter), and a short one is read
// to its end so that its connection serves the next probe.
TEST_F(HttpCheckOGCRequest, StopsAtTheRootStartTag) {
    Tighten(1, 20);
    const std::string head = "<?xml version=\"1.0\"?><!-- a > in a comment -->\n<WMS_Capabilities version=\"1.1.1\">";
    const std::string large = head + std::string(200000, ' ') + "</WMS_Capabilities>";
    ScriptedServer server([&](const ScriptedRequest& request) {
        if (request.path == "/large") return ScriptedResponse::PauseInBody(large, head.size() + 10, 5000);
        return ScriptedResponse::Ok(head + "<Service/></WMS_Capabilities>");
    });
    EXPECT_EQ(VmHttpHelper::CheckOGCRequest(server.Url("/large").c_str(), "", ""), 111);
    const int before = server.ConnectionCount();
    EXPECT_EQ(VmHttpHelper::CheckOGCRequest(server.Url("/small").c_str(), "", ""), 111);
    EXPECT_EQ(VmHttpHelper::CheckOGCRequest(server.Url("/small").c_str(), "", ""), 111);
    EXPECT_EQ(server.ConnectionCount(), before + 1) << "short answers keep their connection";
    EXPECT_EQ(Downloads(), 0u);
}

// Every capabilities document and exception report of the shared corpus, as
// real servers wrote them, served as the answer to a capabilities request.
TEST_F(HttpCheckOGCRequest, CorpusDocuments) {
    const fs::path corpus = OGCWEB_CORPUS_DIR;
    std::ifstream manifest(corpus / "MANIFEST.tsv");
    if (!manifest) {
        if (std::getenv("CI")) FAIL() << "the corpus is missing at " << corpus;
        GTEST_SKIP() << "no corpus at " << corpus;
    }
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
        const std::string &file = columns[0], &version = columns[2], &kind = columns[3];
        int expected = -1;
        if (kind == "capabilities" && version != "-") {
            std::string digits = version;
            digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
            expected = std::atoi(digits.c_str());
        } else if (kind != "exception") {
            continue;
        }
        // A UTF-16 byte-order mark before 8-bit text: not well-formed, whatever its declared version.
        if (file.find("bogus-bom") != std::string::npos) expected = -1;
        SCOPED_TRACE(file);
        EXPECT_EQ(VmHttpHelper::CheckOGCRequest(server.Url("/caps?file=" + file).c_str(), "", ""), expected);
        ++checked;
    }
    EXPECT_GT(checked, 100);
    EXPECT_EQ(Downloads(), 0u);
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
    EXPECT_EQ(done.wait_for(std::chrono::seconds(30)), std::future_status::ready) << "Cancel did not end the transfer under way";
    EXPECT_FALSE(done.get());
    waiter.join();
    std::string body, type;
    EXPECT_FALSE(Get(transfers, server.Url("/after"), body, type)) << "refused after Cancel";
    EXPECT_EQ(server.RequestCount(), 1u);
}
