// The "downloading ..." line on standard error while the engine downloads.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

namespace ogcweb {

class ProgressLine {
public:
    // Shows progress of every download that has run for a second, on
    // `stream`, until destroyed.
    explicit ProgressLine(std::FILE* stream);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // Ends a line still open, so that a message can follow on a line of its own.
    void Interrupt();

    struct State;

private:
    std::shared_ptr<State> m_state;
};

// "512 bytes", "3.4 kB", "1.2 MB".
std::string FormatBytes(long long bytes);

} // namespace ogcweb
