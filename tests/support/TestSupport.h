// Small fixtures shared by the tests: a temporary folder that the engine's
// downloads go to (and that is checked for leftovers), and a log capture.
#pragma once

#include "VmStream.h"
#include "VmToolkit.h"

#include <ostream>
#include <set>
#include <string>

namespace PLX {
// Readable strings in test failure messages.
inline void PrintTo(const PlxMBString& text, std::ostream* os) { *os << '"' << text.str() << '"'; }
} // namespace PLX

namespace VMK {

// A fresh folder, made the engine's temporary folder while it lives; removed
// with its content at the end.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    PlxMBString Path(const char* name) const;
    // Names of the files in the folder now.
    std::set<std::string> Files() const;

private:
    std::string m_dir;
    PlxMBString m_previous;
};

// Empties the in-memory log entries and sends the log file to nowhere for the
// test's duration; restores the path afterwards.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    int Count(const char* code) const { return VmLogFile::GetInstance(false).CountEntries(code); }
    int Total() const { return static_cast<int>(VmLogFile::GetInstance(false).Entries().size()); }

private:
    PlxMBString m_previousPath;
};

} // namespace VMK
