// The download workers of one tiled layer.
#include "VmTileCache.h"

#include "VmNetwork.h"
#include "VmToolkit.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <chrono>
#include <cmath>
#include <ctime>
#include <string>

namespace VMK {

namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

// ---------------------------------------------------------------------------
// VmMapDownloadQueue

bool VmMapDownloadQueue::IsComplete() const {
    std::lock_guard<std::mutex> lock(m_owner.m_mutex);
    return m_owner.m_queue.empty() && m_owner.m_running == 0;
}

int VmMapDownloadQueue::GetPendingCount() const {
    std::lock_guard<std::mutex> lock(m_owner.m_mutex);
    return static_cast<int>(m_owner.m_pending.size());
}

void VmMapDownloadQueue::SetRequestFinishedFunc(VmTileCallback func, uint64_t user) {
    std::lock_guard<std::mutex> lock(m_owner.m_mutex);
    m_owner.m_onFinished = {func, user};
}

// ---------------------------------------------------------------------------
// VmMapServiceStub

VmMapServiceStub::VmMapServiceStub() : m_queueView(*this) {}

VmMapServiceStub::~VmMapServiceStub() { Stop(); }

void VmMapServiceStub::SetLocalCacheManager(VmLocalCacheManager* cache) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_cache = cache;
}

VmLocalCacheManager* VmMapServiceStub::GetLocalCacheManager() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_cache;
}

void VmMapServiceStub::SetDownloadResponseFunc(VmTileCallback func, uint64_t user) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_onResponse = {func, user};
}

void VmMapServiceStub::SetDataChangedFunc(VmTileCallback func, uint64_t user) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_onChanged = {func, user};
}

namespace {

constexpr int kMaxWorkers = 32;

int ClampWorkers(int count) { return std::min(std::max(count, 1), kMaxWorkers); }

// 0 until set: the configuration is read on first use.
std::atomic<int> g_defaultWorkers{0};

} // namespace

int VmMapServiceStub::DefaultWorkerCount() {
    int count = g_defaultWorkers.load();
    if (count > 0) return count;
    // Eight at a time, as most tile clients do: a server of tiles sees it
    // as one client, and it hides the latency of each answer well enough.
    count = 8;
    const PlxMBString configured = VmRegistry::Root()["TileDownloadConnections"];
    if (!configured.IsEmpty()) {
        const int value = std::atoi(configured.c_str());
        if (value > 0) count = ClampWorkers(value);
    }
    int unset = 0;
    g_defaultWorkers.compare_exchange_strong(unset, count);
    return g_defaultWorkers.load();
}

void VmMapServiceStub::SetDefaultWorkerCount(int count) { g_defaultWorkers.store(ClampWorkers(count)); }

void VmMapServiceStub::SetWorkerCount(int count) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_workerCount = ClampWorkers(count);
}

void VmMapServiceStub::SetRetryDelay(int seconds) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_retryDelaySec = std::max(seconds, 0);
}

void VmMapServiceStub::SetMaxTilesPerRequest(int count) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_maxTiles = std::max(count, 1);
}

unsigned char VmMapServiceStub::HasQueue() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_open && m_withQueue ? 1 : 0;
}

bool VmMapServiceStub::IsOpen() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_open;
}

void VmMapServiceStub::SetScales(const PlxDict<PlxMBString, double>& scales) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_allowedMatrices.clear();
    for (const auto& entry : scales) m_allowedMatrices.insert(entry.first);
}

bool VmMapServiceStub::Open(VmMapServiceParams* layerParams, bool withQueue) {
    auto source = std::make_shared<Source>();
    if (!layerParams || !MakeSource(layerParams, *source) || !source->pyramid.IsValid()) return false;
    Stop();
    VmLocalCacheManager* cache = GetLocalCacheManager();
    if (!cache) return false;
    cache->SetPyramid(source->pyramid);

    std::lock_guard<std::mutex> lock(m_mutex);
    m_source = source;
    m_open = true;
    m_withQueue = withQueue;
    m_stopping = false;
    m_failedAt.clear();
    m_batchFailed = false;
    if (withQueue) {
        m_transfers = std::make_shared<VmHttpTransfers>(m_workerCount);
        for (int i = 0; i < m_workerCount; ++i) m_workers.emplace_back(&VmMapServiceStub::WorkerLoop, this);
    }
    return true;
}

void VmMapServiceStub::Stop() {
    std::vector<std::thread> workers;
    std::shared_ptr<VmHttpTransfers> transfers;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        transfers.swap(m_transfers);
        m_stopping = true;
        m_open = false;
        for (const Key& key : m_queue) m_pending.erase(key);
        m_queue.clear();
        // A callback that stops the stub runs on a worker, which cannot join
        // itself: it is left to a later Stop or the destructor.
        const auto self = std::this_thread::get_id();
        for (std::thread& worker : m_workers) {
            if (worker.get_id() == self)
                continue;
            workers.push_back(std::move(worker));
        }
        m_workers.erase(std::remove_if(m_workers.begin(), m_workers.end(),
                                       [](const std::thread& worker) { return !worker.joinable(); }),
                        m_workers.end());
    }
    m_wake.notify_all();
    // Downloads under way end now rather than when their servers answer.
    if (transfers) transfers->Cancel();
    for (std::thread& worker : workers) worker.join();
}

bool VmMapServiceStub::Allowed(int matrix) const {
    if (m_allowedMatrices.empty()) return true;
    return m_allowedMatrices.count(m_source->pyramid.Matrices[static_cast<size_t>(matrix)].Identifier) != 0;
}

int VmMapServiceStub::PickMatrix(double scale) const {
    const VmTilePyramid& pyramid = m_source->pyramid;
    if (m_allowedMatrices.empty()) return pyramid.NearestMatrix(scale);
    if (!(scale > 0.0) || !std::isfinite(scale)) return -1;
    // The same rule as VmTilePyramid::NearestMatrix over the allowed matrices.
    int best = -1;
    double bestDistance = HUGE_VAL;
    for (size_t i = 0; i < pyramid.Matrices.size(); ++i) {
        if (!Allowed(static_cast<int>(i))) continue;
        const double distance = std::fabs(std::log(scale / pyramid.Matrices[i].ScaleDenominator));
        if (distance <= bestDistance + 1e-12) {
            best = static_cast<int>(i);
            bestDistance = std::min(distance, bestDistance);
        }
    }
    return best;
}

bool VmMapServiceStub::Request(const double& scale, const PlxRect2D& bounds, unsigned char flag, int& queued) {
    queued = 0;
    std::shared_ptr<const Source> source;
    VmLocalCacheManager* cache = nullptr;
    VmTileRange range;
    int maxTiles = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_open) return false;
        source = m_source;
        cache = m_cache;
        maxTiles = m_maxTiles;
        if (!m_withQueue) return true;
        const int matrix = PickMatrix(scale);
        if (matrix < 0) return false;
        range = source->pyramid.CoveringTiles(matrix, bounds, 0);
    }
    if (range.Count() > maxTiles) return false;
    if (range.IsEmpty()) return true;

    // The cache is asked without the stub's lock held: its answers may take
    // a moment while workers write.
    const VmTileMatrix& m = source->pyramid.Matrices[static_cast<size_t>(range.Matrix)];
    std::vector<Key> wanted;
    for (int row = range.MinRow; row <= range.MaxRow; ++row)
        for (int col = range.MinCol; col <= range.MaxCol; ++col)
            if (flag == 1 || !cache || !cache->HasTile(m.Identifier, row, col)) wanted.emplace_back(range.Matrix, row, col);
    const double centreRow = (range.MinRow + range.MaxRow) / 2.0;
    const double centreCol = (range.MinCol + range.MaxCol) / 2.0;
    std::stable_sort(wanted.begin(), wanted.end(), [&](const Key& a, const Key& b) {
        const double da = std::pow(std::get<1>(a) - centreRow, 2) + std::pow(std::get<2>(a) - centreCol, 2);
        const double db = std::pow(std::get<1>(b) - centreRow, 2) + std::pow(std::get<2>(b) - centreCol, 2);
        return da < db;
    });

    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // Stopped (or reopened on another layer) meanwhile: nothing to queue.
        if (!m_open || m_source != source) return false;
        const int64_t now = NowMs();
        for (const Key& key : wanted) {
            if (m_pending.count(key)) continue;
            // A worker may have stored the tile since the check above; with
            // the lock held it can no longer slip between check and queue.
            if (flag != 1 && cache && cache->HasTile(m.Identifier, std::get<1>(key), std::get<2>(key))) continue;
            auto failed = m_failedAt.find(key);
            if (failed != m_failedAt.end()) {
                if (flag != 1 && now - failed->second < static_cast<int64_t>(m_retryDelaySec) * 1000) continue;
                m_failedAt.erase(failed);
            }
            m_pending.insert(key);
            m_queue.push_back(key);
            ++queued;
        }
    }
    if (queued > 0) m_wake.notify_all();
    return true;
}

VmTiles* VmMapServiceStub::QueryWithBounds(const PlxRect2D& bounds, double scale) {
    std::shared_ptr<const Source> source;
    VmTileRange range;
    int maxTiles = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_open) return nullptr;
        source = m_source;
        maxTiles = m_maxTiles;
        range = source->pyramid.CoveringTiles(PickMatrix(scale), bounds, 0);
    }
    if (range.Count() > maxTiles) return nullptr;
    auto* tiles = new VmTiles();
    if (range.IsEmpty()) return tiles;
    const VmTileMatrix& m = source->pyramid.Matrices[static_cast<size_t>(range.Matrix)];
    for (int row = range.MinRow; row <= range.MaxRow; ++row)
        for (int col = range.MinCol; col <= range.MaxCol; ++col) {
            VmTile tile;
            tile.Scale = m.ScaleDenominator;
            tile.Row = row;
            tile.Col = col;
            tile.Bounds = source->pyramid.TileBounds(range.Matrix, row, col);
            tiles->Add(tile);
        }
    return tiles;
}

bool VmMapServiceStub::IsAllTilesExist(const PlxRect2D& bounds, double scale) {
    std::shared_ptr<const Source> source;
    VmLocalCacheManager* cache = nullptr;
    VmTileRange range;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_open || !m_cache) return false;
        source = m_source;
        cache = m_cache;
        const int matrix = PickMatrix(scale);
        if (matrix < 0) return false;
        range = source->pyramid.CoveringTiles(matrix, bounds, 0);
    }
    if (range.IsEmpty()) return true;
    const VmTileMatrix& m = source->pyramid.Matrices[static_cast<size_t>(range.Matrix)];
    for (int row = range.MinRow; row <= range.MaxRow; ++row)
        for (int col = range.MinCol; col <= range.MaxCol; ++col)
            if (!cache->HasTile(m.Identifier, row, col)) return false;
    return true;
}

int VmMapServiceStub::Download(const Key& key, const std::shared_ptr<const Source>& source,
                               VmHttpTransfers& transfers, VmTile& tile) {
    if (!source) return 1;
    const int matrix = std::get<0>(key);
    if (static_cast<size_t>(matrix) >= source->pyramid.Matrices.size()) return 1;
    const VmTileMatrix& m = source->pyramid.Matrices[static_cast<size_t>(matrix)];
    tile.Scale = m.ScaleDenominator;
    tile.Row = std::get<1>(key);
    tile.Col = std::get<2>(key);
    tile.Bounds = source->pyramid.TileBounds(matrix, tile.Row, tile.Col);
    const PlxMBString url = source->tileUrl ? source->tileUrl(m, tile.Row, tile.Col) : PlxMBString();
    if (url.IsEmpty()) return 1;
    PlxMBString contentType;
    std::vector<unsigned char> bytes;
    if (!transfers.Get(url, source->user, source->password, bytes, contentType)) return 1;
    // Servers answer errors with 200 and an XML or HTML body, and proxies
    // with pages of their own: only a decodable image is a tile.
    VmImageData image;
    if (!VmImgToolkit::DecodeImage(bytes.data(), bytes.size(), image)) return 2;
    tile.Format = VmImgToolkit::SniffImageFormat(bytes.data(), bytes.size());
    tile.Data = std::move(bytes);
    tile.TimeStamp = static_cast<int64_t>(std::time(nullptr));
    return 0;
}

void VmMapServiceStub::WorkerLoop() {
    for (;;) {
        Key key;
        std::shared_ptr<const Source> source;
        std::shared_ptr<VmHttpTransfers> transfers;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_stopping) return;
            key = m_queue.front();
            m_queue.pop_front();
            ++m_running;
            source = m_source;
            transfers = m_transfers;
        }

        VmTile tile;
        const int status = transfers ? Download(key, source, *transfers, tile) : 1;

        Callback onResponse, onChanged;
        VmLocalCacheManager* cache = nullptr;
        PlxMBString matrixId;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_stopping) {
                onResponse = m_onResponse;
                onChanged = m_onChanged;
            }
            cache = m_cache;
            // A stub stopped and reopened on another layer from a callback
            // meanwhile must not receive this layer's tile.
            if (m_source == source && status == 0)
                matrixId = source->pyramid.Matrices[static_cast<size_t>(std::get<0>(key))].Identifier;
        }
        if (onResponse.func) onResponse.func(onResponse.user, &tile, status);
        bool stored = false;
        if (status == 0 && cache && !matrixId.IsEmpty())
            stored = cache->PutTile(matrixId, tile.Row, tile.Col, tile.Data, tile.Format, tile.TimeStamp);
        if (stored && onChanged.func) onChanged.func(onChanged.user, &tile, 0);

        Callback onFinished;
        int batchStatus = 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            --m_running;
            m_pending.erase(key);
            if (!stored) {
                m_failedAt[key] = NowMs();
                m_batchFailed = true;
            }
            if (m_queue.empty() && m_running == 0) {
                batchStatus = m_batchFailed ? 1 : 0;
                m_batchFailed = false;
                if (!m_stopping) onFinished = m_onFinished;
            }
        }
        if (onFinished.func) onFinished.func(onFinished.user, nullptr, batchStatus);
    }
}

// ---------------------------------------------------------------------------
// WMTS

VmWMTSServiceStub::~VmWMTSServiceStub() { Stop(); }

bool VmWMTSServiceStub::MakeSource(VmMapServiceParams* layerParams, Source& source) {
    if (layerParams->GetServiceKind() != VmMapServiceWMTS) return false;
    auto* wmts = static_cast<VmWMTSParams*>(layerParams);
    if (!wmts->IsReady() || wmts->GetLayerName().IsEmpty()) return false;
    auto copy = std::make_shared<const VmWMTSParams>(*wmts);
    source.pyramid = copy->GetPyramid();
    source.user = copy->GetUser();
    source.password = copy->GetPassword();
    source.tileUrl = [copy](const VmTileMatrix& matrix, int row, int col) {
        return copy->GetTileURL(matrix.Identifier, row, col);
    };
    return true;
}

VmMapServiceStub* VmMapServiceStubManager::CreateMapServiceStub(int kind) {
    if (kind == VmMapServiceWMTS) return new VmWMTSServiceStub();
    return nullptr;
}

} // namespace VMK
