// The host's tile cache for tiled map services (WMTS 1.0.0): reading a
// service's capabilities into per-layer parameters, a local SQLite cache file
// per layer, a small pool of download workers that fills it, and the
// composition of a view (a pixel rectangle of the layer's pixel space) from
// the cached tiles. Once a layer has been opened online, everything but the
// downloads works from the cache folder alone.
//
// The pieces and who owns what:
//   VmWMTSParams          the parsed capabilities; GetLayerParams hands out a
//                         self-contained copy per layer (caller owns it).
//   VmLocalCacheManager   one cache file; knows the layer's pyramid
//                         (VmTilePyramid), stores and reads tiles, composes views.
//   VmMapServiceStub      the download workers of one layer; writes into a
//                         borrowed VmLocalCacheManager.
//
// The layer's pixel space. A tiled layer is shown as one square raster of
// S = 2^L * T pixels (L = GetZoomLevel, T = GetTileSize) whose pixels have the
// resolution of the deepest tile matrix and whose top-left corner is the
// top-left corner of the tile matrix set. L is the smallest whole number for
// which that square covers every matrix of the set, so for a pyramid that
// starts with one tile and halves its resolution per level (GoogleMapsCompatible,
// GoogleCRS84Quad) L is the index of the deepest matrix and the square is the
// set's extent exactly; a set that starts with 2 x 1 tiles (the usual EPSG:4326
// sets) takes one level more and leaves its lower half empty. See
// VmTilePyramid::Finish.
#pragma once

#include "PlxTypes.h"
#include "VmProjection.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace VMK {

using PLX::PlxArray;
using PLX::PlxDict;
using PLX::PlxMBString;
using PLX::PlxRect2D;

// The service kinds the factories know.
enum VmMapServiceKind {
    VmMapServiceWMTS = 26,
};

struct VmSize2D {
    double cx = 0.0;
    double cy = 0.0;
};

struct VmSizeI {
    int cx = 0;
    int cy = 0;
};

// One tile. Scale is the scale denominator of its tile matrix (one of
// VmLocalCacheManager::GetScales); Bounds are in the layer's map units;
// TimeStamp is seconds since 1970 of the download; Format the image's MIME
// type as found in its bytes ("image/png", "image/jpeg").
struct VmTile {
    double Scale = 0.0;
    int Row = 0;
    int Col = 0;
    PlxRect2D Bounds;
    std::vector<unsigned char> Data;
    int64_t TimeStamp = 0;
    PlxMBString Format;
};
using VmTiles = PlxArray<VmTile>;

// A decoded image: rows top to bottom, 8-bit R, G, B, A per pixel (not
// premultiplied), RowBytes per row.
struct VmImageData {
    int Width = 0;
    int Height = 0;
    int PixelFormat = 32;
    int RowBytes = 0;
    std::vector<unsigned char> Pixels;
};

// Status 0: success; anything else a failure (see VmMapServiceStub).
using VmTileCallback = void (*)(uint64_t user, const VmTile* tile, int status);

// A block of raster pixels as the plug-in hands it to the platform.
struct PlxRasterBlock {
    int PixelWidth = 0;
    int PixelHeight = 0;
    int ValidWidth = 0;
    int ValidHeight = 0;
    int PixelFormat = 0;
    int RowBytes = 0;  // 0 before Init: Init derives it from PixelFormat and PixelWidth
    PlxRect2D Bounds;
    std::vector<unsigned char> Data;

    // Allocates RowBytes * PixelHeight zeroed bytes. False (and no data) when
    // the size is zero or negative, over 1 GiB, or memory is short.
    bool Init();
    int64_t GetByteSize() const { return static_cast<int64_t>(Data.size()); }
    unsigned char* GetData() { return Data.empty() ? nullptr : Data.data(); }
};

class VmImgToolkit {
public:
    // Bytes per row of `width` pixels: bits per pixel / 8 * width, rounded up
    // to a multiple of 4. The pixel format is a VmPixelFormat value (8, 16,
    // 24, 32 bits; 132 and 164 for one float band of 32 / 64 bits); 0 for an
    // unknown format or a width below 1.
    static int AlignWidth(int pixelFormat, int width);

    // "image/png" or "image/jpeg" when the bytes start like such a file, ""
    // otherwise. Nothing else is decoded, so nothing else is accepted as a tile.
    static PlxMBString SniffImageFormat(const unsigned char* data, size_t size);
    // Decodes PNG or JPEG bytes (grey, grey + alpha, palette, RGB, RGBA) into
    // RGBA. Thread-safe. False when the bytes are no such image.
    static bool DecodeImage(const unsigned char* data, size_t size, VmImageData& image);
};

// ---------------------------------------------------------------------------
// The pyramid of one layer in one tile matrix set, in the form every other
// class here works with. Coordinates are the traditional way round (easting or
// longitude first) whatever axis order the capabilities were written in.

struct VmTileMatrix {
    PlxMBString Identifier;
    double ScaleDenominator = 0.0;  // as the capabilities state it
    double Resolution = 0.0;        // map units per pixel
    double TopLeftX = 0.0;
    double TopLeftY = 0.0;
    int TileWidth = 0;
    int TileHeight = 0;
    int MatrixWidth = 0;
    int MatrixHeight = 0;
    // The tiles the layer has in this matrix, inclusive (the whole matrix
    // unless the layer's link limits it).
    int MinRow = 0;
    int MaxRow = -1;
    int MinCol = 0;
    int MaxCol = -1;

    double TileSpanX() const { return TileWidth * Resolution; }
    double TileSpanY() const { return TileHeight * Resolution; }
    bool HasTile(int row, int col) const { return row >= MinRow && row <= MaxRow && col >= MinCol && col <= MaxCol; }
};

// An inclusive block of tiles of one matrix; empty when a maximum is below
// its minimum.
struct VmTileRange {
    int Matrix = -1;
    int MinRow = 0;
    int MaxRow = -1;
    int MinCol = 0;
    int MaxCol = -1;
    bool IsEmpty() const { return Matrix < 0 || MaxRow < MinRow || MaxCol < MinCol; }
    int64_t Count() const {
        return IsEmpty() ? 0 : static_cast<int64_t>(MaxRow - MinRow + 1) * (MaxCol - MinCol + 1);
    }
};

struct VmTilePyramid {
    PlxMBString TileMatrixSet;
    PlxMBString SupportedCRS;   // as written in the capabilities
    int EpsgCode = 0;           // 3857 for every Web Mercator alias; 4326 for CRS84; 0 unknown
    bool Geographic = false;
    double MetersPerUnit = 1.0;  // 111319.49079327357 for degrees (the value tile servers use)
    std::vector<VmTileMatrix> Matrices;  // coarse to fine
    // Set by Finish:
    int ZoomLevel = 0;  // L
    int TileSize = 0;   // T: tile width of the deepest matrix
    PlxRect2D Bounds;   // the pixel space's square in map units

    // Largest pixel space side Finish accepts: the pixel space is addressed
    // with ints, and 2^30 keeps right + 1 and width sums clear of overflow.
    static constexpr int64_t kMaxPixelSide = int64_t(1) << 30;

    // Orders the matrices coarse to fine and derives L, T and Bounds:
    // origin = the top-left-most corner of all matrices; L = the smallest
    // L >= 0 with 2^L * T * (resolution of the deepest matrix) >= the width and
    // the height that any matrix reaches from the origin; Bounds = origin to
    // origin + that side. Deep matrices that would push the side past
    // kMaxPixelSide pixels are dropped. False when no usable matrix is left.
    bool Finish();
    bool IsValid() const { return !Matrices.empty() && TileSize > 0; }

    // The matrix whose scale denominator is nearest `scale` on a logarithmic
    // scale (ties go to the finer one); -1 for no matrix or a scale that is
    // not positive.
    int NearestMatrix(double scale) const;
    int FindMatrix(const PlxMBString& identifier) const;
    // The scale denominator that a resolution (map units per pixel) stands for.
    double ResolutionToScale(double resolution) const { return resolution * MetersPerUnit / 0.00028; }
    // Size of the pixel space's side (2^L * T) and of one of its pixels in map units.
    int64_t PixelSide() const { return IsValid() ? (int64_t(1) << ZoomLevel) * TileSize : 0; }
    double PixelResolution() const;
    // The map rectangle of an inclusive pixel rectangle of the pixel space.
    PlxRect2D PixelToMap(int left, int top, int right, int bottom) const;

    // The tiles of `matrix` that `bounds` touches with area (edges that only
    // touch do not count), widened by `margin` tiles each way and clipped to
    // the tiles the layer has.
    VmTileRange CoveringTiles(int matrix, const PlxRect2D& bounds, int margin) const;
    PlxRect2D TileBounds(int matrix, int row, int col) const;
    // A text that changes whenever anything that places tiles changes.
    PlxMBString Signature() const;
};

// ---------------------------------------------------------------------------
// Service parameters.

class VmMapServiceParams {
public:
    virtual ~VmMapServiceParams();

    virtual int GetServiceKind() const = 0;
    // The service description is loaded.
    virtual bool IsReady() const = 0;
    // Where the description lives in the cache folder, relative to it and
    // starting with "/" (the caller appends it to the folder as it is).
    virtual PlxMBString GetDescriptionFileName() const = 0;
    // Reads the description from `path`; when the file is missing or
    // unreadable and a service address is set, downloads it there first.
    virtual bool LoadFromPath(const PlxMBString& path) = 0;
    virtual void GetLayerNames(PlxArray<PlxMBString>& names) const = 0;
    // For a layer object: the cache file of the layer, relative to the cache
    // folder and without a leading "/"; "" for a service-level object.
    virtual PlxMBString GetCacheFileName() const = 0;

    void SetServiceAddress(const PlxMBString& address);
    const PlxMBString& GetServiceAddress() const { return m_address; }
    void SetBufferPath(const PlxMBString& folder) { m_bufferPath = folder; }
    const PlxMBString& GetBufferPath() const { return m_bufferPath; }
    // Basic authentication for every download of this service ("" user: none).
    void SetCredentials(const PlxMBString& user, const PlxMBString& password) {
        m_user = user;
        m_password = password;
    }
    const PlxMBString& GetUser() const { return m_user; }
    const PlxMBString& GetPassword() const { return m_password; }

protected:
    PlxMBString m_address;
    PlxMBString m_bufferPath;
    PlxMBString m_user;
    PlxMBString m_password;
};

// A WMTS 1.0.0 service, or (from GetLayerParams) one layer of it in one tile
// matrix set.
//
// Which tile matrix set a layer uses, when GetLayerParams is not told: of the
// sets the layer links to that are defined and have a usable matrix, the
// first in link order that is Web Mercator (EPSG:3857 or an alias such as
// 900913) and GoogleMapsCompatible (by WellKnownScaleSet or by identifier);
// else the first Web Mercator one; else the first usable one. Web Mercator
// comes first because it is what a tile client overlays with most, and the
// document's own order says what the server thinks its main set is.
//
// How matrices are read: corners in the axis order EPSG gives the system,
// except that for geographic sets the other order wins when only it puts the
// coarsest matrix over the world (servers get this wrong both ways); the
// corner of a world-wide Web Mercator set becomes (-20037508.342789244,
// 20037508.342789244) however it was printed; a resolution within 1e-6 of
// world width / (tile width * 2^z) (40075016.68557849 m, or 360 degrees)
// takes that exact value. Printed scale denominators lose digits, and without
// this the pixel space of GoogleMapsCompatible or of the EPSG:4326 sets would
// drift from the tile edges at deep levels.
//
// Which format: "image/png" if offered, else the first PNG variant, else
// JPEG, else the layer's first format (SetFormat changes it).
// Which encoding: KVP when the GetTile operation has a Get address declared
// for KVP; else REST when the layer has a tile ResourceURL; else KVP to a Get
// address that declares no encoding, or (no GetTile operation described at
// all) to the service address. SetTileEncoding changes it.
class VmWMTSParams : public VmMapServiceParams {
public:
    enum Encoding { EncodingNone = 0, EncodingKVP = 1, EncodingREST = 2 };

    VmWMTSParams();
    VmWMTSParams(const VmWMTSParams& other);
    VmWMTSParams& operator=(const VmWMTSParams& other);
    ~VmWMTSParams() override;

    int GetServiceKind() const override { return VmMapServiceWMTS; }
    bool IsReady() const override;
    // "/<safe host>_<hash of the address>/WMTSCapabilities.xml".
    PlxMBString GetDescriptionFileName() const override;
    // Uses the file at `path` when it holds WMTS 1.0.0 capabilities;
    // otherwise (with an address) downloads GetCapabilitiesURL() to a
    // temporary file, checks it, and moves it into place (folders created),
    // so that a failed or partial download never replaces a good file. An
    // exception report or any other document fails. On a layer object the
    // same layer and set are looked up again in the new document.
    bool LoadFromPath(const PlxMBString& path) override;
    // Parses capabilities from memory (no file, no download).
    bool LoadFromText(const PlxMBString& xml);
    // Service object: every layer identifier in document order. Layer
    // object: its own identifier.
    void GetLayerNames(PlxArray<PlxMBString>& names) const override;
    // "<safe host>_<hash of address>/<layer>_<tile matrix set>.cache", names
    // made file-safe (with a hash of the original when that changed them).
    PlxMBString GetCacheFileName() const override;

    // The address that fetches the capabilities: the service address as it
    // is when it already is a GetCapabilities request or names an .xml file
    // (REST), otherwise the address with SERVICE=WMTS&REQUEST=GetCapabilities
    // &VERSION=1.0.0 appended (after "?" or "&" as needed; SERVICE, REQUEST
    // and VERSION already in the address are replaced).
    PlxMBString GetCapabilitiesURL() const;
    // Why the last load failed ("" after a success).
    PlxMBString GetLastError() const { return m_error; }

    // A new layer object, owned by the caller and independent of this object
    // (it shares the immutable parsed document). Null for an unknown layer,
    // a set the layer does not link to, or no usable set.
    VmWMTSParams* GetLayerParams(const PlxMBString& layerName) const;
    VmWMTSParams* GetLayerParams(const PlxMBString& layerName, const PlxMBString& tileMatrixSet) const;
    // The defined sets a layer links to, in link order.
    void GetLayerTileMatrixSets(const PlxMBString& layerName, PlxArray<PlxMBString>& sets) const;

    // Layer object only (empty / 0 / null rectangle on a service object):
    PlxMBString GetLayerName() const;
    PlxMBString GetLayerAlias() const;  // the title, else the identifier
    int GetZoomLevel() const;           // L of the pixel space (see the top of this file)
    int GetTileSize() const;            // T
    PlxRect2D GetBounds() const;        // the pixel space's square in map units
    // EPSG:3857 (and aliases): type 3857. Geographic systems: type 1 with the
    // geographic system (CRS84 is 4326). Other EPSG codes: that code.
    VmPrjCoordSys GetPrjCoordSys() const;
    // Metres per map unit: 1 for metres, 0.3048 for feet, 111319.49079327357
    // per degree for geographic systems. Scale denominators are
    // resolution * ratio / 0.00028 m (the standardised pixel size).
    double GetCoordRatio() const;
    PlxArray<PlxMBString> GetFormats() const;  // the layer's formats in document order
    PlxMBString GetFormat() const;             // the one tiles are requested in
    bool SetFormat(const PlxMBString& format); // false when the layer does not offer it
    PlxMBString GetStyle() const;              // default style, else the first, else ""
    // Tile matrix identifier -> scale denominator, for the matrices the layer uses.
    PlxDict<PlxMBString, double> GetTileScaleNames() const;
    PlxMBString GetTileMatrixSet() const;
    // The layer's WGS 84 bounding box; the null rectangle when not given.
    PlxRect2D GetWGS84Bounds() const;
    const VmTilePyramid& GetPyramid() const { return m_pyramid; }

    int GetTileEncoding() const { return m_encoding; }
    // False when the document offers no way to ask for tiles that way.
    bool SetTileEncoding(int encoding);
    // The GetTile address of one tile; "" for an unknown matrix or no encoding.
    // Dimension values (e.g. TIME) are the dimensions' defaults.
    PlxMBString GetTileURL(const PlxMBString& matrix, int row, int col) const;

    struct Document;

private:
    bool AdoptDocument(std::shared_ptr<const Document> doc);
    bool SelectLayer(const PlxMBString& layerName, const PlxMBString& tileMatrixSet);
    int LayerIndex(const PlxMBString& layerName) const;
    std::string KvpBase() const;
    PlxMBString ServiceFolderName() const;

    std::shared_ptr<const Document> m_doc;
    PlxMBString m_error;
    // Layer object state.
    int m_layer = -1;
    VmTilePyramid m_pyramid;
    PlxMBString m_format;
    int m_encoding = EncodingNone;
};

class VmMapServiceParamsManager {
public:
    // 26 (WMTS): a new VmWMTSParams owned by the caller; null for other kinds.
    static VmMapServiceParams* MakeParams(int kind);
};

// ---------------------------------------------------------------------------
// The cache file of one layer: SQLite with
//   meta(key, value): version, provider, pyramid signature, set, created
//   tiles(matrix, row, col, data, format, timestamp), keyed by matrix identifier, row, col.
// Every method may be called from any thread at any time; one connection
// serves all of them under one lock, and images are decoded outside it.
class VmLocalCacheManager {
public:
    VmLocalCacheManager();
    ~VmLocalCacheManager();
    VmLocalCacheManager(const VmLocalCacheManager&) = delete;
    VmLocalCacheManager& operator=(const VmLocalCacheManager&) = delete;

    static constexpr int kVersion = 50;

    void SetVersion(int version);
    int GetVersion() const;
    void SetServiceProvider(const PlxMBString& address);
    PlxMBString GetServiceProvider() const;

    bool IsCacheFileExist(const PlxMBString& path) const;
    // An existing cache file; false for a missing file, a file that is not
    // SQLite, or one whose version is not GetVersion(). The flag is the
    // platform's open mode and not used. Closes any file open before.
    bool Open(const PlxMBString& path, int flag);
    // A new, empty cache file, replacing any file at `path` (its folder is
    // created). The flag is not used.
    bool Create(const PlxMBString& path, int flag);
    void Close();
    bool IsOpen() const;
    PlxMBString GetPath() const;

    // The layer's pyramid; the stub sets it when it opens. A cache that held
    // tiles of a different pyramid (the service changed its matrices) is
    // emptied, since its tiles would land in the wrong places.
    void SetPyramid(const VmTilePyramid& pyramid);
    VmTilePyramid GetPyramid() const;
    std::shared_ptr<const VmTilePyramid> GetPyramidPtr() const;

    int GetTileSize() const;                // T; 0 without a pyramid
    PlxArray<double> GetScales() const;     // scale denominators, coarse to fine
    double ScaleToNearFixScale(double scale) const;  // 0 without a matrix
    // `bounds` snapped outward to whole tiles of the matrix nearest `scale`,
    // plus `margin` tiles each way, clipped to the tiles the layer has; the
    // null rectangle when nothing is left.
    PlxRect2D ComputeTilesBounds(double scale, const PlxRect2D& bounds, int margin) const;
    VmSize2D GetTileMPSize(double scale) const;

    // The tile at (Scale -> nearest matrix, Row, Col): fills Data, TimeStamp,
    // Format and Bounds. False when absent.
    bool GetTileData(VmTile& tile);
    // Fills Bounds (when the matrix is known); true when the tile is cached.
    bool GetTileInfo(VmTile& tile);
    // Stores Data under (Scale -> nearest matrix, Row, Col); TimeStamp 0 means now.
    bool PutTile(const VmTile& tile);
    // The same by matrix identifier.
    bool PutTile(const PlxMBString& matrix, int row, int col, const std::vector<unsigned char>& data,
                 const PlxMBString& format, int64_t timestamp);
    bool HasTile(const PlxMBString& matrix, int row, int col) const;
    int64_t GetTileCount() const;
    // Decoded RGBA of a cached tile; caller owns. Null when absent or not an
    // image. The flag is the platform's and not used.
    VmImageData* LoadTileImageData(double scale, int row, int col, bool flag);

    // View composition. The pixel rectangle [left..right] x [top..bottom]
    // (inclusive) of the layer's pixel space is drawn into width x height
    // RGBA pixels from the matrix whose resolution is nearest the output
    // resolution (the same "nearest" as ScaleToNearFixScale, so a Request at
    // GetViewScale fetches exactly the tiles the view needs). Cached tiles
    // are decoded, resampled (bilinear by default) and placed; a tile the
    // layer should have but the cache lacks (or cannot decode) stays
    // transparent and makes the view incomplete; areas where the layer has
    // no tiles are transparent without making it incomplete. False for an
    // empty rectangle or size, no pyramid, or a view that would need more
    // than 256 MiB of decoded tiles.
    bool SetViewPort(int left, int top, int right, int bottom, int width, int height);
    unsigned char GetViewState() const;  // 1 complete, 0 tiles missing or no view
    bool GetViewImageSize(int& width, int& height) const;
    int64_t GetViewImageDataSize() const;
    // Copies min(size, data size) bytes: rows top to bottom, RGBA,
    // RowBytes = VmImgToolkit::AlignWidth(32, width).
    bool GetViewImageData(void* buffer, int64_t size) const;
    int GetPixelFormat() const { return 32; }

    // The reentrant form of SetViewPort for callers that compose from
    // several threads: nothing is kept in the manager.
    bool ComposeView(int left, int top, int right, int bottom, int width, int height, VmImageData& image,
                     bool& complete) const;
    // The scale denominator of the matrix SetViewPort would use; 0 when none.
    double GetViewScale(int left, int top, int right, int bottom, int width, int height) const;
    // The map rectangle of a pixel rectangle of the pixel space.
    PlxRect2D GetViewBounds(int left, int top, int right, int bottom) const;
    // 0 nearest neighbour, 1 bilinear (the default).
    void SetResampling(int mode);
    int GetResampling() const;

private:
    bool ReadTile(const PlxMBString& matrix, int row, int col, std::vector<unsigned char>* data,
                  PlxMBString* format, int64_t* timestamp) const;
    bool ConnectLocked(const PlxMBString& path, bool create);
    bool CreateFileLocked(const PlxMBString& path, int version, const PlxMBString& provider,
                          const VmTilePyramid* pyramid);
    bool OpenDatabase(const PlxMBString& path, bool create);
    void CloseLocked();
    bool Exec(const char* sql) const;
    bool WriteMeta(const char* key, const PlxMBString& value);
    bool ReadMeta(const char* key, PlxMBString& value) const;

    mutable std::mutex m_dbMutex;  // the connection and its statements
    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_selectTile = nullptr;
    sqlite3_stmt* m_existsTile = nullptr;
    sqlite3_stmt* m_insertTile = nullptr;
    PlxMBString m_path;

    mutable std::mutex m_stateMutex;  // everything below
    int m_version = kVersion;
    PlxMBString m_provider;
    std::shared_ptr<const VmTilePyramid> m_pyramid;
    int m_resampling = 1;
    bool m_viewValid = false;
    bool m_viewComplete = false;
    VmImageData m_view;
};

// ---------------------------------------------------------------------------
// Downloads.

class VmMapServiceStub;
class VmHttpTransfers;

// The stub's queue as callers see it.
class VmMapDownloadQueue {
public:
    // No tile waiting or downloading.
    bool IsComplete() const;
    // Tiles waiting plus tiles downloading.
    int GetPendingCount() const;
    // Called on a worker thread each time the queue runs empty after work
    // (IsComplete is already true then), with a null tile and status 0 when
    // every tile since the last call was stored, 1 when any failed.
    void SetRequestFinishedFunc(VmTileCallback func, uint64_t user);

private:
    friend class VmMapServiceStub;
    explicit VmMapDownloadQueue(VmMapServiceStub& owner) : m_owner(owner) {}
    VmMapServiceStub& m_owner;
};

// Downloads the tiles of one layer into its cache with a small pool of worker
// threads fed from one queue; their transfers go through one libcurl multi
// handle (VmHttpTransfers), which keeps the connections to the server and
// shares them, and a worker checks and stores what arrives. Callbacks run on
// the worker threads without any lock of the stub held (they may call back
// into the stub); none is called once Stop has begun, and Stop ends the
// transfers under way. Every public method is thread-safe.
class VmMapServiceStub {
public:
    VmMapServiceStub();
    // Stops and joins the workers.
    virtual ~VmMapServiceStub();
    VmMapServiceStub(const VmMapServiceStub&) = delete;
    VmMapServiceStub& operator=(const VmMapServiceStub&) = delete;

    // Starts on a layer object (copied; the caller keeps ownership). Needs
    // the cache manager set before; hands it the layer's pyramid. With
    // `withQueue` false the stub only answers queries (offline use): no
    // worker starts and Request queues nothing. False for a missing cache
    // manager, a parameter object of another kind or a service-level one.
    virtual bool Open(VmMapServiceParams* layerParams, bool withQueue);
    // Cancels queued downloads, ends running ones (as failures, without
    // waiting for their servers) and joins the workers once their callbacks
    // return; idempotent. Open may follow.
    virtual void Stop();
    // Queues the tiles of the matrix nearest `scale` that cover `bounds` and
    // are not cached (flag 1: cached ones too, for a refresh), nearest the
    // centre first; tiles already queued or downloading are not queued
    // again, nor (without flag 1) tiles that failed less than the retry delay
    // ago. `queued` is the number queued. False when not open, for bounds or
    // a scale that give no matrix, or when more than the per-request limit
    // of tiles would be needed (nothing is queued then).
    virtual bool Request(const double& scale, const PlxRect2D& bounds, unsigned char flag, int& queued);
    // Restricts downloads and queries to the named tile matrices (values are
    // not used; an empty dictionary allows every matrix).
    virtual void SetScales(const PlxDict<PlxMBString, double>& scales);

    void SetLocalCacheManager(VmLocalCacheManager* cache);
    VmLocalCacheManager* GetLocalCacheManager() const;
    // The tiles (Scale, Row, Col, Bounds; no data) that cover `bounds` at the
    // matrix nearest `scale`; the caller owns the list. Null when not open,
    // or more than the per-request limit.
    VmTiles* QueryWithBounds(const PlxRect2D& bounds, double scale);
    // Every tile the layer has under `bounds` at the matrix nearest `scale`
    // is cached (true for an area where the layer has no tiles).
    bool IsAllTilesExist(const PlxRect2D& bounds, double scale);
    // After each download attempt, with the tile (Data filled on success):
    // status 0 an image arrived, 1 the download failed, 2 the answer was no
    // decodable image.
    void SetDownloadResponseFunc(VmTileCallback func, uint64_t user);
    // After a tile was stored in the cache, with status 0.
    void SetDataChangedFunc(VmTileCallback func, uint64_t user);
    VmMapDownloadQueue* GetDownloadQueue() { return &m_queueView; }
    unsigned char HasQueue() const;
    bool IsOpen() const;

    // Tuning, before Open: workers, each downloading one tile at a time over
    // its own kept-alive connection (1..32, default DefaultWorkerCount()); how
    // long a failed tile is not asked for again (seconds, default 30); most
    // tiles per Request (default 4096).
    void SetWorkerCount(int count);
    // The worker count of stubs made from now on: 8 unless the host
    // configuration's "TileDownloadConnections" or this setter says
    // otherwise (the host program's --connections).
    static int DefaultWorkerCount();
    static void SetDefaultWorkerCount(int count);
    void SetRetryDelay(int seconds);
    void SetMaxTilesPerRequest(int count);

protected:
    // A subclass supplies the pyramid and how to address one tile.
    struct Source {
        VmTilePyramid pyramid;
        PlxMBString user;
        PlxMBString password;
        std::function<PlxMBString(const VmTileMatrix& matrix, int row, int col)> tileUrl;
    };
    virtual bool MakeSource(VmMapServiceParams* layerParams, Source& source) = 0;

private:
    friend class VmMapDownloadQueue;
    using Key = std::tuple<int, int, int>;  // matrix, row, col
    struct Callback {
        VmTileCallback func = nullptr;
        uint64_t user = 0;
    };

    void WorkerLoop();
    int Download(const Key& key, const std::shared_ptr<const Source>& source, VmHttpTransfers& transfers,
                 VmTile& tile);
    bool Allowed(int matrix) const;
    int PickMatrix(double scale) const;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::shared_ptr<const Source> m_source;
    VmLocalCacheManager* m_cache = nullptr;
    bool m_open = false;
    bool m_withQueue = false;
    bool m_stopping = false;
    std::vector<std::thread> m_workers;
    // The workers' downloads, all through one libcurl multi handle.
    std::shared_ptr<VmHttpTransfers> m_transfers;
    std::deque<Key> m_queue;
    std::set<Key> m_pending;  // queued or downloading
    std::map<Key, int64_t> m_failedAt;  // steady-clock milliseconds
    int m_running = 0;
    bool m_batchFailed = false;
    std::set<PlxMBString> m_allowedMatrices;
    Callback m_onResponse;
    Callback m_onChanged;
    Callback m_onFinished;
    int m_workerCount = DefaultWorkerCount();
    int m_retryDelaySec = 30;
    int m_maxTiles = 4096;
    VmMapDownloadQueue m_queueView;
};

// The WMTS stub: tiles addressed as the layer's VmWMTSParams::GetTileURL.
class VmWMTSServiceStub : public VmMapServiceStub {
public:
    ~VmWMTSServiceStub() override;

protected:
    bool MakeSource(VmMapServiceParams* layerParams, Source& source) override;
};

class VmMapServiceStubManager {
public:
    // 26 (WMTS): a new stub owned by the caller; null for other kinds.
    static VmMapServiceStub* CreateMapServiceStub(int kind);
};

} // namespace VMK
