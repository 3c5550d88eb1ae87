#include "FuzzSupport.h"

#include "OGCCapabilities.h"

#include "VmStream.h"
#include "VmToolkit.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace ogcfuzz {

namespace {

std::string& Folder() {
    static std::string folder;
    return folder;
}

void RemoveFolder() {
    if (Folder().empty()) return;
    std::error_code ec;
    fs::remove_all(Folder(), ec);
}

} // namespace

void Init() {
    if (!Folder().empty()) return;
    std::error_code ec;
    std::string pattern = (fs::temp_directory_path(ec) / "ogcweb-fuzz-XXXXXX").string();
    if (!::mkdtemp(&pattern[0])) {
        std::perror("mkdtemp");
        std::abort();
    }
    Folder() = pattern;
    std::atexit(RemoveFolder);
    VMK::VmFile::SetTempDir(PLX::PlxMBString(pattern));
    // Inputs are at most a megabyte: a document whose layers would hold more
    // CRS names than this is already past any real service, and reaching the
    // engine's own limit would only measure the fuzzer's memory.
    VMK::WMSCapabilities::SetMaxCRSNames(200 * 1000);
    // The log would otherwise write one line per refused input to a file.
    VMK::VmLogFile::GetInstance(false).SetPath("");
    VMK::VmLogFile::GetInstance(false).ClearEntries();
}

InputFile::InputFile(const uint8_t* data, size_t size, const char* name) {
    Init();
    std::string path = Folder() + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::abort();
    }
    m_path = PLX::PlxMBString(path);
}

InputFile::~InputFile() {
    std::error_code ec;
    fs::remove(m_path.str(), ec);
}

PLX::PlxMBString WriteCompanion(const char* name, const std::string& text) {
    Init();
    std::string path = Folder() + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return PLX::PlxMBString(path);
}

PLX::PlxMBString AsText(const uint8_t* data, size_t size) {
    const void* nul = std::memchr(data, 0, size);
    size_t length = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - data) : size;
    return PLX::PlxMBString(std::string(reinterpret_cast<const char*>(data), length));
}

void EndInput() {
    VMK::VmLogFile::GetInstance(false).ClearEntries();
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(Folder(), ec)) fs::remove_all(entry.path(), ec);
}

} // namespace ogcfuzz
