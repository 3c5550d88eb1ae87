// The WMTS raster dataset: opening the layer's cache, forwarding to the tile
// cache, and cutting view blocks from it.
#include "VmDatasetRasterWMTS.h"

#include "VmDataSourceOGC.h"
#include "VmStream.h"
#include "VmTileCache.h"

#include <algorithm>

#define VM_LOG_SOURCE "Src/EngineOGC/VmDatasetRasterWMTS"

VM_INSTALL_CRASH_DUMP();

namespace VMK {

namespace {

// Halves away from zero.
int RoundHalfAway(double value) { return static_cast<int>(value > 0 ? value + 0.5 : value - 0.5); }

// Holds a VmMutex for a scope.
class Locked {
public:
    explicit Locked(VmMutex& mutex) : m_mutex(mutex) { m_mutex.lock(); }
    ~Locked() { m_mutex.unlock(); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    VmMutex& m_mutex;
};

} // namespace

int TiledPixelSize(int level, int tileSize) {
    // 2^level by squaring over the bits of the exponent; a negative level
    // gives the reciprocal.
    double power = 1.0, base = 2.0;
    for (unsigned int bits = static_cast<unsigned int>(level < 0 ? -level : level); bits; bits >>= 1) {
        if (bits & 1u) power *= base;
        base *= base;
    }
    if (level < 0) power = 1.0 / power;
    return static_cast<int>(power * static_cast<double>(tileSize));
}

VmDatasetRasterWMTS::VmDatasetRasterWMTS() { m_nType = WebTile; }

VmDatasetRasterWMTS::~VmDatasetRasterWMTS() {
    Close();
    delete m_pParams;
    m_pParams = nullptr;
    delete m_pStub;
    m_pStub = nullptr;
}

PlxMBString VmDatasetRasterWMTS::GetCacheFilePath() const {
    PlxMBString path = m_strBufferPath;
    path.Trim();
    if (path.IsEmpty() || path.GetAt(path.GetLength() - 1) != '/') path += "/";
    return path + (m_pParams ? m_pParams->GetCacheFileName() : PlxMBString());
}

unsigned char VmDatasetRasterWMTS::Open() {
    Locked lock(m_mutex);
    if (IsOpen()) return 1;
    VmDataSource* source = GetDataSource();
    if (!m_pParams || !m_pStub || !source || source->GetEngineType() != VmDataSourceOGC::EngineTypeOGC ||
        m_pParams->GetServiceKind() != VmMapServiceWMTS)
        return 0;
    m_pCacheManager = new VmLocalCacheManager();
    m_pCacheManager->SetVersion(50);
    m_pCacheManager->SetServiceProvider(m_pParams->GetServiceAddress());

    PlxMBString path = GetCacheFilePath();
    unsigned char opened = 0;
    if (m_pCacheManager->IsCacheFileExist(path)) {
        opened = m_pCacheManager->Open(path, 0) ? 1 : 0;
        if (!opened) {
            VmStringEx format;
            format.LoadResString("EAg020");
            PlxMBString message;
            message.Format(format.c_str(), path.c_str());
            VmLogFile::GetInstance(false).RecordLog(VmLogFailure, "EAg020", message.c_str(), VM_LOG_SOURCE, __LINE__);
        }
    } else {
        PlxMBString folder = VmFile::GetDir(path);
        if (!VmFile::IsExist(folder) && !VmFile::MkDirEx(folder)) VM_LOG(VmLogFailure, "EAg046");
        else opened = m_pCacheManager->Create(path, 0) ? 1 : 0;
    }
    if (opened) {
        m_pStub->SetLocalCacheManager(m_pCacheManager);
        opened = m_pStub->Open(m_pParams, true) ? 1 : 0;
        m_ImgBlocks.SetDataset(this, false);
    }
    if (!opened) {
        delete m_pCacheManager;
        m_pCacheManager = nullptr;
    }
    m_bOpened = opened;
    return opened;
}

void VmDatasetRasterWMTS::Close() {
    if (m_pStub) m_pStub->Stop();
    delete m_pCacheManager;
    m_pCacheManager = nullptr;
    m_bOpened = 0;
}

PlxRasterBlock* VmDatasetRasterWMTS::GetViewBlock(const PlxRect2D& view, int width, int height,
                                                  unsigned char& state) {
    Locked lock(m_mutex);
    if (!IsOpen() || !m_pCacheManager) return nullptr;
    PlxRect2D r = view;
    r.Normalize();
    r.IntersectRect(r, GetBounds());
    int w = RoundHalfAway(r.Width() / view.Width() * width);
    int h = RoundHalfAway(r.Height() / view.Height() * height);

    // Pixel rectangles grow downwards: their height is bottom minus top.
    PlxRect2D p;
    XYToImg(r, p);
    int columns = static_cast<int>(p.right - p.left), rows = static_cast<int>(p.bottom - p.top);
    if (columns < 2 && rows < 2) return nullptr;
    ImgToXY(p, r);
    w = std::min(w, columns);
    h = std::min(h, rows);
    if (w < 2 && h < 2) return nullptr;

    if (!m_pCacheManager->SetViewPort(static_cast<int>(p.left), static_cast<int>(p.top),
                                      static_cast<int>(p.right) - 1, static_cast<int>(p.bottom) - 1, w, h)) {
        state = 0;
        return nullptr;
    }
    state = m_pCacheManager->GetViewState();
    int iw = 0, ih = 0;
    if (!m_pCacheManager->GetViewImageSize(iw, ih)) return nullptr;

    auto* block = new PlxRasterBlock();
    block->PixelWidth = block->ValidWidth = iw;
    block->PixelHeight = block->ValidHeight = ih;
    block->PixelFormat = m_pCacheManager->GetPixelFormat();
    block->Bounds = r;
    block->RowBytes = VmImgToolkit::AlignWidth(block->PixelFormat, iw);
    if (!block->Init()) {
        delete block;
        state = 0;
        return nullptr;
    }
    int64_t n = std::min(block->GetByteSize(), m_pCacheManager->GetViewImageDataSize());
    if (m_pCacheManager->GetViewImageData(block->GetData(), n)) return block;
    delete block;
    state = 0;
    return nullptr;
}

// ---------------------------------------------------------------------------
// Forwarding: each answers "nothing" without the piece it needs.

void VmDatasetRasterWMTS::GetCurrentVisibleLayers(PlxArray<PlxMBString>& names) {
    auto* params = dynamic_cast<VmWMTSParams*>(m_pParams);
    if (params) names.Add(params->GetLayerName());
}

void VmDatasetRasterWMTS::SetDownloadResponseFunc(VmTileCallback func, uint64_t user) {
    if (m_pStub) m_pStub->SetDownloadResponseFunc(func, user);
}

unsigned char VmDatasetRasterWMTS::Request(const double& scale, const PlxRect2D& bounds, unsigned char flag) {
    if (!IsOpen() || !m_pStub) return 0;
    int queued = 0;
    return m_pStub->Request(scale, bounds, flag, queued) ? 1 : 0;
}

unsigned char VmDatasetRasterWMTS::GetTileData(VmTile& tile) {
    if (!IsOpen() || !m_pCacheManager) return 0;
    return m_pCacheManager->GetTileData(tile) ? 1 : 0;
}

unsigned char VmDatasetRasterWMTS::GetTileInfo(VmTile& tile) {
    return (m_pCacheManager && m_pCacheManager->GetTileInfo(tile)) ? 1 : 0;
}

VmSize2D VmDatasetRasterWMTS::GetTileMPSize(double scale) {
    return m_pCacheManager ? m_pCacheManager->GetTileMPSize(scale) : VmSize2D();
}

VmSizeI VmDatasetRasterWMTS::GetTileSize() {
    VmSizeI size;
    if (m_pCacheManager) size.cx = size.cy = m_pCacheManager->GetTileSize();
    return size;
}

unsigned char VmDatasetRasterWMTS::IsComplete() {
    if (!m_pCacheManager || !m_pStub || !m_pStub->HasQueue()) return 0;
    return m_pStub->GetDownloadQueue()->IsComplete() ? 1 : 0;
}

PlxArray<double> VmDatasetRasterWMTS::GetScales() {
    return m_pCacheManager ? m_pCacheManager->GetScales() : PlxArray<double>();
}

void VmDatasetRasterWMTS::SetDataChangedFunc(VmTileCallback func, uint64_t user) {
    if (m_pStub) m_pStub->SetDataChangedFunc(func, user);
}

void VmDatasetRasterWMTS::SetRequestFinishedFunc(VmTileCallback func, uint64_t user) {
    if (m_pStub) m_pStub->GetDownloadQueue()->SetRequestFinishedFunc(func, user);
}

VmTiles* VmDatasetRasterWMTS::QueryWithBounds(const PlxRect2D& bounds, double scale) {
    return m_pStub ? m_pStub->QueryWithBounds(bounds, scale) : nullptr;
}

VmImageData* VmDatasetRasterWMTS::LoadTileImageData(const VmTile& tile) {
    return m_pCacheManager ? m_pCacheManager->LoadTileImageData(tile.Scale, tile.Row, tile.Col, false) : nullptr;
}

double VmDatasetRasterWMTS::ScaleToNearFixScale(double scale) {
    return m_pCacheManager ? m_pCacheManager->ScaleToNearFixScale(scale) : 0.0;
}

PlxRect2D VmDatasetRasterWMTS::ComputeTilesBounds(double scale, const PlxRect2D& bounds, int margin) {
    return m_pCacheManager ? m_pCacheManager->ComputeTilesBounds(scale, bounds, margin) : PlxRect2D();
}

double VmDatasetRasterWMTS::GetCoordRatio() {
    auto* params = dynamic_cast<VmWMTSParams*>(m_pParams);
    return params ? params->GetCoordRatio() : 0.0;
}

unsigned char VmDatasetRasterWMTS::IsAllTilesExist(const PlxRect2D& bounds, double scale) {
    return (m_pStub && m_pStub->IsAllTilesExist(bounds, scale)) ? 1 : 0;
}

} // namespace VMK
