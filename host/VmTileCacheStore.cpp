// The cache file of one layer (SQLite) and the composition of views from it.
#include "VmTileCache.h"

#include "VmPixelBuffer.h"
#include "VmStream.h"
#include "VmTileResample.h"
#include "VmToolkit.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <functional>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>
#include <cmath>
#include <cstring>
#include <ctime>
#include <map>
#include <new>
#include <string>

namespace VMK {

namespace {

void LogFailure(const char* message, const std::string& detail, int line) {
    VmLogFile::GetInstance(false).RecordLog(400, message, detail.c_str(), __FILE__, line);
}

// A view never needs more decoded tiles than this; more means the caller
// asked for a huge area at a fine level, which would only exhaust memory.
constexpr int64_t kMaxMosaicBytes = int64_t(256) << 20;

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT);"
    "CREATE TABLE IF NOT EXISTS tiles(matrix TEXT NOT NULL, row INTEGER NOT NULL, col INTEGER NOT NULL,"
    " data BLOB NOT NULL, format TEXT, timestamp INTEGER NOT NULL, PRIMARY KEY(matrix, row, col)) WITHOUT ROWID;";

// Runs work(0) .. work(count - 1) on the machine's cores (at most four
// threads): a view has dozens of tiles to decode and a million pixels to
// resample, independent of one another.
void InParallel(int count, const std::function<void(int)>& work) {
    const unsigned cores = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
    const int threads = std::min(count, static_cast<int>(cores));
    std::atomic<int> next{0};
    auto run = [&] {
        for (int i; (i = next.fetch_add(1)) < count;) work(i);
    };
    std::vector<std::thread> helpers;
    try {
        for (int t = 1; t < threads; ++t) helpers.emplace_back(run);
    } catch (const std::system_error&) {
        // No thread to be had: this one does all the work.
    }
    run();
    for (std::thread& helper : helpers) helper.join();
}

} // namespace

VmLocalCacheManager::VmLocalCacheManager() = default;

VmLocalCacheManager::~VmLocalCacheManager() { Close(); }

void VmLocalCacheManager::SetVersion(int version) {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_version = version;
}

int VmLocalCacheManager::GetVersion() const {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_version;
}

void VmLocalCacheManager::SetServiceProvider(const PlxMBString& address) {
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        m_provider = address;
    }
    std::lock_guard<std::mutex> lock(m_dbMutex);
    if (m_db) WriteMeta("provider", address);
}

PlxMBString VmLocalCacheManager::GetServiceProvider() const {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_provider;
}

bool VmLocalCacheManager::IsCacheFileExist(const PlxMBString& path) const {
    VmFileStatus status;
    return VmFile::GetStatus(path, status) && !status.isDirectory;
}

bool VmLocalCacheManager::Exec(const char* sql) const {
    char* message = nullptr;
    const int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
        LogFailure("tile cache statement failed", std::string(message ? message : "") + ": " + sql, __LINE__);
        sqlite3_free(message);
        return false;
    }
    return true;
}

bool VmLocalCacheManager::WriteMeta(const char* key, const PlxMBString& value) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(m_db, "INSERT OR REPLACE INTO meta(key, value) VALUES(?, ?)", -1, &st, nullptr) != SQLITE_OK)
        return false;
    sqlite3_bind_text(st, 1, key, -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 2, value.c_str(), value.GetLength(), SQLITE_TRANSIENT);
    const bool ok = sqlite3_step(st) == SQLITE_DONE;
    sqlite3_finalize(st);
    return ok;
}

bool VmLocalCacheManager::ReadMeta(const char* key, PlxMBString& value) const {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(m_db, "SELECT value FROM meta WHERE key = ?", -1, &st, nullptr) != SQLITE_OK) return false;
    sqlite3_bind_text(st, 1, key, -1, SQLITE_TRANSIENT);
    bool found = false;
    if (sqlite3_step(st) == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(st, 0);
        value = PlxMBString(text ? reinterpret_cast<const char*>(text) : "");
        found = true;
    }
    sqlite3_finalize(st);
    return found;
}

void VmLocalCacheManager::CloseLocked() {
    sqlite3_finalize(m_selectTile);
    sqlite3_finalize(m_existsTile);
    sqlite3_finalize(m_insertTile);
    m_selectTile = m_existsTile = m_insertTile = nullptr;
    if (m_db) sqlite3_close_v2(m_db);
    m_db = nullptr;
    m_path.Empty();
}

void VmLocalCacheManager::Close() {
    std::lock_guard<std::mutex> lock(m_dbMutex);
    CloseLocked();
}

bool VmLocalCacheManager::IsOpen() const {
    std::lock_guard<std::mutex> lock(m_dbMutex);
    return m_db != nullptr;
}

PlxMBString VmLocalCacheManager::GetPath() const {
    std::lock_guard<std::mutex> lock(m_dbMutex);
    return m_path;
}

bool VmLocalCacheManager::OpenDatabase(const PlxMBString& path, bool create) {
    const int version = GetVersion();
    const PlxMBString provider = GetServiceProvider();
    std::shared_ptr<const VmTilePyramid> pyramid = GetPyramidPtr();

    std::lock_guard<std::mutex> lock(m_dbMutex);
    CloseLocked();
    if (path.IsEmpty()) return false;
    if (create && !CreateFileLocked(path, version, provider, pyramid.get())) return false;
    if (!IsCacheFileExist(path)) return false;
    // Serialized mode on top of our own lock: the lock keeps statements and
    // their resets together, SQLite's keeps its internals safe regardless.
    if (!ConnectLocked(path, false)) return false;
    bool ok = true;
    {
        PlxMBString stored;
        // A file that is not SQLite fails here, on its first read.
        ok = ReadMeta("version", stored) && stored.ToInt() == version && stored == PlxMBString(std::to_string(version));
        if (ok) {
            sqlite3_stmt* st = nullptr;
            ok = sqlite3_prepare_v2(m_db, "SELECT matrix, row, col, data, format, timestamp FROM tiles LIMIT 0", -1, &st,
                                    nullptr) == SQLITE_OK;
            sqlite3_finalize(st);
        }
        if (ok) Exec("PRAGMA journal_mode=WAL;");
    }
    if (ok) Exec("PRAGMA synchronous=NORMAL;");
    ok = ok &&
         sqlite3_prepare_v2(m_db, "SELECT data, format, timestamp FROM tiles WHERE matrix = ? AND row = ? AND col = ?", -1,
                            &m_selectTile, nullptr) == SQLITE_OK &&
         sqlite3_prepare_v2(m_db, "SELECT 1 FROM tiles WHERE matrix = ? AND row = ? AND col = ?", -1, &m_existsTile,
                            nullptr) == SQLITE_OK &&
         sqlite3_prepare_v2(m_db,
                            "INSERT OR REPLACE INTO tiles(matrix, row, col, data, format, timestamp) VALUES(?, ?, ?, ?, ?, ?)",
                            -1, &m_insertTile, nullptr) == SQLITE_OK;
    if (!ok) {
        CloseLocked();
        return false;
    }
    m_path = path;
    if (pyramid) {
        // The pyramid came before the file: check the file against it now.
        PlxMBString signature;
        if (ReadMeta("pyramid", signature) && signature != pyramid->Signature()) Exec("DELETE FROM tiles;");
        WriteMeta("pyramid", pyramid->Signature());
        WriteMeta("tilematrixset", pyramid->TileMatrixSet);
    }
    return true;
}

bool VmLocalCacheManager::ConnectLocked(const PlxMBString& path, bool create) {
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr) != SQLITE_OK) {
        LogFailure("tile cache cannot be opened", path.str() + ": " + (m_db ? sqlite3_errmsg(m_db) : "no memory"), __LINE__);
        CloseLocked();
        return false;
    }
    // Another process (or another manager on the same layer) may be writing.
    sqlite3_busy_timeout(m_db, 5000);
    return true;
}

// A new cache file is made complete under a name of its own and then linked
// into place, which fails when the file is there already: two windows that
// open the same layer at once both end up on one sound file, whichever made
// it. A file that was there when Create was called is replaced, as Create
// promises.
bool VmLocalCacheManager::CreateFileLocked(const PlxMBString& path, int version, const PlxMBString& provider,
                                           const VmTilePyramid* pyramid) {
    const PlxMBString folder = VmFile::GetDir(path);
    if (!folder.IsEmpty() && !VmFile::MkDirEx(folder)) return false;
    if (IsCacheFileExist(path)) {
        VmFile::Delete(path);
        VmFile::Delete(path + "-wal");
        VmFile::Delete(path + "-shm");
        VmFile::Delete(path + "-journal");
    }
    static std::atomic<unsigned> s_counter{0};
    const PlxMBString fresh =
        path + PlxMBString(".new" + std::to_string(::getpid()) + "_" + std::to_string(s_counter.fetch_add(1)));
    if (!ConnectLocked(fresh, true)) {
        VmFile::Delete(fresh);
        return false;
    }
    // One transaction: the file is synced once, not once per statement.
    bool ok = Exec("BEGIN;") && Exec(kSchema) && WriteMeta("version", PlxMBString(std::to_string(version))) &&
              WriteMeta("provider", provider) && WriteMeta("created", PlxMBString(std::to_string(std::time(nullptr))));
    if (ok && pyramid) ok = WriteMeta("pyramid", pyramid->Signature()) && WriteMeta("tilematrixset", pyramid->TileMatrixSet);
    ok = ok && Exec("COMMIT;");
    CloseLocked();
    if (ok && ::link(fresh.c_str(), path.c_str()) != 0 && errno != EEXIST) {
        LogFailure("tile cache cannot be created", path.str() + ": " + std::strerror(errno), __LINE__);
        ok = false;
    }
    VmFile::Delete(fresh);
    VmFile::Delete(fresh + "-journal");
    return ok;
}

bool VmLocalCacheManager::Open(const PlxMBString& path, int flag) {
    (void)flag;
    return OpenDatabase(path, false);
}

bool VmLocalCacheManager::Create(const PlxMBString& path, int flag) {
    (void)flag;
    return OpenDatabase(path, true);
}

void VmLocalCacheManager::SetPyramid(const VmTilePyramid& pyramid) {
    auto shared = std::make_shared<const VmTilePyramid>(pyramid);
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        m_pyramid = shared;
    }
    std::lock_guard<std::mutex> lock(m_dbMutex);
    if (!m_db) return;
    PlxMBString stored;
    const PlxMBString signature = shared->Signature();
    if (ReadMeta("pyramid", stored) && stored != signature) {
        LogFailure("tile cache emptied: the layer's tile matrices changed", m_path.str(), __LINE__);
        Exec("DELETE FROM tiles;");
    }
    WriteMeta("pyramid", signature);
    WriteMeta("tilematrixset", shared->TileMatrixSet);
}

VmTilePyramid VmLocalCacheManager::GetPyramid() const {
    auto pyramid = GetPyramidPtr();
    return pyramid ? *pyramid : VmTilePyramid();
}

std::shared_ptr<const VmTilePyramid> VmLocalCacheManager::GetPyramidPtr() const {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_pyramid;
}

int VmLocalCacheManager::GetTileSize() const {
    auto pyramid = GetPyramidPtr();
    return pyramid ? pyramid->TileSize : 0;
}

PlxArray<double> VmLocalCacheManager::GetScales() const {
    PlxArray<double> scales;
    if (auto pyramid = GetPyramidPtr())
        for (const VmTileMatrix& m : pyramid->Matrices) scales.Add(m.ScaleDenominator);
    return scales;
}

double VmLocalCacheManager::ScaleToNearFixScale(double scale) const {
    auto pyramid = GetPyramidPtr();
    if (!pyramid) return 0.0;
    const int matrix = pyramid->NearestMatrix(scale);
    return matrix < 0 ? 0.0 : pyramid->Matrices[static_cast<size_t>(matrix)].ScaleDenominator;
}

PlxRect2D VmLocalCacheManager::ComputeTilesBounds(double scale, const PlxRect2D& bounds, int margin) const {
    auto pyramid = GetPyramidPtr();
    if (!pyramid) return PlxRect2D();
    const VmTileRange range = pyramid->CoveringTiles(pyramid->NearestMatrix(scale), bounds, margin);
    if (range.IsEmpty()) return PlxRect2D();
    PlxRect2D result = pyramid->TileBounds(range.Matrix, range.MinRow, range.MinCol);
    result.Union(pyramid->TileBounds(range.Matrix, range.MaxRow, range.MaxCol));
    return result;
}

VmSize2D VmLocalCacheManager::GetTileMPSize(double scale) const {
    VmSize2D size;
    auto pyramid = GetPyramidPtr();
    if (!pyramid) return size;
    const int matrix = pyramid->NearestMatrix(scale);
    if (matrix < 0) return size;
    size.cx = pyramid->Matrices[static_cast<size_t>(matrix)].TileSpanX();
    size.cy = pyramid->Matrices[static_cast<size_t>(matrix)].TileSpanY();
    return size;
}

bool VmLocalCacheManager::ReadTile(const PlxMBString& matrix, int row, int col, std::vector<unsigned char>* data,
                                   PlxMBString* format, int64_t* timestamp) const {
    std::lock_guard<std::mutex> lock(m_dbMutex);
    sqlite3_stmt* st = data ? m_selectTile : m_existsTile;
    if (!st) return false;
    sqlite3_bind_text(st, 1, matrix.c_str(), matrix.GetLength(), SQLITE_TRANSIENT);
    sqlite3_bind_int(st, 2, row);
    sqlite3_bind_int(st, 3, col);
    bool found = false;
    if (sqlite3_step(st) == SQLITE_ROW) {
        found = true;
        if (data) {
            const auto* bytes = static_cast<const unsigned char*>(sqlite3_column_blob(st, 0));
            const int size = sqlite3_column_bytes(st, 0);
            data->assign(bytes, bytes + (bytes ? size : 0));
            const unsigned char* text = sqlite3_column_text(st, 1);
            if (format) *format = PlxMBString(text ? reinterpret_cast<const char*>(text) : "");
            if (timestamp) *timestamp = sqlite3_column_int64(st, 2);
        }
    }
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    return found;
}

bool VmLocalCacheManager::HasTile(const PlxMBString& matrix, int row, int col) const {
    return ReadTile(matrix, row, col, nullptr, nullptr, nullptr);
}

int64_t VmLocalCacheManager::GetTileCount() const {
    std::lock_guard<std::mutex> lock(m_dbMutex);
    if (!m_db) return 0;
    sqlite3_stmt* st = nullptr;
    int64_t count = 0;
    if (sqlite3_prepare_v2(m_db, "SELECT COUNT(*) FROM tiles", -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
        count = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
    return count;
}

bool VmLocalCacheManager::PutTile(const PlxMBString& matrix, int row, int col, const std::vector<unsigned char>& data,
                                  const PlxMBString& format, int64_t timestamp) {
    if (matrix.IsEmpty() || data.empty()) return false;
    std::lock_guard<std::mutex> lock(m_dbMutex);
    if (!m_insertTile) return false;
    sqlite3_stmt* st = m_insertTile;
    sqlite3_bind_text(st, 1, matrix.c_str(), matrix.GetLength(), SQLITE_TRANSIENT);
    sqlite3_bind_int(st, 2, row);
    sqlite3_bind_int(st, 3, col);
    sqlite3_bind_blob64(st, 4, data.data(), static_cast<sqlite3_uint64>(data.size()), SQLITE_STATIC);
    sqlite3_bind_text(st, 5, format.c_str(), format.GetLength(), SQLITE_TRANSIENT);
    sqlite3_bind_int64(st, 6, timestamp > 0 ? timestamp : static_cast<int64_t>(std::time(nullptr)));
    const int rc = sqlite3_step(st);
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    if (rc != SQLITE_DONE) {
        LogFailure("tile cache write failed", m_path.str() + ": " + sqlite3_errmsg(m_db), __LINE__);
        return false;
    }
    return true;
}

bool VmLocalCacheManager::PutTile(const VmTile& tile) {
    auto pyramid = GetPyramidPtr();
    if (!pyramid) return false;
    const int matrix = pyramid->NearestMatrix(tile.Scale);
    if (matrix < 0) return false;
    PlxMBString format = tile.Format;
    if (format.IsEmpty()) format = VmImgToolkit::SniffImageFormat(tile.Data.data(), tile.Data.size());
    return PutTile(pyramid->Matrices[static_cast<size_t>(matrix)].Identifier, tile.Row, tile.Col, tile.Data, format,
                   tile.TimeStamp);
}

bool VmLocalCacheManager::GetTileData(VmTile& tile) {
    auto pyramid = GetPyramidPtr();
    if (!pyramid) return false;
    const int matrix = pyramid->NearestMatrix(tile.Scale);
    if (matrix < 0) return false;
    tile.Bounds = pyramid->TileBounds(matrix, tile.Row, tile.Col);
    return ReadTile(pyramid->Matrices[static_cast<size_t>(matrix)].Identifier, tile.Row, tile.Col, &tile.Data,
                    &tile.Format, &tile.TimeStamp);
}

bool VmLocalCacheManager::GetTileInfo(VmTile& tile) {
    auto pyramid = GetPyramidPtr();
    if (!pyramid) return false;
    const int matrix = pyramid->NearestMatrix(tile.Scale);
    if (matrix < 0) return false;
    tile.Bounds = pyramid->TileBounds(matrix, tile.Row, tile.Col);
    return HasTile(pyramid->Matrices[static_cast<size_t>(matrix)].Identifier, tile.Row, tile.Col);
}

VmImageData* VmLocalCacheManager::LoadTileImageData(double scale, int row, int col, bool flag) {
    (void)flag;
    VmTile tile;
    tile.Scale = scale;
    tile.Row = row;
    tile.Col = col;
    if (!GetTileData(tile)) return nullptr;
    auto* image = new VmImageData();
    if (!VmImgToolkit::DecodeImage(tile.Data.data(), tile.Data.size(), *image)) {
        delete image;
        return nullptr;
    }
    return image;
}

// ---------------------------------------------------------------------------
// Views

void VmLocalCacheManager::SetResampling(int mode) {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_resampling = mode == 0 ? 0 : 1;
}

int VmLocalCacheManager::GetResampling() const {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_resampling;
}

PlxRect2D VmLocalCacheManager::GetViewBounds(int left, int top, int right, int bottom) const {
    auto pyramid = GetPyramidPtr();
    if (!pyramid || !pyramid->IsValid()) return PlxRect2D();
    return pyramid->PixelToMap(left, top, right, bottom);
}

double VmLocalCacheManager::GetViewScale(int left, int top, int right, int bottom, int width, int height) const {
    auto pyramid = GetPyramidPtr();
    if (!pyramid || !pyramid->IsValid() || right < left || bottom < top || width <= 0 || height <= 0) return 0.0;
    const PlxRect2D area = pyramid->PixelToMap(left, top, right, bottom);
    // The finer of the two axes decides, so that neither is drawn coarser
    // than asked.
    const double resolution = std::min(area.Width() / width, area.Height() / height);
    const int matrix = pyramid->NearestMatrix(pyramid->ResolutionToScale(resolution));
    return matrix < 0 ? 0.0 : pyramid->Matrices[static_cast<size_t>(matrix)].ScaleDenominator;
}

bool VmLocalCacheManager::ComposeView(int left, int top, int right, int bottom, int width, int height,
                                      VmImageData& image, bool& complete) const {
    image = VmImageData();
    complete = false;
    auto pyramid = GetPyramidPtr();
    if (!pyramid || !pyramid->IsValid() || right < left || bottom < top || width <= 0 || height <= 0) return false;
    const int64_t outBytes = static_cast<int64_t>(width) * height * 4;
    if (outBytes > kMaxMosaicBytes || width > (1 << 20) || height > (1 << 20)) return false;

    const PlxRect2D area = pyramid->PixelToMap(left, top, right, bottom);
    const double resX = area.Width() / width;
    const double resY = area.Height() / height;
    const int matrixIndex = pyramid->NearestMatrix(pyramid->ResolutionToScale(std::min(resX, resY)));
    if (matrixIndex < 0) return false;
    const VmTileMatrix& m = pyramid->Matrices[static_cast<size_t>(matrixIndex)];

    // One source pixel more on each side feeds the bilinear filter at the edges.
    PlxRect2D wider(area.left - m.Resolution, area.top + m.Resolution, area.right + m.Resolution,
                    area.bottom - m.Resolution);
    const VmTileRange range = pyramid->CoveringTiles(matrixIndex, wider, 0);

    image.Width = width;
    image.Height = height;
    image.PixelFormat = 32;
    image.RowBytes = VmImgToolkit::AlignWidth(32, width);
    try {
        AllocatePixels(image.Pixels, static_cast<size_t>(image.RowBytes) * height);
    } catch (const std::bad_alloc&) {
        image = VmImageData();
        return false;
    }
    complete = true;
    if (range.IsEmpty()) return true;  // the layer has no tiles here

    const int64_t mosaicWidth = static_cast<int64_t>(range.MaxCol - range.MinCol + 1) * m.TileWidth;
    const int64_t mosaicHeight = static_cast<int64_t>(range.MaxRow - range.MinRow + 1) * m.TileHeight;
    if (mosaicWidth * mosaicHeight * 4 > kMaxMosaicBytes) {
        LogFailure("tile view too large", std::to_string(range.Count()) + " tiles", __LINE__);
        image = VmImageData();
        complete = false;
        return false;
    }
    std::vector<unsigned char> mosaic;
    try {
        AllocatePixels(mosaic, static_cast<size_t>(mosaicWidth * mosaicHeight * 4));
    } catch (const std::bad_alloc&) {
        image = VmImageData();
        complete = false;
        return false;
    }

    // The cache is read in turn, the tiles decoded side by side.
    struct Piece {
        int row;
        int col;
        std::vector<unsigned char> bytes;
        bool placed = false;
    };
    std::vector<Piece> pieces;
    pieces.reserve(static_cast<size_t>(range.Count()));
    for (int row = range.MinRow; row <= range.MaxRow; ++row) {
        for (int col = range.MinCol; col <= range.MaxCol; ++col) {
            pieces.push_back(Piece{row, col, {}, false});
            if (!ReadTile(m.Identifier, row, col, &pieces.back().bytes, nullptr, nullptr)) pieces.back().bytes.clear();
        }
    }
    InParallel(static_cast<int>(pieces.size()), [&](int index) {
        Piece& piece = pieces[static_cast<size_t>(index)];
        const size_t x0 = static_cast<size_t>(piece.col - range.MinCol) * m.TileWidth;
        const size_t y0 = static_cast<size_t>(piece.row - range.MinRow) * m.TileHeight;
        VmImageData tile;
        piece.placed = !piece.bytes.empty() && VmImgToolkit::DecodeImage(piece.bytes.data(), piece.bytes.size(), tile);
        const int copyWidth = piece.placed ? std::min(tile.Width, m.TileWidth) : 0;
        const int copyHeight = piece.placed ? std::min(tile.Height, m.TileHeight) : 0;
        for (int y = 0; y < m.TileHeight; ++y) {
            unsigned char* line = mosaic.data() + ((y0 + y) * mosaicWidth + x0) * 4;
            const size_t copied = y < copyHeight ? static_cast<size_t>(copyWidth) * 4 : 0;
            if (copied) std::memcpy(line, tile.Pixels.data() + static_cast<size_t>(y) * tile.RowBytes, copied);
            std::memset(line + copied, 0, static_cast<size_t>(m.TileWidth) * 4 - copied);
        }
    });
    for (const Piece& piece : pieces) {
        if (piece.placed) continue;
        // Only a tile that shows counts; the extra pixel of the filter
        // margin does not make a view incomplete.
        PlxRect2D overlap;
        const PlxRect2D tileBounds = pyramid->TileBounds(matrixIndex, piece.row, piece.col);
        if (overlap.IntersectRect(tileBounds, area) && !overlap.IsEmpty()) complete = false;
    }

    // Where the layer has no tiles the mosaic ends, and so does the image.
    const double originX = m.TopLeftX + static_cast<double>(range.MinCol) * m.TileSpanX();
    const double originY = m.TopLeftY - static_cast<double>(range.MinRow) * m.TileSpanY();
    const bool bilinear = GetResampling() == 1;
    // The output's pixel centres in mosaic pixels.
    std::vector<double> across(static_cast<size_t>(width)), down(static_cast<size_t>(height));
    for (int i = 0; i < width; ++i)
        across[static_cast<size_t>(i)] = (area.left + (i + 0.5) * resX - originX) / m.Resolution;
    for (int j = 0; j < height; ++j)
        down[static_cast<size_t>(j)] = (originY - (area.top - (j + 0.5) * resY)) / m.Resolution;
    const tiles::SampleAxis columns = tiles::MakeAxis(across, static_cast<int>(mosaicWidth), bilinear);
    const tiles::SampleAxis rows = tiles::MakeAxis(down, static_cast<int>(mosaicHeight), bilinear);
    constexpr int kRowsPerTask = 32;
    InParallel((height + kRowsPerTask - 1) / kRowsPerTask, [&](int task) {
        tiles::ResampleRows(mosaic.data(), static_cast<int>(mosaicWidth), columns, rows, task * kRowsPerTask,
                            std::min(height, (task + 1) * kRowsPerTask), image.Pixels.data(),
                            static_cast<size_t>(image.RowBytes));
    });
    return true;
}

bool VmLocalCacheManager::SetViewPort(int left, int top, int right, int bottom, int width, int height) {
    VmImageData image;
    bool complete = false;
    const bool ok = ComposeView(left, top, right, bottom, width, height, image, complete);
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_viewValid = ok;
    m_viewComplete = ok && complete;
    m_view = std::move(image);
    return ok;
}

unsigned char VmLocalCacheManager::GetViewState() const {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_viewValid && m_viewComplete ? 1 : 0;
}

bool VmLocalCacheManager::GetViewImageSize(int& width, int& height) const {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    width = m_viewValid ? m_view.Width : 0;
    height = m_viewValid ? m_view.Height : 0;
    return m_viewValid;
}

int64_t VmLocalCacheManager::GetViewImageDataSize() const {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_viewValid ? static_cast<int64_t>(m_view.Pixels.size()) : 0;
}

bool VmLocalCacheManager::GetViewImageData(void* buffer, int64_t size) const {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    if (!m_viewValid || !buffer || size <= 0) return false;
    const size_t count = static_cast<size_t>(std::min<int64_t>(size, static_cast<int64_t>(m_view.Pixels.size())));
    std::memcpy(buffer, m_view.Pixels.data(), count);
    return true;
}

} // namespace VMK
