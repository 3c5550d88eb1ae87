// What every fuzz target shares: a private temporary folder that is the
// engine's temporary folder for the whole run, the input written to a file in
// it for the readers that take a path, and a log that neither writes a file
// nor keeps entries from one input to the next.
#pragma once

#include "PlxTypes.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace ogcfuzz {

// Once per process: makes the temporary folder (removed at exit) and points
// the log and the engine's downloads away from the user's folders.
void Init();

// Writes `data` to a fresh file named `name` in the temporary folder and
// returns its path; the file goes when the object does, if the reader left it.
class InputFile {
public:
    InputFile(const uint8_t* data, size_t size, const char* name = "input.xml");
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    const PLX::PlxMBString& Path() const { return m_path; }

private:
    PLX::PlxMBString m_path;
};

// The path of a second file in the temporary folder, for readers that need
// a fixed companion document beside the fuzzed one.
PLX::PlxMBString WriteCompanion(const char* name, const std::string& text);

// The bytes as a C string: the text up to the first NUL byte, the way the
// engine receives addresses and documents held in strings.
PLX::PlxMBString AsText(const uint8_t* data, size_t size);

// Called after every input: forgets the log entries the input produced and
// removes whatever the reader left in the temporary folder, so that a run
// of millions of inputs neither grows nor fills the disk.
void EndInput();

// One input's lifetime: declared first in a target, so that its end runs
// after every other object of the input is gone.
struct Round {
    Round() { Init(); }
    ~Round() { EndInput(); }
    Round(const Round&) = delete;
    Round& operator=(const Round&) = delete;
};

} // namespace ogcfuzz
