// The host toolkit: the forward-only XML navigator, the process-wide log, the
// message texts behind log codes, the lock, the host configuration and the
// string hash table. The plug-in reaches XML, logging and configuration only
// through these classes.
#pragma once

#include "PlxTypes.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace VMK {

using PLX::PlxArray;
using PLX::PlxDict;
using PLX::PlxMBString;
using PLX::PlxRect2D;

// ---------------------------------------------------------------------------
// VmMarkup: an XML document in memory with a current position, navigated
// forward only. The position is a current element at the current level and,
// below it, a current child. Every navigation call returns non-zero on success
// and leaves the position unchanged on failure, so a parser can ask for
// elements in schema order and simply skip what is absent.
// Parsing never expands a DTD or an external entity; a malformed document
// fails to load.
class VmMarkup {
public:
    VmMarkup();
    ~VmMarkup();
    VmMarkup(const VmMarkup&) = delete;
    VmMarkup& operator=(const VmMarkup&) = delete;

    // Parse a file / text. On success the position is before the root element.
    unsigned char Load(const PlxMBString& path);
    unsigned char SetDoc(const PlxMBString& text);
    // Where and why the last Load/SetDoc failed ("" after a success).
    PlxMBString GetError() const;

    // Documents (UTF-8 ones) of at least this many bytes are kept as their
    // text and an outline of the root's children; a child is parsed when a
    // reader looks into it, so a collection of a hundred thousand members
    // costs little more than its text. Navigation is the same either way.
    // Returns the previous value (4 MiB by default).
    static size_t SetOutlineThreshold(size_t bytes);

    // Next element at the current level after the current one whose tag equals
    // `name` exactly (with its prefix); null or empty name: the next element.
    unsigned char FindElem(const char* name = nullptr);
    // The same one level below the current element, moving the current child.
    // With no current child the search starts at the first child.
    unsigned char FindChildElem(const char* name = nullptr);
    // The current element becomes the parent; its children become the level.
    // When a child is current it becomes the current element of the new level
    // (so FindElem goes on after it); otherwise the position is before the
    // first child. Fails when no element is current.
    unsigned char IntoElem();
    // Back to the parent's level: the parent is current again and the element
    // that was current inside becomes its current child.
    unsigned char OutOfElem();
    // Back to before the root.
    void ResetPos();
    // No current child: the next FindChildElem starts at the first child.
    void ResetChildPos();
    // Makes the current child the current element, as if FindChildElem had been
    // followed by IntoElem on its parent.
    unsigned char IntoChildElem();

    PlxMBString GetTagName() const;
    PlxMBString GetChildTagName() const;
    // Text content of the element: its character data and CDATA, concatenated.
    PlxMBString GetData() const;
    PlxMBString GetChildData() const;
    PlxMBString GetAttrib(const char* name) const;
    PlxMBString GetChildAttrib(const char* name) const;
    PlxMBString GetSubDoc() const;
    PlxMBString GetChildSubDoc() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// ---------------------------------------------------------------------------
// VmLogFile: the process-wide log. Each entry is one line appended to the log
// file: time, level, message, detail (if any), source file and line.
//
// The file is "$OGCWEB_LOG" when that variable is set when the log is first
// used, otherwise "ogcweb.log" in the temporary folder; SetPath changes it
// (an empty path writes no file). The latest entries are also kept in memory
// (at most 4096) so that tests and the host program can see what was logged.
struct VmLogEntry {
    int level = 0;
    PlxMBString code;    // the message code ("ELg041") or the message text
    PlxMBString detail;  // resource text of a five-argument entry, else empty
    PlxMBString file;
    int line = 0;
};

class VmLogFile {
public:
    static VmLogFile& GetInstance(bool flag = false);

    void RecordLog(int level, const char* message, const char* file, int line);
    void RecordLog(int level, const char* message, const char* detail, const char* file, int line);

    void SetPath(const PlxMBString& path);
    PlxMBString GetPath() const;

    // The entries kept in memory, oldest first; ClearEntries forgets them.
    std::vector<VmLogEntry> Entries() const;
    void ClearEntries();
    // Number of kept entries whose code equals `code`.
    int CountEntries(const char* code) const;

    // Signal handler: writes one entry naming the signal, restores the
    // default action and raises the signal again, so the process ends as it
    // would have without the handler.
    static void Dump(int signal);
    // Installs Dump for interrupt, illegal instruction, floating-point error,
    // segmentation violation, termination and abort. Returns 1 so that it can
    // initialise a static.
    static int InstallCrashDump();

private:
    VmLogFile();
    void Append(const VmLogEntry& entry);

    mutable std::mutex m_mutex;
    PlxMBString m_path;
    std::vector<VmLogEntry> m_entries;
};

// The distinct codes of `entries`, in the order first logged: what a host
// names when it reports a failure.
std::vector<std::string> DistinctCodes(const std::vector<VmLogEntry>& entries);

// Collects the entries recorded on the constructing thread while it lives,
// so that a host serving several callers at once (the Python module) tells
// each call the codes it caused; an inner capture's entries reach the outer
// ones too. Entries still go to the log as always.
class VmLogCapture {
public:
    VmLogCapture();
    ~VmLogCapture();
    VmLogCapture(const VmLogCapture&) = delete;
    VmLogCapture& operator=(const VmLogCapture&) = delete;
    const std::vector<VmLogEntry>& Entries() const { return m_entries; }

private:
    friend class VmLogFile;
    std::vector<VmLogEntry> m_entries;
    VmLogCapture* m_outer;
};

// Every source file of the plug-in installs the crash dump when the library is
// loaded.
#define VM_INSTALL_CRASH_DUMP() \
    static const int s_vmCrashDumpInstalled __attribute__((unused)) = ::VMK::VmLogFile::InstallCrashDump()

// ---------------------------------------------------------------------------
// VmStringEx: a string that can load the text behind a message code.
class VmStringEx : public PlxMBString {
public:
    VmStringEx() = default;
    VmStringEx(const PlxMBString& text) : PlxMBString(text) {}
    VmStringEx(const char* text) : PlxMBString(text) {}

    // Replaces the content by the text of `code`; false (content untouched)
    // when the code is unknown.
    bool LoadResString(const char* code);
    // The text of `code`, or the code itself when it is unknown.
    static PlxMBString ResText(const char* code);
    // FNV-1a over the bytes: stable across runs and machines.
    unsigned int HashVal() const;
};

// ---------------------------------------------------------------------------
// VmMutex: a recursive lock. The flag is the platform's "initially owned";
// true locks it at construction.
class VmMutex {
public:
    explicit VmMutex(unsigned char initiallyOwned = 0);
    ~VmMutex();
    VmMutex(const VmMutex&) = delete;
    VmMutex& operator=(const VmMutex&) = delete;
    void lock();
    void unlock();

private:
    std::recursive_mutex m_mutex;
    bool m_ownedAtStart = false;
};

// ---------------------------------------------------------------------------
// VmHash<T>: a string-keyed hash table with open addressing, double hashing and
// a power-of-two slot count. A slot whose key is empty is free, so the empty
// key cannot be stored.
template <class T>
class VmHash {
public:
    struct Slot {
        PlxMBString key;
        T value{};
    };

    // `capacity` is rounded up to a power of two (at least 8).
    explicit VmHash(int capacity = 64) {
        int slots = 8;
        while (slots < capacity) slots <<= 1;
        m_pSlots = new Slot[static_cast<size_t>(slots)];
        m_nMask = slots - 1;
    }
    virtual ~VmHash() {
        delete[] m_pSlots;
        m_pSlots = nullptr;
    }
    VmHash(const VmHash&) = delete;
    VmHash& operator=(const VmHash&) = delete;

    bool Lookup(const PlxMBString& key, T& value) const {
        int index = 0;
        if (!Probe(key, index)) return false;
        value = m_pSlots[index].value;
        return true;
    }

    // A copy of the value stored under `key`, or T() when absent. Never inserts.
    T operator[](const PlxMBString& key) const {
        T value{};
        Lookup(key, value);
        return value;
    }

    // Stores `value` under `key` (replacing an earlier value), growing the
    // table when it is more than half full. False for the empty key.
    bool Insert(const PlxMBString& key, const T& value) {
        if (key.IsEmpty()) return false;
        int index = 0;
        if (Probe(key, index)) {
            m_pSlots[index].value = value;
            return true;
        }
        if ((m_nCount + 1) * 2 > m_nMask + 1) Grow();
        PlaceNew(key, value);
        return true;
    }

    int GetCount() const { return m_nCount; }
    int GetSlotCount() const { return m_nMask + 1; }

protected:
    static unsigned int Hash(const PlxMBString& key) { return VmStringEx(key).HashVal(); }
    int StartIndex(unsigned int h) const { return static_cast<int>((h ^ (h >> 13)) & static_cast<unsigned int>(m_nMask)); }
    int Step(unsigned int h) const { return static_cast<int>(((h ^ (h >> 17)) | 1u) & static_cast<unsigned int>(m_nMask)); }

    // Walks the probe sequence of `key`; true with `index` at its slot when
    // found. Stops at a free slot or after one full cycle.
    bool Probe(const PlxMBString& key, int& index) const {
        if (key.IsEmpty()) return false;
        unsigned int h = Hash(key);
        int start = StartIndex(h);
        int step = Step(h);
        int i = start;
        while (m_pSlots[i].key != key) {
            if (m_pSlots[i].key.IsEmpty()) return false;
            i = (i + step) & m_nMask;
            if (i == start) return false;
        }
        index = i;
        return true;
    }

    void PlaceNew(const PlxMBString& key, const T& value) {
        unsigned int h = Hash(key);
        int i = StartIndex(h);
        int step = Step(h);
        while (!m_pSlots[i].key.IsEmpty()) i = (i + step) & m_nMask;
        m_pSlots[i].key = key;
        m_pSlots[i].value = value;
        ++m_nCount;
    }

    void Grow() {
        Slot* old = m_pSlots;
        int oldSlots = m_nMask + 1;
        m_pSlots = new Slot[static_cast<size_t>(oldSlots) * 2];
        m_nMask = oldSlots * 2 - 1;
        m_nCount = 0;
        for (int i = 0; i < oldSlots; ++i)
            if (!old[i].key.IsEmpty()) PlaceNew(old[i].key, old[i].value);
        delete[] old;
    }

    Slot* m_pSlots = nullptr;
    int m_nCount = 0;     // stored keys
    int m_nReserved = 0;  // kept for the platform's layout
    int m_nMask = 0;      // slot count - 1
    int m_nFlags = 0;     // kept for the platform's layout
};

// ---------------------------------------------------------------------------
// VmRegistry: the host configuration. The file is "$OGCWEB_CONFIG" when set,
// otherwise "ogcweb.xml" in the working folder; a missing file is an empty
// configuration. Its format:
//   <Configuration><WebCacheFilePath>./cache</WebCacheFilePath>...</Configuration>
// Every element directly under the root is one key with its text as value.
class VmRegistry {
public:
    // The configuration, read on first use.
    static const VmHash<PlxMBString>& Root();
    // The path of the configuration file.
    static PlxMBString XmlPath();
    // Reads the configuration again from `path` (tests, the host program).
    static bool Reload(const PlxMBString& path);
};

} // namespace VMK
