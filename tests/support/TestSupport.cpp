#include "TestSupport.h"

#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

namespace VMK {

TempFolder::TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "ogcweb-test-XXXXXX").string();
    char* made = ::mkdtemp(&pattern[0]);
    m_dir = made ? made : "/tmp";
    m_previous = VmFile::GetTempDir();
    VmFile::SetTempDir(PlxMBString(m_dir));
}

TempFolder::~TempFolder() {
    VmFile::SetTempDir(m_previous);
    std::error_code ec;
    fs::remove_all(m_dir, ec);
}

PlxMBString TempFolder::Path(const char* name) const { return PlxMBString(m_dir + "/" + name); }

std::set<std::string> TempFolder::Files() const {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(m_dir, ec)) names.insert(entry.path().filename().string());
    return names;
}

LogCapture::LogCapture() : m_previousPath(VmLogFile::GetInstance(false).GetPath()) {
    VmLogFile::GetInstance(false).ClearEntries();
    VmLogFile::GetInstance(false).SetPath("");
}

LogCapture::~LogCapture() {
    VmLogFile::GetInstance(false).SetPath(m_previousPath);
    VmLogFile::GetInstance(false).ClearEntries();
}

} // namespace VMK
