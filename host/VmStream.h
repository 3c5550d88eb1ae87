// The host stream library: file operations on path strings (VmFile) and an open
// file handle (VmFile64). Downloads, the log and the tile cache use these for
// every file they touch.
#pragma once

#include "PlxTypes.h"

#include <cstdint>
#include <cstdio>

namespace VMK {

using PLX::PlxMBString;

struct VmFileStatus {
    int64_t size = 0;       // bytes
    int64_t modified = 0;   // seconds since 1970
    bool isDirectory = false;
};

class VmFile {
public:
    static unsigned char Delete(const PlxMBString& path);
    static unsigned char IsExist(const PlxMBString& path);
    // Creates the directory and its missing parents; true when it exists after.
    static unsigned char MkDirEx(const PlxMBString& path);
    // The directory part of `path`, without the trailing separator ("" for a bare name).
    static PlxMBString GetDir(const PlxMBString& path);
    // `relative` resolved against the directory of `base` (a file path);
    // an absolute `relative` is returned as it is. The result is normalised
    // ("./" and "../" removed) but not required to exist.
    static PlxMBString GetAbsolutePath(const PlxMBString& base, const PlxMBString& relative);
    static unsigned char GetStatus(const PlxMBString& path, VmFileStatus& status);

    // The folder for temporary files: "$OGCWEB_TEMP" when set, otherwise the
    // system's temporary folder; SetTempDir overrides both (tests, the host
    // program). Created when missing.
    static PlxMBString GetTempDir();
    static void SetTempDir(const PlxMBString& dir);
    // Creates a new, uniquely named empty file in the temporary folder and
    // returns its path ("" on failure). The caller owns and deletes it.
    static PlxMBString CreateTempFile(const char* prefix, const char* suffix);
};

// An open file. Direction 1 writes (creating or truncating), 2 reads, 3 reads
// and writes an existing file; the flag is the platform's share mode and is
// accepted as it is.
class VmFile64 {
public:
    VmFile64() = default;
    ~VmFile64() { Close(); }
    VmFile64(const VmFile64&) = delete;
    VmFile64& operator=(const VmFile64&) = delete;

    unsigned char Open(const PlxMBString& path, int direction, int flag = 0);
    // Bytes read, 0 at the end or on error.
    int64_t Read(void* buffer, int64_t count);
    int64_t Write(const void* buffer, int64_t count);
    int64_t GetLength() const;
    unsigned char IsOpen() const { return m_file != nullptr; }
    void Close();

    // The whole file into `bytes` (a std::string or a byte vector); false
    // when it cannot be opened or read to its end.
    template <class Bytes>
    static bool ReadAll(const PlxMBString& path, Bytes& bytes) {
        bytes.clear();
        VmFile64 file;
        if (!file.Open(path, 2)) return false;
        const int64_t length = file.GetLength();
        if (length < 0) return false;
        bytes.resize(static_cast<size_t>(length));
        return length == 0 || file.Read(&bytes[0], length) == length;
    }

private:
    FILE* m_file = nullptr;
};

} // namespace VMK
