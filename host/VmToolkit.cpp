// The log, the message texts, the lock and the host configuration. The XML
// navigator lives in VmMarkup.cpp.
#include "VmToolkit.h"
#include "VmStream.h"

#include <pugixml.hpp>

#include <csignal>
#include <set>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace VMK {

// ---------------------------------------------------------------------------
// Message texts. Users read these in the log next to the code; a text with a
// "%s" is used as a format by the entries that take an argument.
namespace {

struct MessageText {
    const char* code;
    const char* text;
};

const MessageText kMessages[] = {
    {"EAc006", "The feature type schema lacks an element the reader needs"},
    {"EAe006", "The coverage service did not answer a capabilities request of any supported version (last tried %s)"},
    {"EAf013", "The download of a feature type schema or feature collection gave no file"},
    {"EAf020", "The map service offers no image format the engine can read"},
    {"EAg002", "A downloaded XML document is not well-formed"},
    {"EAg020", "The tile cache file %s exists but cannot be opened"},
    {"EAg046", "The tile cache folder does not exist and cannot be created"},
    {"EEb001", "No visible layer has a name; the map is requested for the first layer only"},
    {"EEg001", "The in-memory data source for a download cannot be created"},
    {"EEh007", "The downloaded feature type schema is empty"},
    {"EGg020", "The map service dataset has no layers"},
    {"EHa003", "An empty coordinate reference system name cannot be turned into a projection"},
    {"EIb003", "The downloaded map image is empty or missing"},
    {"EIe010", "The downloaded coverage cannot be imported"},
    {"EKa002", "The query type is not supported by the feature service dataset"},
    {"ELb005", "The feature type has no geometry type the engine can store"},
    {"ELc008", "The map service dataset cannot be opened"},
    {"ELc023", "The dataset cannot be opened"},
    {"ELg035", "The web service engine cannot create a data source"},
    {"ELg036", "The web service engine cannot create a raster dataset"},
    {"ELg037", "The web service engine cannot create a topology dataset"},
    {"ELg038", "The web service engine cannot create a vector dataset"},
    {"ELg039", "The web service engine has no transactions to roll back"},
    {"ELg040", "The web service engine has no transactions to commit"},
    {"ELg041", "The web service engine does not support this operation"},
    {"ELg042", "A coverage dataset has no layers to make visible"},
    {"ELg043", "A coverage dataset has no visible layer indexes"},
    {"ELg044", "A coverage dataset has no visible layer titles"},
    {"ELg045", "A coverage dataset has no visible layer names"},
    {"ELg046", "A coverage dataset has no layer indexes"},
    {"ELg047", "A coverage dataset has no layer titles"},
    {"ELg048", "A coverage dataset has no layer names"},
    {"ELg049", "The feature type schema cannot be read"},
    {"ELg050", "The downloaded map image cannot be imported"},
    {"ELj010", "The service answered with an exception report"},
};

const char* FindText(const char* code) {
    if (!code) return nullptr;
    for (const MessageText& m : kMessages)
        if (std::strcmp(m.code, code) == 0) return m.text;
    return nullptr;
}

PlxMBString DefaultLogPath() {
    const char* env = std::getenv("OGCWEB_LOG");
    if (env) return PlxMBString(env);
    return VmFile::GetTempDir() + "/ogcweb.log";
}

PlxMBString Timestamp() {
    std::time_t now = std::time(nullptr);
    std::tm tm {};
    localtime_r(&now, &tm);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &tm);
    return PlxMBString(buffer);
}

const size_t kKeptEntries = 4096;

} // namespace

bool VmStringEx::LoadResString(const char* code) {
    const char* text = FindText(code);
    if (!text) return false;
    PlxMBString::operator=(PlxMBString(text));
    return true;
}

PlxMBString VmStringEx::ResText(const char* code) {
    const char* text = FindText(code);
    return PlxMBString(text ? text : (code ? code : ""));
}

unsigned int VmStringEx::HashVal() const {
    unsigned int h = 2166136261u;
    for (int i = 0; i < GetLength(); ++i) {
        h ^= static_cast<unsigned char>(GetAt(i));
        h *= 16777619u;
    }
    return h;
}

// ---------------------------------------------------------------------------
VmLogFile::VmLogFile() : m_path(DefaultLogPath()) {}

VmLogFile& VmLogFile::GetInstance(bool) {
    // Never destroyed: the crash dump and static destructors of other
    // libraries may still log while the process ends.
    static VmLogFile* instance = new VmLogFile();
    return *instance;
}

void VmLogFile::RecordLog(int level, const char* message, const char* file, int line) {
    VmLogEntry entry;
    entry.level = level;
    entry.code = message;
    entry.file = file;
    entry.line = line;
    Append(entry);
}

void VmLogFile::RecordLog(int level, const char* message, const char* detail, const char* file, int line) {
    VmLogEntry entry;
    entry.level = level;
    entry.code = message;
    entry.detail = detail;
    entry.file = file;
    entry.line = line;
    Append(entry);
}

namespace {
thread_local VmLogCapture* t_capture = nullptr;
} // namespace

std::vector<std::string> DistinctCodes(const std::vector<VmLogEntry>& entries) {
    std::vector<std::string> codes;
    std::set<std::string> seen;
    for (const VmLogEntry& entry : entries)
        if (seen.insert(entry.code.str()).second) codes.push_back(entry.code.str());
    return codes;
}

VmLogCapture::VmLogCapture() : m_outer(t_capture) { t_capture = this; }

VmLogCapture::~VmLogCapture() { t_capture = m_outer; }

void VmLogFile::Append(const VmLogEntry& entry) {
    for (VmLogCapture* capture = t_capture; capture; capture = capture->m_outer) capture->m_entries.push_back(entry);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_entries.size() >= kKeptEntries) m_entries.erase(m_entries.begin());
    m_entries.push_back(entry);
    if (m_path.IsEmpty()) return;
    FILE* file = std::fopen(m_path.c_str(), "a");
    if (!file) return;
    std::fprintf(file, "%s\t%d\t%s\t%s\t%s:%d\n", Timestamp().c_str(), entry.level, entry.code.c_str(),
                 entry.detail.IsEmpty() ? VmStringEx::ResText(entry.code.c_str()).c_str() : entry.detail.c_str(),
                 entry.file.c_str(), entry.line);
    std::fclose(file);
}

void VmLogFile::SetPath(const PlxMBString& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_path = path;
}

PlxMBString VmLogFile::GetPath() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_path;
}

std::vector<VmLogEntry> VmLogFile::Entries() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries;
}

void VmLogFile::ClearEntries() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.clear();
}

int VmLogFile::CountEntries(const char* code) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    int count = 0;
    for (const VmLogEntry& e : m_entries)
        if (e.code == code) ++count;
    return count;
}

void VmLogFile::Dump(int signal) {
    // Best effort: the process is going down, and the entry is what a user
    // sends us. The lock may be held by the crashing thread, so write directly.
    PlxMBString path = GetInstance(false).m_path;
    if (!path.IsEmpty()) {
        FILE* file = std::fopen(path.c_str(), "a");
        if (file) {
            std::fprintf(file, "%s\t0\tsignal %d\tthe process received a fatal signal\t-:0\n", Timestamp().c_str(), signal);
            std::fclose(file);
        }
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

int VmLogFile::InstallCrashDump() {
    static const int installed = [] {
        const int signals[] = {SIGINT, SIGILL, SIGFPE, SIGSEGV, SIGTERM, SIGABRT};
        for (int s : signals) std::signal(s, &VmLogFile::Dump);
        return 1;
    }();
    return installed;
}

// ---------------------------------------------------------------------------
VmMutex::VmMutex(unsigned char initiallyOwned) : m_ownedAtStart(initiallyOwned != 0) {
    if (m_ownedAtStart) m_mutex.lock();
}

VmMutex::~VmMutex() = default;

void VmMutex::lock() { m_mutex.lock(); }
void VmMutex::unlock() { m_mutex.unlock(); }

// ---------------------------------------------------------------------------
namespace {

struct RegistryState {
    std::mutex mutex;
    PlxMBString path;
    std::unique_ptr<VmHash<PlxMBString>> values;
};

RegistryState& Registry() {
    static RegistryState* state = new RegistryState();
    return *state;
}

PlxMBString DefaultConfigPath() {
    const char* env = std::getenv("OGCWEB_CONFIG");
    if (env && *env) return PlxMBString(env);
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) return PlxMBString("ogcweb.xml");
    return PlxMBString(cwd) + "/ogcweb.xml";
}

std::unique_ptr<VmHash<PlxMBString>> ReadConfig(const PlxMBString& path) {
    auto values = std::make_unique<VmHash<PlxMBString>>(32);
    pugi::xml_document doc;
    if (!doc.load_file(path.c_str())) return values;
    pugi::xml_node root = doc.document_element();
    for (pugi::xml_node node = root.first_child(); node; node = node.next_sibling())
        if (node.type() == pugi::node_element) values->Insert(PlxMBString(node.name()), PlxMBString(node.child_value()));
    return values;
}

} // namespace

const VmHash<PlxMBString>& VmRegistry::Root() {
    RegistryState& state = Registry();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.values) {
        if (state.path.IsEmpty()) state.path = DefaultConfigPath();
        state.values = ReadConfig(state.path);
    }
    return *state.values;
}

PlxMBString VmRegistry::XmlPath() {
    RegistryState& state = Registry();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.path.IsEmpty()) state.path = DefaultConfigPath();
    return state.path;
}

bool VmRegistry::Reload(const PlxMBString& path) {
    RegistryState& state = Registry();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.path = path;
    // The old table stays alive for readers that still hold a reference; the
    // configuration is reloaded rarely (tests, the host program's start).
    static std::vector<std::unique_ptr<VmHash<PlxMBString>>> retired;
    if (state.values) retired.push_back(std::move(state.values));
    state.values = ReadConfig(path);
    return VmFile::IsExist(path) != 0;
}

} // namespace VMK
