#include "VmStream.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <fcntl.h>

namespace fs = std::filesystem;

namespace VMK {

namespace {
std::mutex g_tempMutex;
PlxMBString g_tempDir;
} // namespace

unsigned char VmFile::Delete(const PlxMBString& path) {
    if (path.IsEmpty()) return 0;
    std::error_code ec;
    return fs::remove(fs::path(path.str()), ec) ? 1 : 0;
}

unsigned char VmFile::IsExist(const PlxMBString& path) {
    if (path.IsEmpty()) return 0;
    std::error_code ec;
    return fs::exists(fs::path(path.str()), ec) ? 1 : 0;
}

unsigned char VmFile::MkDirEx(const PlxMBString& path) {
    if (path.IsEmpty()) return 0;
    std::error_code ec;
    fs::create_directories(fs::path(path.str()), ec);
    return fs::is_directory(fs::path(path.str()), ec) ? 1 : 0;
}

PlxMBString VmFile::GetDir(const PlxMBString& path) {
    return PlxMBString(fs::path(path.str()).parent_path().string());
}

PlxMBString VmFile::GetAbsolutePath(const PlxMBString& base, const PlxMBString& relative) {
    fs::path rel(relative.str());
    if (rel.is_absolute()) return PlxMBString(rel.lexically_normal().string());
    fs::path dir = fs::path(base.str()).parent_path();
    if (dir.is_relative()) {
        std::error_code ec;
        dir = fs::absolute(dir, ec);
    }
    return PlxMBString((dir / rel).lexically_normal().string());
}

unsigned char VmFile::GetStatus(const PlxMBString& path, VmFileStatus& status) {
    struct stat st {};
    if (path.IsEmpty() || ::stat(path.c_str(), &st) != 0) return 0;
    status.size = static_cast<int64_t>(st.st_size);
    status.modified = static_cast<int64_t>(st.st_mtime);
    status.isDirectory = S_ISDIR(st.st_mode);
    return 1;
}

PlxMBString VmFile::GetTempDir() {
    std::lock_guard<std::mutex> lock(g_tempMutex);
    PlxMBString dir = g_tempDir;
    if (dir.IsEmpty()) {
        const char* env = std::getenv("OGCWEB_TEMP");
        std::error_code ec;
        dir = (env && *env) ? PlxMBString(env) : PlxMBString(fs::temp_directory_path(ec).string());
        if (dir.IsEmpty()) dir = "/tmp";
    }
    std::error_code ec;
    fs::create_directories(fs::path(dir.str()), ec);
    return dir;
}

void VmFile::SetTempDir(const PlxMBString& dir) {
    std::lock_guard<std::mutex> lock(g_tempMutex);
    g_tempDir = dir;
}

PlxMBString VmFile::CreateTempFile(const char* prefix, const char* suffix) {
    std::string pattern = GetTempDir().str() + "/" + (prefix ? prefix : "ogc") + "XXXXXX" + (suffix ? suffix : "");
    std::string buffer = pattern;
    int fd = ::mkstemps(&buffer[0], suffix ? static_cast<int>(std::char_traits<char>::length(suffix)) : 0);
    if (fd < 0) return PlxMBString();
    ::close(fd);
    return PlxMBString(buffer);
}

unsigned char VmFile64::Open(const PlxMBString& path, int direction, int flag) {
    (void)flag;
    Close();
    const char* mode = direction == 1 ? "wb" : direction == 3 ? "r+b" : "rb";
    m_file = std::fopen(path.c_str(), mode);
    return m_file ? 1 : 0;
}

int64_t VmFile64::Read(void* buffer, int64_t count) {
    if (!m_file || count <= 0) return 0;
    return static_cast<int64_t>(std::fread(buffer, 1, static_cast<size_t>(count), m_file));
}

int64_t VmFile64::Write(const void* buffer, int64_t count) {
    if (!m_file || count <= 0) return 0;
    return static_cast<int64_t>(std::fwrite(buffer, 1, static_cast<size_t>(count), m_file));
}

int64_t VmFile64::GetLength() const {
    if (!m_file) return 0;
    struct stat st {};
    if (::fstat(::fileno(m_file), &st) != 0) return 0;
    return static_cast<int64_t>(st.st_size);
}

void VmFile64::Close() {
    if (m_file) std::fclose(m_file);
    m_file = nullptr;
}

} // namespace VMK
