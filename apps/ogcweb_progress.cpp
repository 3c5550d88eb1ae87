#include "ogcweb_progress.h"

#include "VmNetwork.h"

#include <mutex>
#include <string>

namespace ogcweb {

namespace {

// Most downloads are over before a line would be readable; showing them
// would only make the terminal flicker.
const double kQuietSeconds = 1.0;

std::string HostOf(const PLX::PlxMBString& url) {
    PLX::PlxMBString scheme, host, object, extra;
    int port = 0;
    if (!VMK::VmHttpHelper::VmParseURL2(url, scheme, host, object, extra, port)) return "the server";
    const bool defaultPort = (scheme == "http" && port == 80) || (scheme == "https" && port == 443);
    return defaultPort ? host.str() : host.str() + ":" + std::to_string(port);
}

} // namespace

std::string FormatBytes(long long bytes) {
    char text[64];
    if (bytes < 1024) {
        std::snprintf(text, sizeof text, "%lld bytes", bytes);
    } else if (bytes < 1024LL * 1024) {
        std::snprintf(text, sizeof text, "%.1f kB", static_cast<double>(bytes) / 1024.0);
    } else {
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    }
    return text;
}

// Shared with the handler the host keeps, which may outlive the ProgressLine
// by a transfer that is still running on another thread.
struct ProgressLine::State {
    std::mutex mutex;
    std::FILE* stream = nullptr;
    unsigned long long shown = 0;  // the transfer on the line; 0: no line open
    size_t width = 0;              // of the text on the line, to blank what is left of it

    void Write(const std::string& text, bool end) {
        std::string line = "\r" + text;
        if (text.size() < width) line += std::string(width - text.size(), ' ');
        width = end ? 0 : text.size();
        if (end) line += "\n";
        std::fputs(line.c_str(), stream);
        std::fflush(stream);
    }

    void OnProgress(const VMK::VmHttpProgress& progress) {
        std::lock_guard<std::mutex> lock(mutex);
        // Parallel downloads would fight over one line: the first one to
        // show keeps it until it ends.
        if (shown != 0 && shown != progress.transfer) return;
        if (shown == 0 && (progress.finished || progress.elapsedSec < kQuietSeconds)) return;
        std::string text = "  downloading " + HostOf(progress.url) + " ... " + FormatBytes(progress.received);
        if (progress.total > 0 && !progress.finished) text += " of " + FormatBytes(progress.total);
        if (progress.finished) text += progress.succeeded ? ", done" : ", failed";
        Write(text, progress.finished);
        shown = progress.finished ? 0 : progress.transfer;
    }
};

ProgressLine::ProgressLine(std::FILE* stream) : m_state(std::make_shared<State>()) {
    m_state->stream = stream;
    std::shared_ptr<State> state = m_state;
    VMK::VmHttpSettings::SetProgressHandler([state](const VMK::VmHttpProgress& progress) { state->OnProgress(progress); });
}

ProgressLine::~ProgressLine() {
    VMK::VmHttpSettings::SetProgressHandler(VMK::VmHttpProgressHandler());
    Interrupt();
}

void ProgressLine::Interrupt() {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (m_state->shown == 0) return;
    std::fputs("\n", m_state->stream);
    std::fflush(m_state->stream);
    m_state->shown = 0;
    m_state->width = 0;
}

} // namespace ogcweb
