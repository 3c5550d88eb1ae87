// The host engine: the connection record, the data source and dataset base
// classes that every engine plug-in derives from, and the dataset descriptions.
// A data source owns its datasets; a dataset knows its data source, name, type,
// bounds and projection. A vector dataset also owns the recordsets its queries
// made.
#pragma once

#include "PlxTypes.h"
#include "VmGeometry.h"
#include "VmProjection.h"
#include "VmToolkit.h"

#include <memory>
#include <cstdint>
#include <vector>

struct sqlite3;

namespace VMK {

using PLX::PlxArray;
using PLX::PlxDict;
using PLX::PlxMBString;
using PLX::PlxRect2D;
using PLX::PlxTime;

class VmDataSource;

// What the host asks an engine about its abilities. Only the first is a
// read ability; the others concern writing.
enum VmEngAbility {
    VmEngAbilityRead = 1,
    VmEngAbilityEdit = 2,
    VmEngAbilityCreateDataset = 3,
    VmEngAbilityTransaction = 4,
    VmEngAbilityVersioning = 5,
    VmEngAbilityTopology = 6,
};

// Write actions the host may ask an engine to support.
enum VmEngAction {
    VmEngActionAppend = 1,
    VmEngActionUpdate = 2,
    VmEngActionDelete = 3,
    VmEngActionCreateIndex = 4,
    VmEngActionRename = 5,
};

// The connection record the host fills before it opens a data source.
struct PlxDsConnection {
    int EngineType = 0;
    PlxMBString Server;       // the service address as typed
    PlxMBString Database;     // engine-specific; unused by web engines
    PlxMBString User;
    PlxMBString Password;
    PlxMBString Target;       // service type after opening, or the tile-cache folder
    PlxMBString ServiceKind;  // "wms", "wfs", "wcs", "wmts" as the host gives it
    unsigned char OptionFlag1 = 0;
    unsigned char OptionFlag2 = 0;
    unsigned char OptionFlag3 = 0;
    unsigned char OptionFlag4 = 0;
    unsigned char ReadOnly = 0;  // the host's own flag: the source is never written to
};

class VmDataset {
public:
    // Dataset type numbers the host knows.
    enum DatasetType {
        Tabular = 0,
        Point = 1,
        Line = 3,
        Region = 5,
        Text = 7,
        WebTile = 81,
        Image = 82,
        Grid = 83,
        WebMap = 86,       // a map service (WMS)
        WebCoverage = 87,  // a coverage service (WCS)
        CAD = 149,
        WebFeature = 151,  // a feature service type before its schema is read
    };

    VmDataset() = default;
    virtual ~VmDataset() = default;
    VmDataset(const VmDataset&) = delete;
    VmDataset& operator=(const VmDataset&) = delete;

    virtual PlxMBString GetName() { return m_strName; }
    virtual unsigned char IsOpen() { return m_bOpened; }
    virtual unsigned char Open() { m_bOpened = 1; return 1; }
    virtual void Close() { m_bOpened = 0; }
    virtual PlxRect2D GetBounds() { return m_rcBounds; }
    virtual void SetBounds(const PlxRect2D& rect) { m_rcBounds = rect; }
    virtual void SetPrjCoordSys(const VmPrjCoordSys& system) { m_PrjCoordSys = system; }
    virtual VmPrjCoordSys GetPrjCoordSys() { return m_PrjCoordSys; }
    virtual DatasetType GetType() { return m_nType; }

    void SetName(const PlxMBString& name) { m_strName = name; }
    void SetType(DatasetType type) { m_nType = type; }
    void SetDataSource(VmDataSource* source) { m_pDataSource = source; }
    VmDataSource* GetDataSource() const { return m_pDataSource; }

protected:
    VmDataSource* m_pDataSource = nullptr;  // not owned
    PlxMBString m_strName;
    DatasetType m_nType = Tabular;
    PlxRect2D m_rcBounds;
    VmPrjCoordSys m_PrjCoordSys;
    unsigned char m_bOpened = 0;
};

// Descriptions from which datasets are created.
struct VmDatasetVectorInfo {
    PlxMBString Name;
    PlxMBString TableName;
    VmDataset::DatasetType Type = VmDataset::Tabular;
    PlxRect2D Bounds;
};

struct VmDatasetRasterInfo {
    PlxMBString Name;
    PlxMBString TableName;
    VmDataset::DatasetType Type = VmDataset::Image;
    PlxRect2D Bounds;
    int PixelFormat = 0;
    int Width = 0;
    int Height = 0;
};

// Pixel formats of rasters: bits per pixel of the bands together.
enum VmPixelFormat {
    VmPixelUnknown = 0,
    VmPixelGray8 = 8,
    VmPixelGray16 = 16,
    VmPixelRGB24 = 24,
    VmPixelRGBA32 = 32,
    VmPixelFloat32 = 132,  // one 32-bit float band
    VmPixelFloat64 = 164,  // one 64-bit float band
    VmPixelMulti = 255,    // any other band layout: see GetBandCount and GetDataTypeName
};

// What a raster served as a coverage says of itself, for hosts that show it:
// filled by VmDatasetRaster::GetRasterDescription.
struct VmRasterDescription {
    // One range axis (a band list, a time...) with its values and no-data value.
    struct Axis {
        PlxMBString Name;
        int Min = 0;
        int Max = 0;
        int NullValue = 0;
    };
    PlxMBString Identifier;  // the service's own name, where the dataset is named by a title
    int GridWidth = 0;       // cells of the whole raster, as the engine read them
    int GridHeight = 0;
    PlxArray<Axis> Axes;
    PlxArray<PlxMBString> CRSNames;  // systems a request may use, the one the engine uses first
    PlxArray<PlxRect2D> CRSBounds;   // the raster's bounds in each of CRSNames (null when unknown)
    PlxArray<PlxMBString> Formats;   // answer formats, the native one left out
    PlxMBString NativeFormat;
    PlxArray<PlxMBString> Interpolations;
};

class VmDatasetRaster : public VmDataset {
public:
    VmDatasetRaster() = default;
    explicit VmDatasetRaster(const VmDatasetRasterInfo& info) : m_Info(info) {
        m_strName = info.Name;
        m_nType = info.Type;
        m_rcBounds = info.Bounds;
    }
    const VmDatasetRasterInfo& GetInfo() const { return m_Info; }

    // Web rasters: the picture of `rect` at `width` x `height` pixels, or the
    // answer of a request URL, as a raster owned by the dataset; null when
    // this raster is not a web raster or the request failed.
    virtual VmDatasetRaster* GetDatasetRaster(PlxRect2D rect, int width, int height, PlxMBString format);
    virtual VmDatasetRaster* GetDatasetRaster(PlxMBString url);

    // Layers of rasters drawn from several layers. Each getter empties its
    // output first and returns 1 when it holds something.
    virtual unsigned char GetAllLayerNames(PlxArray<PlxMBString>& names);
    virtual unsigned char GetAllLayerTitles(PlxArray<PlxMBString>& titles);
    virtual unsigned char GetAllLayerIndexes(PlxArray<int>& indexes);
    virtual unsigned char GetVisibleLayerNames(PlxArray<PlxMBString>& names);
    virtual unsigned char GetVisibleLayerTitles(PlxArray<PlxMBString>& titles);
    virtual unsigned char GetVisibleLayerIndexes(PlxArray<int>& indexes);
    virtual unsigned char SetVisibleLayers(const PlxArray<PlxMBString>& names);
    virtual unsigned char SetVisibleLayers(const PlxArray<int>& indexes);
    virtual unsigned char SetTransparent(unsigned char transparent);
    virtual unsigned char GetTransparent();
    // Per layer of the all-layers list: whether it answers feature-information
    // queries, and the style it is drawn with ("" for the server's default).
    virtual unsigned char IsLayerQueryable(int index);
    virtual PlxMBString GetLayerStyle(int index);
    // Chooses the style a layer is drawn with; 0 when the raster has no styles.
    virtual unsigned char SetLayerStyle(const PlxMBString& layerName, const PlxMBString& style);
    // What the service knows about pixel (x, y) of the picture drawn last,
    // added to `values` as field name to value; 0 for rasters that cannot
    // be asked.
    virtual unsigned char GetFeatureInfo(int, int, PlxDict<PlxMBString, PlxMBString>&) { return 0; }

    // Rasters described by their service: replaces `out` and returns 1; 0
    // (with `out` reset) for any other raster.
    virtual unsigned char GetRasterDescription(VmRasterDescription& out);

    // Pixels, for rasters that hold them (the in-memory engine's).
    virtual int GetWidth() { return m_Info.Width; }
    virtual int GetHeight() { return m_Info.Height; }
    virtual int GetBandCount() { return 0; }
    virtual int GetPixelFormat() { return m_Info.PixelFormat; }
    // "Byte", "UInt16", "Int16", "Float32", ... ("" when no pixels).
    virtual PlxMBString GetDataTypeName() { return PlxMBString(); }
    // Reads band `band` (1-based) as doubles, row by row; false when there is
    // no such band.
    virtual bool ReadBand(int band, std::vector<double>& values);
    // Fixes the map rectangle the whole image covers.
    virtual void SetGeoReference(const PlxRect2D& rect);
    // Map rectangle to the pixel rectangle of whole pixels covering it
    // (left/top are column/row, growing right and down; right/bottom one past
    // the last pixel) and back, through the georeference.
    virtual void XYToImg(const PlxRect2D& rect, PlxRect2D& imageRect);
    virtual void ImgToXY(const PlxRect2D& imageRect, PlxRect2D& rect);

protected:
    VmDatasetRasterInfo m_Info;
};

// Base of the web map and coverage datasets: keeps the in-memory data sources
// of past downloads alive for the dataset's life, and the CRS bound in use.
class VmWebDatasetRaster : public VmDatasetRaster {
public:
    VmWebDatasetRaster() = default;
    explicit VmWebDatasetRaster(const VmDatasetRasterInfo& info) : VmDatasetRaster(info) {}
    ~VmWebDatasetRaster() override;

    const VmCRSBound& GetUsedCRSBound() const { return m_UsedCRSBound; }

    // One format from those a service offers that the import engine reads,
    // in this order of preference: "image/png", any other PNG format,
    // "image/jpeg", any other JPEG, then GIF, BMP and TIFF formats; the
    // service's own spelling is returned. "" when none fits.
    virtual PlxMBString GetFixedRequestImageType(const PlxArray<PlxMBString>& formats);

protected:
    PlxArray<VmDataSource*> m_TempDataSources;  // owned
    VmCRSBound m_UsedCRSBound;
};

// Tile-cache types (VmTileCache.h).
struct VmTile;
struct VmImageData;
struct VmSize2D;
struct VmSizeI;
struct PlxRasterBlock;
class VmMapServiceStub;
class VmMapServiceParams;
class VmLocalCacheManager;
using VmTiles = PlxArray<VmTile>;
using VmTileCallback = void (*)(uint64_t user, const VmTile* tile, int status);

// Hands a raster to the host's image display; the platform draws through it.
class VmImgBlocksManager {
public:
    void SetDataset(VmDatasetRaster* raster, bool owned) {
        m_pRaster = raster;
        m_bOwned = owned;
    }
    VmDatasetRaster* GetDataset() const { return m_pRaster; }

private:
    VmDatasetRaster* m_pRaster = nullptr;  // not owned by the manager itself
    bool m_bOwned = false;
};

// Base of the tiled (WMTS) datasets: a raster whose pixels come from a local
// tile cache that a tile-service stub fills. The base keeps the pieces; who
// owns them is the derived dataset's business. Every tile operation answers
// "nothing" here.
class VmDatasetRasterWeb : public VmDatasetRaster {
public:
    VmDatasetRasterWeb() = default;
    explicit VmDatasetRasterWeb(const VmDatasetRasterInfo& info) : VmDatasetRaster(info) {}

    void SetMapServiceStub(VmMapServiceStub* stub) { m_pStub = stub; }
    VmMapServiceStub* GetMapServiceStub() const { return m_pStub; }
    void SetMapServiceParams(VmMapServiceParams* params) { m_pParams = params; }
    VmMapServiceParams* GetMapServiceParams() const { return m_pParams; }
    void SetBufferPath(const PlxMBString& path) { m_strBufferPath = path; }
    const PlxMBString& GetBufferPath() const { return m_strBufferPath; }
    VmLocalCacheManager* GetLocalCacheManager() const { return m_pCacheManager; }
    VmImgBlocksManager& GetImgBlocksManager() { return m_ImgBlocks; }
    void SetInfo(const VmDatasetRasterInfo& info);

    // The pixels of `view` at about `width` x `height`, cut from the cache;
    // `state` 1 when every tile was there. The caller owns the block.
    virtual PlxRasterBlock* GetViewBlock(const PlxRect2D& view, int width, int height, unsigned char& state);
    virtual void GetCurrentVisibleLayers(PlxArray<PlxMBString>& names);
    virtual void SetDownloadResponseFunc(VmTileCallback func, uint64_t user);
    virtual unsigned char Request(const double& scale, const PlxRect2D& bounds, unsigned char flag);
    virtual unsigned char GetTileData(VmTile& tile);
    virtual unsigned char GetTileInfo(VmTile& tile);
    virtual VmSize2D GetTileMPSize(double scale);
    virtual VmSizeI GetTileSize();
    virtual unsigned char IsComplete();
    virtual PlxArray<double> GetScales();
    virtual void SetDataChangedFunc(VmTileCallback func, uint64_t user);
    virtual void SetRequestFinishedFunc(VmTileCallback func, uint64_t user);
    virtual VmTiles* QueryWithBounds(const PlxRect2D& bounds, double scale);
    virtual VmImageData* LoadTileImageData(const VmTile& tile);
    virtual double ScaleToNearFixScale(double scale);
    // The tile level a map window picks for `view` drawn `width` pixels
    // wide: the level nearest that resolution's scale denominator (the
    // standardised 0.28 mm pixel); 0 when the layer has no levels.
    double ViewScale(const PlxRect2D& view, int width);
    virtual PlxRect2D ComputeTilesBounds(double scale, const PlxRect2D& bounds, int margin);
    virtual double GetCoordRatio();
    virtual unsigned char IsAllTilesExist(const PlxRect2D& bounds, double scale);

protected:
    VmMapServiceStub* m_pStub = nullptr;
    VmMapServiceParams* m_pParams = nullptr;
    PlxMBString m_strBufferPath;
    VmLocalCacheManager* m_pCacheManager = nullptr;
    VmImgBlocksManager m_ImgBlocks;
};

class VmTable : public VmDataset {};

// One attribute field of a vector dataset.
struct PlxFieldInfo {
    enum FieldType {
        Boolean = 1, Byte = 2, Int16 = 3, Int32 = 4, Int64 = 5, Single = 6, Double = 7,
        Date = 8, Time = 9, Text = 10, Binary = 128
    };
    unsigned char AllowZeroLength = 1;
    unsigned char Required = 0;  // 0 for the system fields (ZkID, ZkUserID)
    FieldType Type = Text;
    PlxMBString Name;
    PlxMBString Caption;
    PlxMBString Format;
    PlxMBString Domain;
    unsigned char Updatable = 1;
    int Size = 0;  // characters of a Text field; 0 = the engine's default. Not enforced.
    // Text a new record starts with in this field ("" = no value).
    PlxMBString DefaultValue;
    void SetDefaultValue(const PlxMBString& value) { DefaultValue = value; }
    // One of the platform's own fields (ZkID, ZkSdriW, ...), which a dataset
    // lists beside the service's: the name starts with "Zk" in any case. No
    // field of a service does; the engine renames such fields.
    bool IsSystemField() const { return Name.GetLength() >= 2 && Name.Left(2).CompareNoCase("zk") == 0; }
};
using PlxFieldInfos = PlxArray<PlxFieldInfo>;

// What a vector dataset's Query selects.
struct VmQueryDef {
    // The query types. The bounds and identifier types cannot be spelled
    // "Bounds" and "IDs": the members holding their arguments carry those names.
    enum { General = 0, QueryGeneral = 0, QueryBounds = 1, QueryIDs = 2 };
    int QueryType = General;
    int Options = 0;  // the host's options word; accepted, no effect
    int Mode = 0;     // accepted, no effect
    int Mode2 = 0;    // accepted, no effect
    // Bounds: records whose geometry bounds meet these (edges included). An
    // invalid rectangle (see PlxRect2D) selects nothing.
    PlxRect2D Bounds;
    // IDs: records whose IDFieldName value is one of these ("" = "ZkID").
    PlxArray<int> IDs;
    PlxMBString IDFieldName;
    // General: an SQL condition over the dataset's fields, e.g.
    // "POP > 1000 AND NAME LIKE 'A%'"; empty selects every record.
    PlxMBString Filter;
};

class VmDatasetVector;

// A cursor over records of a vector dataset, made by the dataset's Query and
// owned by that dataset. The records it visits are fixed when the query runs;
// records it appends itself (AddNew, Update) join them at the end. A new
// recordset stands on its first record.
//
// Writing: AddNew starts a new record and makes it current; SetFieldValue and
// SetGeometry change the current record (an existing one too); Update stores
// it. Moving away before Update drops the change.
//
// This base class is a recordset over nothing: every read is empty and every
// write fails. Engines derive from it.
class VmRecordset {
public:
    VmRecordset(VmDatasetVector* dataset, int queryType);
    // Leaves the owning dataset's list, so deleting a recordset directly is
    // as safe as releasing it through the dataset.
    virtual ~VmRecordset();
    VmRecordset(const VmRecordset&) = delete;
    VmRecordset& operator=(const VmRecordset&) = delete;

    // Starts a new record carrying a copy of `geometry` (null or empty: a
    // record without geometry) with every field at its default value, and
    // makes it current. `flag` is accepted and ignored.
    virtual unsigned char AddNew(VmGeometry* geometry, int flag);
    // Sets a field of the current record from text, converted to the field's
    // type: numbers as C-locale decimal text, booleans as true/false/1/0,
    // dates and times kept as the text given. Empty text (or white space for a
    // non-text field) is no value. 0 when there is no current record, the
    // field is unknown or ZkID (which the engine numbers itself), or the text
    // does not fit the type (the field is then left without value).
    virtual unsigned char SetFieldValue(const PlxMBString& name, const PlxMBString& text);
    // Replaces the current record's geometry by a copy (null: none).
    virtual unsigned char SetGeometry(VmGeometry* geometry);
    // Stores the current record (inserts a new one, rewrites a changed one).
    // 0 when nothing is being written.
    virtual unsigned char Update();

    virtual int GetRecordCount() const;
    VmDatasetVector* GetDataset() const { return m_pDataset; }
    int GetQueryType() const { return m_nQueryType; }

    // 1 when the recordset now stands on a record.
    virtual unsigned char MoveFirst();
    virtual unsigned char MoveNext();
    virtual unsigned char IsEOF() const;
    // Text of a field of the current record ("" for no value or an unknown
    // field). Integers and booleans as decimal digits, reals as the shortest
    // text that reads back to the same double.
    virtual PlxMBString GetFieldValue(const PlxMBString& name) const;
    // ZkID of the current record; 0 when there is none or it is not yet stored.
    virtual int GetID() const;
    // The current record's geometry, owned by the recordset and valid until it
    // moves; null when the record has none. Changing it changes nothing
    // stored: use SetGeometry and Update.
    virtual VmGeometry* GetGeometry();

protected:
    VmDatasetVector* m_pDataset;  // the owner; null once detached from it
    int m_nQueryType;

private:
    friend class VmDatasetVector;
};

class VmDatasetVector : public VmTable {
public:
    VmDatasetVector() = default;
    explicit VmDatasetVector(const VmDatasetVectorInfo& info) : m_Info(info) {
        m_strName = info.Name;
        m_nType = info.Type;
        m_rcBounds = info.Bounds;
    }
    // Deletes the recordsets still held.
    ~VmDatasetVector() override;
    const VmDatasetVectorInfo& GetInfo() const { return m_Info; }

    // The base keeps the count it is given; engines count their records.
    virtual int GetObjectCount() { return m_nObjectCount; }
    virtual void SetObjectCount(int n) { m_nObjectCount = n; }
    // Whether every bit of `flag` (non-zero) is set in the flags word.
    virtual bool HasFlag(unsigned int flag) { return flag != 0 && (m_nFlags & flag) == flag; }
    void SetFlags(unsigned int flags) { m_nFlags = flags; }
    unsigned int GetFlags() const { return m_nFlags; }
    virtual unsigned char CanUpdate() { return 0; }

    // The base keeps the field list only: CreateFields appends, GetFieldInfos
    // replaces `list` by a copy (`flag` accepted and ignored), SetFieldInfo
    // replaces field `index` or appends at index == count (0 otherwise).
    virtual unsigned char CreateFields(const PlxFieldInfos& fields);
    virtual unsigned char GetFieldInfos(PlxFieldInfos& list, int flag = 0);
    virtual unsigned char SetFieldInfo(int index, const PlxFieldInfo& field);

    // A new recordset owned by the dataset, or null (the base has no records).
    virtual VmRecordset* Query(const VmQueryDef& def);

    // The recordsets the dataset holds, oldest first.
    int GetRecordsetCount() const { return m_Recordsets.GetSize(); }
    VmRecordset* GetRecordsetAt(int index) const;
    // Deletes a recordset this dataset holds; 0 (nothing deleted) for any
    // other pointer.
    unsigned char ReleaseRecordset(VmRecordset* rs);

    // The host's display granularity, kept for it.
    void SetGranule(double g) { m_dGranule = g; }
    double GetGranule() const { return m_dGranule; }

protected:
    // Makes the dataset the owner of `rs`; returns it.
    VmRecordset* AdoptRecordset(VmRecordset* rs);
    void DeleteRecordsets();

    VmDatasetVectorInfo m_Info;
    PlxFieldInfos m_Fields;
    int m_nObjectCount = 0;
    unsigned int m_nFlags = 0;
    double m_dGranule = 0.0;

private:
    friend class VmRecordset;
    void ForgetRecordset(VmRecordset* rs);

    PlxArray<VmRecordset*> m_Recordsets;  // owned
};

// Base of the web feature datasets.
class VmWebDatasetVector : public VmDatasetVector {
public:
    VmWebDatasetVector() = default;
    explicit VmWebDatasetVector(const VmDatasetVectorInfo& info) : VmDatasetVector(info) {}
    ~VmWebDatasetVector() override;

    // The fields of the features as downloaded, which may differ from the
    // fields the dataset shows.
    const PlxFieldInfos& GetDownloadedFields() const { return m_DownloadedFields; }
    void SetDownloadedFields(const PlxFieldInfos& fields) { m_DownloadedFields = fields; }
    // On a web dataset, field descriptions set one by one describe the
    // downloaded fields: index `size` appends, a larger one is refused.
    unsigned char SetFieldInfo(int index, const PlxFieldInfo& field) override;

protected:
    PlxArray<VmDataSource*> m_TempDataSources;  // owned
    PlxFieldInfos m_DownloadedFields;
};

class VmDatasetTopo : public VmDataset {};

// The data source base. The list of datasets is filled and emptied by the
// engine itself; the base only offers lookups over it.
class VmDataSource {
public:
    VmDataSource() = default;
    virtual ~VmDataSource() = default;
    VmDataSource(const VmDataSource&) = delete;
    VmDataSource& operator=(const VmDataSource&) = delete;

    virtual unsigned char Create() { return 0; }
    virtual unsigned char Open() { return 0; }
    virtual unsigned char IsOpen() { return m_bOpened; }
    virtual unsigned char Connect() { return Open(); }
    virtual void Close() { m_bOpened = 0; }
    virtual PlxTime GetDateCreated() { return PlxTime(0.0); }
    virtual PlxTime GetDateLastUpdated() { return PlxTime(0.0); }
    virtual unsigned char SaveInfo() { return 1; }
    virtual unsigned char ChangePassword(const PlxMBString& password) {
        m_dsConnection.Password = password;
        return 1;
    }
    virtual unsigned char DeleteDataset(const PlxMBString& name);
    virtual VmDatasetVector* CreateDatasetVector(const VmDatasetVectorInfo&) { return nullptr; }
    virtual VmDatasetTopo* CreateDatasetTopo(const PlxMBString&) { return nullptr; }
    virtual VmDatasetRaster* CreateDatasetRaster(const VmDatasetRasterInfo&, unsigned char) { return nullptr; }
    virtual PlxMBString GetEngineName() { return PlxMBString(); }
    virtual unsigned char BeginTrans() { return 0; }
    virtual void Commit() {}
    virtual void Rollback() {}
    virtual unsigned char HasAbility(VmEngAbility) { return 0; }
    virtual unsigned char IsSupport(VmDataset::DatasetType) { return 0; }
    virtual unsigned char IsSupport(VmEngAction) { return 0; }
    // The protocol version a service-backed source agreed on ("" otherwise).
    virtual PlxMBString GetServiceVersion() { return PlxMBString(); }

    PlxDsConnection& GetConnectionInfo() { return m_dsConnection; }
    const PlxDsConnection& GetConnectionInfo() const { return m_dsConnection; }
    PlxMBString GetPassword() const { return m_dsConnection.Password; }
    int GetEngineType() const { return m_dsConnection.EngineType; }
    bool IsReadOnly() const { return m_dsConnection.ReadOnly != 0; }

    int GetDatasetCount() const { return m_Datasets.GetSize(); }
    VmDataset* GetDataset(int index) const;
    // The first dataset whose name equals `name` ignoring case, or null.
    VmDataset* GetDataset(const PlxMBString& name) const;
    // `name` when no dataset carries it, otherwise `name` followed by the
    // smallest number from `start` on that makes it free ("roads_1").
    PlxMBString GetUnoccupiedDatasetName(const PlxMBString& name, int start = 1) const;

protected:
    PlxDsConnection m_dsConnection;
    unsigned char m_bOpened = 0;
    VmMutex m_mutex;
    PlxArray<VmDataset*> m_Datasets;  // owned
    int m_nAccessMode = 0;            // the host's; 3 is "read, shared"
    PlxMBString m_strDescription;     // the host's free text about the source
};

// The in-memory engine (219): datasets live in memory for the life of the
// source. Rasters hold their pixels with their georeference; the import
// engine fills them.
class VmDatasetRasterMemory : public VmDatasetRaster {
public:
    // Takes over `pixels`, an in-memory GDAL dataset (GDALDatasetH), and
    // the memory its bands lie in when it does not own that itself.
    VmDatasetRasterMemory(const PlxMBString& name, void* pixels, std::shared_ptr<unsigned char> memory = nullptr);
    ~VmDatasetRasterMemory() override;

    int GetWidth() override;
    int GetHeight() override;
    int GetBandCount() override;
    int GetPixelFormat() override;
    PlxMBString GetDataTypeName() override;
    bool ReadBand(int band, std::vector<double>& values) override;
    void SetGeoReference(const PlxRect2D& rect) override;
    // The GDAL dataset holding the pixels, for the host's own writers.
    void* GetPixels() const { return m_pPixels; }
    // The block the pixels lie in, rows x columns x bands interleaved as
    // imported; null when GDAL holds them itself.
    const std::shared_ptr<unsigned char>& GetMemory() const { return m_pMemory; }

private:
    void* m_pPixels;
    std::shared_ptr<unsigned char> m_pMemory;  // outlives m_pPixels, which is closed first
};

// A vector dataset of the in-memory engine: its records in columns of typed
// values beside their geometries, numbered by ZkID from 1 in insertion order;
// every dataset also has a ZkUserID integer field, so the system fields ZkID
// and ZkUserID never become fields of their own. Attribute filters are SQL
// conditions, which SQLite evaluates over the records in place. Any field
// name works, except two differing only in ASCII case and names starting with
// "zk$" (XML names cannot hold '$'; the engine keeps them for itself).
class VmDatasetVectorMemory : public VmDatasetVector {
public:
    ~VmDatasetVectorMemory() override;

    // The number of records stored; SetObjectCount does not change it.
    int GetObjectCount() override;
    unsigned char CanUpdate() override { return 1; }
    // All or nothing: 0, with no field created, when any name is empty or
    // clashes with a field or another name of the list.
    unsigned char CreateFields(const PlxFieldInfos& fields) override;
    // Renames the column when the name changes; a new type applies to values
    // stored from then on.
    unsigned char SetFieldInfo(int index, const PlxFieldInfo& field) override;
    // Null for an unknown query type or ID field, or a filter that is not one
    // well-formed read-only condition over this dataset (logged).
    VmRecordset* Query(const VmQueryDef& def) override;

    // Asks for an index of the records' bounds. Bounds queries scan the
    // records' boxes, which are kept side by side, and that outruns an
    // index's bookkeeping up to millions of records; the request is kept.
    unsigned char BuildSpatialIndex();
    bool HasSpatialIndex() const;
    // The union of the records' geometry bounds; null when none has geometry.
    PlxRect2D ComputeBounds();

    struct Store;

private:
    friend class VmDataSourceMemory;
    friend class VmRecordsetMemory;
    explicit VmDatasetVectorMemory(const VmDatasetVectorInfo& info);
    // The source's transaction: begun (the dataset made inside it when
    // `createdInside`), then kept or undone.
    void BeginTransaction(bool createdInside);
    void EndTransaction(bool keep);
    // The database is about to close: the dataset lets go of it without
    // dropping its filter table, which would only cost time.
    void LeaveDatabase();

    std::unique_ptr<Store> m_pStore;
};

class VmDataSourceMemory : public VmDataSource {
public:
    VmDataSourceMemory();
    ~VmDataSourceMemory() override;
    // Both need the connection's Server to be ":memory:".
    unsigned char Create() override;
    unsigned char Open() override;
    void Close() override;
    // A new empty vector dataset named info.Name (which must be free) of
    // info.Type with info.Bounds; null for raster types or when not open.
    VmDatasetVector* CreateDatasetVector(const VmDatasetVectorInfo& info) override;
    // Transactions do not nest: BeginTrans inside one, or Commit and Rollback
    // outside one, change nothing and succeed.
    unsigned char BeginTrans() override;
    void Commit() override;
    void Rollback() override;
    PlxMBString GetEngineName() override { return PlxMBString("Memory Engine"); }
    unsigned char HasAbility(VmEngAbility) override { return 1; }
    // Takes over `dataset` (host-side: the import engine adds through this).
    void AddDataset(VmDataset* dataset);
    // The source's own in-memory database, where filters run, opened on
    // first need; null when SQLite cannot open one.
    sqlite3* GetDatabase();

private:
    void EndTransaction(bool keep);

    sqlite3* m_pDatabase = nullptr;
    int m_nTableSerial = 0;
    bool m_bInTransaction = false;
};

// The host's engines by type number. 219 is the in-memory engine: set its
// connection's Server to ":memory:", then Create() it. The caller owns the
// result; null for an engine this host does not have.
class VmDataSourceManager {
public:
    static const int EngineMemory = 219;
    static VmDataSource* CreateDataSource(int engineType);
};

} // namespace VMK
