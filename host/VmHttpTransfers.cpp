// Batched downloads: one libcurl multi handle on a thread of its own, fed by
// the threads that wait in Get.
#include "VmNetwork.h"

#include "VmHttpOptions.h"

#include <curl/curl.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace VMK {

// Lives on the stack of the thread waiting in Get; the transfer thread lets
// go of it before it marks it done.
struct VmHttpTransfers::Transfer {
    PlxMBString url;
    PlxMBString user;
    PlxMBString password;
    std::vector<unsigned char> body;
    http::DownloadSink sink;
    CURL* easy = nullptr;
    PlxMBString contentType;
    bool done = false;
    bool ok = false;
};

struct VmHttpTransfers::State {
    CURLM* multi = nullptr;
    std::thread thread;
    std::mutex mutex;
    std::condition_variable finished;
    std::deque<Transfer*> incoming;  // waiting for the transfer thread
    bool cancelled = false;
    bool stopping = false;
    // The transfer thread's own.
    std::vector<Transfer*> running;

    void Finish(Transfer* transfer, bool ok) {
        if (transfer->easy) {
            curl_multi_remove_handle(multi, transfer->easy);
            curl_easy_cleanup(transfer->easy);
            transfer->easy = nullptr;
        }
        std::lock_guard<std::mutex> lock(mutex);
        transfer->ok = ok;
        transfer->done = true;
        finished.notify_all();
    }
};

VmHttpTransfers::VmHttpTransfers(int connections) : m_state(new State) {
    http::EnsureCurlInitialised();
    m_state->multi = curl_multi_init();
    const long most = std::min(std::max(connections, 1), 64);
    if (m_state->multi) {
        curl_multi_setopt(m_state->multi, CURLMOPT_MAX_TOTAL_CONNECTIONS, most);
        curl_multi_setopt(m_state->multi, CURLMOPT_MAX_HOST_CONNECTIONS, most);
        m_state->thread = std::thread([this] { Run(); });
    }
}

VmHttpTransfers::~VmHttpTransfers() {
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->cancelled = true;
        m_state->stopping = true;
    }
    if (m_state->multi) curl_multi_wakeup(m_state->multi);
    if (m_state->thread.joinable()) m_state->thread.join();
    if (m_state->multi) curl_multi_cleanup(m_state->multi);
}

void VmHttpTransfers::Cancel() {
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->cancelled = true;
    }
    if (m_state->multi) curl_multi_wakeup(m_state->multi);
}

bool VmHttpTransfers::Get(const PlxMBString& url, const PlxMBString& user, const PlxMBString& password,
                          std::vector<unsigned char>& body, PlxMBString& contentType) {
    body.clear();
    contentType.Empty();
    if (url.IsEmpty() || !m_state->multi) return false;
    Transfer transfer;
    transfer.url = url;
    transfer.user = user;
    transfer.password = password;
    {
        std::unique_lock<std::mutex> lock(m_state->mutex);
        if (m_state->cancelled) return false;
        m_state->incoming.push_back(&transfer);
        curl_multi_wakeup(m_state->multi);
        m_state->finished.wait(lock, [&] { return transfer.done; });
    }
    if (!transfer.ok) return false;
    body = std::move(transfer.body);
    contentType = transfer.contentType;
    return true;
}

void VmHttpTransfers::Run() {
    State& state = *m_state;
    for (;;) {
        std::deque<Transfer*> starting;
        bool cancelled = false;
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            starting.swap(state.incoming);
            cancelled = state.cancelled;
            if (state.stopping && starting.empty() && state.running.empty()) return;
        }
        const VmHttpSettings settings = VmHttpSettings::Get();
        for (Transfer* transfer : starting) {
            transfer->sink.memory = &transfer->body;
            transfer->sink.maxBytes = settings.maxBytes;
            transfer->easy = cancelled ? nullptr : curl_easy_init();
            if (!transfer->easy) {
                state.Finish(transfer, false);
                continue;
            }
            http::ApplyOptions(transfer->easy, transfer->url, transfer->user, transfer->password, settings,
                               transfer->sink);
            curl_easy_setopt(transfer->easy, CURLOPT_PRIVATE, transfer);
            if (curl_multi_add_handle(state.multi, transfer->easy) != CURLM_OK) {
                state.Finish(transfer, false);
                continue;
            }
            state.running.push_back(transfer);
        }
        if (cancelled) {
            for (Transfer* transfer : state.running) state.Finish(transfer, false);
            state.running.clear();
        }

        int active = 0;
        curl_multi_perform(state.multi, &active);
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(state.multi, &left)) {
            if (message->msg != CURLMSG_DONE) continue;
            Transfer* transfer = nullptr;
            curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, reinterpret_cast<char**>(&transfer));
            if (!transfer) continue;
            const bool ok =
                http::Delivered(transfer->easy, message->data.result, transfer->sink, transfer->contentType);
            state.running.erase(std::remove(state.running.begin(), state.running.end(), transfer),
                                state.running.end());
            state.Finish(transfer, ok);
        }
        // Woken early by a new transfer, a cancellation or the destructor.
        curl_multi_poll(state.multi, nullptr, 0, 1000, nullptr);
    }
}

} // namespace VMK
