// The log, message texts, hash table, configuration and files.
#include "TestSupport.h"
#include "VmStream.h"
#include "VmToolkit.h"

#include <gtest/gtest.h>

#include <thread>

#include <csignal>
#include <fstream>
#include <sstream>

using namespace VMK;

namespace {

std::string ReadAll(const PlxMBString& path) {
    std::ifstream in(path.c_str());
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

PlxMBString Key(int i) {
    PlxMBString key;
    key.Format("key%d", i);
    return key;
}

} // namespace

TEST(VmLogFileTest, EntriesGoToFileAndMemory) {
    TempFolder folder;
    LogCapture capture;
    PlxMBString path = folder.Path("engine.log");
    VmLogFile::GetInstance(false).SetPath(path);

    VmLogFile::GetInstance(false).RecordLog(300, "ELg041", "Src/EngineOGC/VmDataSourceOGC", 12);
    VmLogFile::GetInstance(false).RecordLog(400, "EAe006", "no version agreed (1.1.0)", "Src/EngineOGC/VmDataSourceOGC", 34);

    auto entries = VmLogFile::GetInstance(false).Entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].level, 300);
    EXPECT_EQ(entries[1].detail, "no version agreed (1.1.0)");
    EXPECT_EQ(VmLogFile::GetInstance(false).CountEntries("ELg041"), 1);

    // One line per entry; the file explains the code.
    std::istringstream lines(ReadAll(path));
    std::string first, second, extra;
    ASSERT_TRUE(std::getline(lines, first));
    ASSERT_TRUE(std::getline(lines, second));
    EXPECT_FALSE(std::getline(lines, extra));
    const std::string explained = "\t300\tELg041\t" + VmStringEx::ResText("ELg041").str();
    EXPECT_NE(first.find(explained), std::string::npos) << first;
    EXPECT_NE(first.find("Src/EngineOGC/VmDataSourceOGC:12"), std::string::npos);
    EXPECT_NE(second.find("no version agreed (1.1.0)"), std::string::npos);

    // A log that cannot be written still keeps its entries in memory.
    VmLogFile::GetInstance(false).SetPath("/nonexistent-folder/x/engine.log");
    VmLogFile::GetInstance(false).RecordLog(400, "EIb003", "f", 1);
    EXPECT_EQ(VmLogFile::GetInstance(false).CountEntries("EIb003"), 1);
}

TEST(VmLogFileDeathTest, DumpLogsThenEndsTheProcessWithTheSignal) {
    TempFolder folder;
    PlxMBString path = folder.Path("crash.log");
    EXPECT_EXIT(
        {
            VmLogFile::GetInstance(false).SetPath(path);
            VmLogFile::InstallCrashDump();
            std::raise(SIGTERM);
        },
        ::testing::KilledBySignal(SIGTERM), "");
    EXPECT_NE(ReadAll(path).find("signal 15"), std::string::npos);
}

TEST(VmStringExTest, MessageTextsAndHash) {
    VmStringEx text("unchanged");
    EXPECT_FALSE(text.LoadResString("EXx999"));
    EXPECT_EQ(text, "unchanged");
    ASSERT_TRUE(text.LoadResString("EAe006"));
    EXPECT_NE(text.Find("%s"), -1) << "EAe006 is used as a format with the version";
    EXPECT_EQ(VmStringEx::ResText("EXx999"), "EXx999");

    // Every code the engine logs has a text of its own.
    const char* codes[] = {"EAc006", "EAe006", "EAf013", "EAf020", "EAg002", "EAg020", "EAg046", "EEb001",
                           "EEg001", "EEh007", "EGg020", "EHa003", "EIb003", "EIe010", "EKa002", "ELb005",
                           "ELc008", "ELc023", "ELg035", "ELg036", "ELg037", "ELg038", "ELg039", "ELg040",
                           "ELg041", "ELg042", "ELg043", "ELg044", "ELg045", "ELg046", "ELg047", "ELg048",
                           "ELg049", "ELg050", "ELj010"};
    for (const char* code : codes) EXPECT_NE(VmStringEx::ResText(code), code) << code;

    EXPECT_NE(VmStringEx("a").HashVal(), VmStringEx("b").HashVal());
}

TEST(VmHashTest, LookupInsertAndGrow) {
    VmHash<PlxMBString> hash(8);
    PlxMBString value("untouched");
    EXPECT_FALSE(hash.Insert("", "x"));
    EXPECT_FALSE(hash.Lookup("missing", value));
    EXPECT_EQ(value, "untouched");

    for (int i = 0; i < 100; ++i) ASSERT_TRUE(hash.Insert(Key(i), Key(i) + "=v"));
    EXPECT_GE(hash.GetSlotCount(), 200) << "kept at most half full";
    for (int i = 0; i < 100; ++i) EXPECT_EQ(hash[Key(i)], Key(i) + "=v");
    hash.Insert("key7", "replaced");
    EXPECT_EQ(hash["key7"], "replaced");
    EXPECT_EQ(hash.GetCount(), 100);
    EXPECT_EQ(hash["KEY7"], "") << "keys are case-sensitive; operator[] never inserts";
    EXPECT_EQ(hash.GetCount(), 100);
}

TEST(VmRegistryTest, ReadsKeysUnderTheRoot) {
    TempFolder folder;
    PlxMBString path = folder.Path("ogcweb.xml");
    std::ofstream(path.c_str()) << "<Configuration><WebCacheFilePath>./cache</WebCacheFilePath>"
                                   "<Other>x</Other></Configuration>";
    ASSERT_TRUE(VmRegistry::Reload(path));
    EXPECT_EQ(VmRegistry::XmlPath(), path);
    EXPECT_EQ(VmRegistry::Root()["WebCacheFilePath"], "./cache");
    EXPECT_EQ(VmRegistry::Root()["Missing"], "");

    EXPECT_FALSE(VmRegistry::Reload(folder.Path("absent.xml")));
    EXPECT_EQ(VmRegistry::Root()["WebCacheFilePath"], "") << "a missing file is an empty configuration";
}

TEST(VmFileTest, PathsAndTemporaryFiles) {
    TempFolder folder;
    EXPECT_EQ(VmFile::GetDir("/etc/ogcweb/config.xml"), "/etc/ogcweb");
    EXPECT_EQ(VmFile::GetAbsolutePath("/etc/ogcweb/config.xml", "../cache/x"), "/etc/cache/x");
    EXPECT_EQ(VmFile::GetAbsolutePath("/etc/ogcweb/config.xml", "/var/cache"), "/var/cache");
    EXPECT_TRUE(VmFile::MkDirEx(folder.Path("a/b/c")));
    EXPECT_TRUE(VmFile::IsExist(folder.Path("a/b/c")));

    PlxMBString a = VmFile::CreateTempFile("t", ".xml");
    PlxMBString b = VmFile::CreateTempFile("t", ".xml");
    ASSERT_FALSE(a.IsEmpty());
    EXPECT_NE(a, b);
    EXPECT_EQ(a.Find(folder.Path("").c_str()), 0) << "temporary files go to the configured folder";

    VmFile64 out;
    ASSERT_TRUE(out.Open(a, 1, 0));
    EXPECT_EQ(out.Write("hello", 5), 5);
    out.Close();
    VmFile64 in;
    ASSERT_TRUE(in.Open(a, 2, 0));
    char buffer[16] = {};
    EXPECT_EQ(in.Read(buffer, sizeof buffer), 5);
    EXPECT_EQ(std::string(buffer), "hello");
    in.Close();

    EXPECT_TRUE(VmFile::Delete(a));
    EXPECT_FALSE(VmFile::Delete(a));
    EXPECT_FALSE(VmFile64().Open(folder.Path("absent"), 2, 0));
}

// Each thread's capture gets the entries logged on that thread only; an
// inner capture's entries reach the outer one, and the log keeps them all.
TEST(LogCapture, KeepsEachThreadsEntries) {
    VmLogFile& log = VmLogFile::GetInstance(false);
    log.ClearEntries();
    std::vector<std::string> first, second;
    auto codes = [](const VmLogCapture& capture) {
        std::vector<std::string> out;
        for (const VmLogEntry& e : capture.Entries()) out.push_back(e.code.str());
        return out;
    };
    std::thread a([&] {
        VmLogCapture capture;
        for (int i = 0; i < 50; ++i) log.RecordLog(300, "TTa001", __FILE__, __LINE__);
        first = codes(capture);
    });
    std::thread b([&] {
        VmLogCapture capture;
        for (int i = 0; i < 50; ++i) log.RecordLog(300, "TTb001", __FILE__, __LINE__);
        second = codes(capture);
    });
    a.join();
    b.join();
    EXPECT_EQ(first, std::vector<std::string>(50, "TTa001"));
    EXPECT_EQ(second, std::vector<std::string>(50, "TTb001"));
    EXPECT_EQ(log.CountEntries("TTa001") + log.CountEntries("TTb001"), 100);

    VmLogCapture outer;
    {
        VmLogCapture inner;
        log.RecordLog(300, "TTc001", __FILE__, __LINE__);
        EXPECT_EQ(codes(inner), std::vector<std::string>{"TTc001"});
    }
    log.RecordLog(300, "TTc002", __FILE__, __LINE__);
    EXPECT_EQ(codes(outer), (std::vector<std::string>{"TTc001", "TTc002"}));
    log.ClearEntries();
}
