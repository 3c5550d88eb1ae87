// Version negotiation and opening against a scripted server on loopback. How
// each kind of failed probe or download ends is in test_fault_matrix.cpp.
#include "OGCCapabilities.h"
#include "ScriptedServer.h"
#include "TestSupport.h"
#include "VmDataSourceOGC.h"
#include "VmNetwork.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace VMK;
using ogctest::ScriptedRequest;
using ogctest::ScriptedResponse;
using ogctest::ScriptedServer;

namespace {

// A server that answers every capabilities request with one fixed version.
ScriptedServer::Handler AlwaysAnswers(const std::string& root, const std::string& version) {
    std::string body = "<?xml version=\"1.0\"?><" + root + " version=\"" + version + "\"><Service/></" + root + ">";
    return [=](const ScriptedRequest&) { return ScriptedResponse::Ok(body); };
}

struct Fixture : ::testing::Test {
    TempFolder temp;
    LogCapture log;
    VmDataSourceOGC source;

    void Prepare(const ScriptedServer& server, const char* target, const char* path = "/ows") {
        source.GetConnectionInfo().Server = server.Url(path).c_str();
        source.GetConnectionInfo().Target = target;
        source.AutoPatchURL();
    }
};

using NegotiationTest = Fixture;

} // namespace

TEST_F(NegotiationTest, WmsThatOnlySpeaks130IsFoundAfterFiveRequests) {
    ScriptedServer server(AlwaysAnswers("WMS_Capabilities", "1.3.0"));
    Prepare(server, "wms");
    ASSERT_TRUE(source.VersionNegotiate());
    EXPECT_EQ(source.GetVersion(), "1.3.0");
    std::vector<std::string> asked;
    for (const auto& r : server.Requests())
        asked.push_back(r.Param("SERVICE") + " " + r.Param("REQUEST") + " " + r.Param("VERSION"));
    EXPECT_EQ(asked, (std::vector<std::string>{"WMS GetCapabilities 1.0.0", "WMS GetCapabilities 1.0.0",
                                               "WMS GetCapabilities 1.1.0", "WMS GetCapabilities 1.1.1",
                                               "WMS GetCapabilities 1.3.0"}));
    EXPECT_EQ(source.GetURL(), server.Url("/ows?REQUEST=GetCapabilities&SERVICE=WMS&VERSION=1.3.0&").c_str());
    EXPECT_EQ(log.Total(), 0);
}

TEST_F(NegotiationTest, WfsThatAnswers100AgreesAtOnce) {
    ScriptedServer server(AlwaysAnswers("WFS_Capabilities", "1.0.0"));
    Prepare(server, "wfs");
    PlxMBString before = source.GetURL();
    ASSERT_TRUE(source.VersionNegotiate());
    EXPECT_EQ(server.RequestCount(), 1u);
    EXPECT_EQ(source.GetVersion(), "1.0.0");
    EXPECT_EQ(source.GetURL(), before);
}

TEST_F(NegotiationTest, WcsThatAnswers111FailsWithOneLogEntry) {
    ScriptedServer server(AlwaysAnswers("Capabilities", "1.1.1"));
    Prepare(server, "wcs", "/wcs?map=/srv/demo.map");
    PlxMBString before = source.GetURL();
    EXPECT_FALSE(source.VersionNegotiate());
    EXPECT_EQ(server.RequestCount(), 3u);
    EXPECT_EQ(source.GetURL(), before) << "a failed negotiation changes nothing";
    EXPECT_EQ(source.GetVersion(), "1.0.0");
    ASSERT_EQ(log.Total(), 1);
    VmLogEntry entry = VmLogFile::GetInstance(false).Entries()[0];
    EXPECT_EQ(entry.code.str() + "@" + std::to_string(entry.level), "EAe006@400");
    EXPECT_NE(entry.detail.Find("1.1.0"), -1) << "the entry names the last version tried: " << entry.detail.str();
    EXPECT_EQ(server.LastRequest().Param("map"), "/srv/demo.map") << "the server's own parameters travel along";
}

TEST_F(NegotiationTest, ServerThatNeverAnswersFailsWithoutHanging) {
    VmHttpSettings saved = VmHttpSettings::Get();
    VmHttpSettings quick = saved;
    quick.stallTimeoutSec = 1;
    quick.totalTimeoutSec = 1;
    VmHttpSettings::Set(quick);
    ScriptedServer server([](const ScriptedRequest&) { return ScriptedResponse::Stall(5000); });
    Prepare(server, "wms");
    EXPECT_FALSE(source.VersionNegotiate());
    VmHttpSettings::Set(saved);
    EXPECT_EQ(server.RequestCount(), 5u);
    EXPECT_EQ(log.Total(), 0);
    EXPECT_TRUE(temp.Files().empty());
}

TEST_F(NegotiationTest, CredentialsGoWithEveryProbe) {
    ScriptedServer server(AlwaysAnswers("WMS_Capabilities", "1.3.0"));
    Prepare(server, "wms");
    source.GetConnectionInfo().User = "alice";
    source.GetConnectionInfo().Password = "s3cret";
    ASSERT_TRUE(source.VersionNegotiate());
    ASSERT_EQ(server.RequestCount(), 5u);
    for (const auto& r : server.Requests()) EXPECT_EQ(r.Header("Authorization"), "Basic YWxpY2U6czNjcmV0");

    // An unknown target tries only the typed address, and without credentials none are sent.
    ScriptedServer other(AlwaysAnswers("WMS_Capabilities", "1.3.0"));
    source.GetConnectionInfo().User = source.GetConnectionInfo().Password = "";
    Prepare(other, "tiles");
    EXPECT_FALSE(source.VersionNegotiate());
    EXPECT_EQ(other.RequestCount(), 1u);
    EXPECT_FALSE(other.LastRequest().HasHeader("Authorization"));
}

using OpenTest = Fixture;

TEST_F(OpenTest, WmsOpenReadsTheNegotiatedDocument) {
    ScriptedServer server(AlwaysAnswers("WMS_Capabilities", "1.3.0"));
    source.GetConnectionInfo().Server = server.Url("/wms?LAYERS=a&VERSION=1.1.1").c_str();
    source.GetConnectionInfo().ServiceKind = "WMS";
    source.GetConnectionInfo().OptionFlag1 = 1;
    EXPECT_TRUE(source.Open());
    EXPECT_TRUE(source.IsOpen());
    EXPECT_EQ(source.GetConnectionInfo().Target, "WMS") << "the service kind becomes the target";
    EXPECT_EQ(source.GetConnectionInfo().OptionFlag1, 0);
    EXPECT_EQ(server.RequestCount(), 6u) << "five probes, then the document download";
    EXPECT_EQ(server.LastRequest().Param("VERSION"), "1.3.0");
    ASSERT_NE(source.GetCapabilitiesDocument(), nullptr);
    EXPECT_EQ(source.GetCapabilitiesDocument()->Version, "1.3.0");
    EXPECT_TRUE(temp.Files().empty()) << "the downloaded document is deleted";
    source.Close();
    EXPECT_NE(source.GetCapabilitiesDocument(), nullptr) << "the document outlives Close";
}

TEST_F(OpenTest, UnreadableVersionOpensEmpty) {
    // A WFS 1.1.0 is agreed with, but that version's document is not read: the source opens with nothing in it.
    ScriptedServer server(AlwaysAnswers("WFS_Capabilities", "1.1.0"));
    source.GetConnectionInfo().Server = server.Url("/wfs").c_str();
    source.GetConnectionInfo().ServiceKind = "wfs";
    EXPECT_TRUE(source.Open());
    EXPECT_EQ(source.GetDatasetCount(), 0);
    EXPECT_TRUE(temp.Files().empty());
}

TEST_F(OpenTest, ServiceKindSelectsThePath) {
    ScriptedServer server(AlwaysAnswers("WFS_Capabilities", "1.0.0"));
    source.GetConnectionInfo().Server = server.Url("/ows").c_str();
    source.GetConnectionInfo().ServiceKind = "WMTS";
    source.GetConnectionInfo().Target = temp.Path("cache");
    EXPECT_FALSE(source.Open()) << "a WFS document is no tile service";
    ASSERT_EQ(server.RequestCount(), 1u) << "tiled services do not negotiate";
    EXPECT_EQ(server.LastRequest().Param("SERVICE"), "WMTS");
    EXPECT_EQ(source.GetConnectionInfo().Target, temp.Path("cache"));

    // An unknown kind leaves the target the host set, which then names the service.
    source.GetConnectionInfo().ServiceKind = "ogc";
    source.GetConnectionInfo().Target = "wfs";
    EXPECT_TRUE(source.Open());
    EXPECT_EQ(source.GetConnectionInfo().Target, "wfs");
    ASSERT_EQ(server.RequestCount(), 3u);
    EXPECT_EQ(server.Requests()[1].Param("SERVICE"), "WFS");
}
