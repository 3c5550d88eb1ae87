// The WFS vector dataset: construction and schema (DescribeFeatureType), the
// system fields per dataset type, GML features into in-memory datasets, and
// the queries that download them.
#include "VmDatasetVectorWFS.h"

#include "OGCCapabilities.h"
#include "VmDataSourceOGC.h"
#include "VmNetwork.h"
#include "VmOGCRequest.h"
#include "VmProjection.h"
#include "VmSpatialIndex.h"
#include "VmStream.h"

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#define VM_LOG_SOURCE "Src/EngineOGC/VmDatasetVectorWFS"

VM_INSTALL_CRASH_DUMP();

namespace VMK {

namespace {

// What a feature's attribute tag must contain to fill each field: the field's
// name without its first "old_", which the schema reader put in front of names
// holding "zk" (the system fields' prefix).
PLX::PlxStringArray AttributeKeys(const PlxFieldInfos& fields) {
    PLX::PlxStringArray keys;
    for (const PlxFieldInfo& field : fields) {
        PlxMBString key = field.Name;
        const int old = key.Find("old_");
        if (old >= 0) key = key.Left(old) + key.Mid(old + 4);
        keys.Add(key);
    }
    return keys;
}

} // namespace

// Every feature of a download repeats the same few tags, so which fields a
// tag fills is worked out once per tag and download.
class VmDatasetVectorWFS::FieldMatcher {
public:
    explicit FieldMatcher(const PlxFieldInfos& fields) : m_keys(AttributeKeys(fields)) {}

    const std::vector<int>& FieldsOf(const PlxMBString& tag) {
        for (const auto& known : m_known)
            if (known.first == tag.str()) return known.second;
        std::vector<int> matched;
        for (int i = 0; i < m_keys.GetSize(); ++i)
            if (tag.Find(m_keys[i]) >= 0) matched.push_back(i);
        // A document of ever new tags is read without the list growing.
        if (m_known.size() >= kTagsKept) m_known.pop_back();
        m_known.emplace_back(tag.str(), std::move(matched));
        return m_known.back().second;
    }

private:
    static constexpr size_t kTagsKept = 64;
    PLX::PlxStringArray m_keys;
    std::vector<std::pair<std::string, std::vector<int>>> m_known;
};

namespace {

// Schemas spell their elements bare, with "xs:" or with "xsd:".
unsigned char FindSchemaElem(VmMarkup& markup, const char* name) {
    for (const char* prefix : {"", "xs:", "xsd:"})
        if (markup.FindElem((PlxMBString(prefix) + name).c_str())) return 1;
    return 0;
}

bool HasLocalName(const PlxMBString& tag, const char* name) {
    int colon = tag.Find(':');
    return (colon < 0 ? tag : tag.Mid(colon + 1)) == name;
}

// The text of the exception an answer carries instead of content ("" when
// the root is not an exception report). The navigator stays before the root.
bool IsExceptionReport(VmMarkup& markup, PlxMBString& message) {
    markup.ResetPos();
    bool report = markup.FindElem() && HasLocalName(markup.GetTagName(), "ServiceExceptionReport");
    if (report && markup.IntoElem()) {
        if (markup.FindElem("ServiceException")) message = markup.GetData();
        markup.OutOfElem();
    }
    markup.ResetPos();
    return report;
}

bool FileIsEmpty(const PlxMBString& path) {
    VmFileStatus status;
    return !VmFile::GetStatus(path, status) || status.size == 0;
}

// Loads a downloaded schema or feature collection; an empty path, a file that
// is not XML and an exception report are refused with their codes.
bool LoadAnswer(VmMarkup& markup, const PlxMBString& path) {
    if (path.IsEmpty()) {
        VM_LOG(VmLogFailure, "EAf013");
        return false;
    }
    if (!markup.Load(path)) {
        VM_LOG(VmLogFailure, "EAg002");
        return false;
    }
    PlxMBString exception;
    if (IsExceptionReport(markup, exception)) {
        VM_LOG(VmLogFailure, "ELj010");
        return false;
    }
    return true;
}

const char* const kSchemaTemplate = "%sSERVICE=WFS&VERSION=%s&REQUEST=DescribeFeatureType&TYPENAME=%s";

} // namespace

// ---------------------------------------------------------------------------
// Construction

VmDatasetVectorWFS::VmDatasetVectorWFS() = default;

VmDatasetVectorWFS::VmDatasetVectorWFS(VmDataSource* dataSource) { SetDataSource(dataSource); }

VmDatasetVectorWFS::VmDatasetVectorWFS(VmDatasetVectorInfo& info) : VmWebDatasetVector(info) {}

VmDatasetVectorWFS::~VmDatasetVectorWFS() = default;

unsigned char VmDatasetVectorWFS::SetFeatureTypeInfo(const WFSFeatureType& info) {
    featureTypeInfo = info;
    return 1;
}

unsigned char VmDatasetVectorWFS::GetFeatureTypeInfo(WFSFeatureType& info) const {
    info = featureTypeInfo;
    return 1;
}

VmDataSourceOGC* VmDatasetVectorWFS::OGCSource() const { return dynamic_cast<VmDataSourceOGC*>(GetDataSource()); }

PlxRect2D VmDatasetVectorWFS::GetLayersBoundUnion(const VmWebLayersInfos&) { return PlxRect2D(); }
PlxMBString VmDatasetVectorWFS::GetLayersURLValue(const VmWebLayersInfos&) { return PlxMBString(); }
PlxMBString VmDatasetVectorWFS::GetLayersURLValue(const PlxArray<PlxMBString>&) { return PlxMBString(); }

unsigned char VmDatasetVectorWFS::CanUpdate() {
    VmDataSource* source = GetDataSource();
    return (IsOpen() && source && !source->IsReadOnly() && !HasFlag(0x20000)) ? 1 : 0;
}

int VmDatasetVectorWFS::GetObjectCount() {
    int count = VmWebDatasetVector::GetObjectCount();
    if (count == cachedObjectCount || cachedObjectCount != -1) return count;
    VmQueryDef def;
    def.QueryType = VmQueryDef::QueryBounds;
    def.Mode2 = 3;
    def.Bounds = GetBounds();
    VmRecordset* recordset = Query(def);
    if (!recordset) return 0;
    count = recordset->GetRecordCount();
    SetObjectCount(count);
    cachedObjectCount = count;
    return count;
}

// ---------------------------------------------------------------------------
// Schema

unsigned char VmDatasetVectorWFS::ParseDatasetType() {
    if (!IsOpen()) Open();
    if (!IsOpen()) {
        VM_LOG(VmLogFailure, "ELc023");
        return 0;
    }
    VmDataSourceOGC* source = OGCSource();
    if (!source) return 0;
    auto* caps = dynamic_cast<WFSCapabilities*>(source->GetCapabilitiesDocument());
    PlxMBString base = RequestBase(caps ? caps->Capability.DescribeFeatureType.GetURL : PlxMBString(), source->GetURL());
    PlxMBString url;
    url.Format(kSchemaTemplate, base.c_str(), source->GetVersion().c_str(), featureTypeInfo.Name.c_str());
    const PlxDsConnection& connection = source->GetConnectionInfo();
    PlxMBString contentType;
    PlxMBString path = VmHttpHelper::RequestFile(url, connection.User, connection.Password, 0, 1, contentType);
    if (path.IsEmpty()) {
        VM_LOG(VmLogFailure, "EAf013");
        return 0;
    }
    if (FileIsEmpty(path)) {
        VmFile::Delete(path);
        VM_LOG(VmLogFailure, "EEh007");
        return 0;
    }
    PlxFieldInfos userFields;
    PlxMBString typeName;
    VmDataset::DatasetType type = GetType();
    if (!ParseFeatureType(userFields, typeName, type, path)) {
        VmFile::Delete(path);
        return 0;
    }
    PlxFieldInfos systemFields;
    GetSysFieldInfos(type, systemFields);
    PlxFieldInfos all;
    all.Append(systemFields);
    all.Append(userFields);
    for (PlxFieldInfo& field : all) {
        if (field.Caption.IsEmpty()) field.Caption = field.Name;
        field.Name.MakeUpper();
        field.Caption.MakeUpper();
    }
    m_Fields = all;
    VmFile::Delete(path);
    SetType(type);
    return 1;
}

unsigned char VmDatasetVectorWFS::ParseFeatureType(PlxFieldInfos& fields, PlxMBString& typeName,
                                                   VmDataset::DatasetType& type, PlxMBString schemaPath) {
    fields.RemoveAll();
    VmMarkup markup;
    if (!LoadAnswer(markup, schemaPath)) return 0;
    if (!FindSchemaElem(markup, "schema")) {
        VM_LOG(VmLogFailure, "EAc006schema");
        return 0;
    }
    markup.IntoElem();
    if (!FindSchemaElem(markup, "complexType")) {
        VM_LOG(VmLogFailure, "EAc006complexType");
        return 0;
    }
    typeName = markup.GetAttrib("name");
    markup.IntoElem();
    if (FindSchemaElem(markup, "complexContent")) {
        markup.IntoElem();
        if (FindSchemaElem(markup, "extension")) {
            markup.IntoElem();
            bool geometry = false;
            if (FindSchemaElem(markup, "sequence")) {
                markup.IntoElem();
                // One working record for all elements: an element that says
                // nothing about its type keeps what the one before left.
                PlxFieldInfo work;
                work.Name = "fid";
                work.Type = PlxFieldInfo::Text;
                work.Size = 256;
                fields.Add(work);
                while (FindSchemaElem(markup, "element")) {
                    PlxMBString typeText = markup.GetAttrib("type");
                    PlxMBString name = markup.GetAttrib("name");
                    markup.IntoElem();
                    if (typeText.IsEmpty()) {
                        if (FindSchemaElem(markup, "simpleType")) {
                            markup.IntoElem();
                            if (FindSchemaElem(markup, "restriction")) {
                                PlxMBString base = markup.GetAttrib("base");
                                if (base.Find("integer") >= 0) {
                                    work.Type = PlxFieldInfo::Int32;
                                } else if (base.Find("string") >= 0) {
                                    work.Type = PlxFieldInfo::Text;
                                    work.Size = 256;
                                    markup.IntoElem();
                                    if (FindSchemaElem(markup, "maxLength"))
                                        work.Size = markup.GetAttrib("value").ToInt(10);
                                    markup.OutOfElem();
                                } else if (base.Find("double") >= 0) {
                                    work.Type = PlxFieldInfo::Double;
                                } else {
                                    work.Type = PlxFieldInfo::Text;
                                }
                            }
                            markup.OutOfElem();
                        }
                    } else if (typeText.Find("gml:") >= 0) {
                        geometry = true;
                        if (typeText.Find("MultiPointPropertyType") >= 0) type = VmDataset::CAD;
                        else if (typeText.Find("PointPropertyType") >= 0) type = VmDataset::Point;
                        else if (typeText.Find("LineStringPropertyType") >= 0) type = VmDataset::Line;
                        else if (typeText.Find("PolygonPropertyType") >= 0) type = VmDataset::Region;
                        else type = VmDataset::CAD;
                        markup.OutOfElem();
                        continue;
                    } else if (typeText.Find("float") >= 0) {
                        work.Type = PlxFieldInfo::Single;
                    } else if (typeText.Find("double") >= 0) {
                        work.Type = PlxFieldInfo::Double;
                    } else if (typeText.Find("integer") >= 0) {
                        work.Type = PlxFieldInfo::Int32;
                    } else {
                        work.Type = PlxFieldInfo::Text;
                        work.Size = 256;
                    }
                    PlxMBString upper = name;
                    work.Name = upper.MakeUpper().Find("ZK") >= 0 ? PlxMBString("old_") + name : name;
                    markup.OutOfElem();
                    fields.Add(work);
                }
                markup.OutOfElem();
            }
            markup.OutOfElem();
            if (!geometry) type = VmDataset::Tabular;
        }
        markup.OutOfElem();
    }
    markup.OutOfElem();
    if (FindSchemaElem(markup, "element")) elementName = markup.GetAttrib("name");
    return 1;
}

// ---------------------------------------------------------------------------
// System fields

PlxFieldInfo VmDatasetVectorWFS::GetSysFieldInfo(const PlxMBString& name, const PlxMBString& caption,
                                                 PlxFieldInfo::FieldType type, const PlxMBString& textA,
                                                 const PlxMBString& textB, unsigned char updatable,
                                                 unsigned char flag, const PlxMBString& defaultValue) {
    PlxFieldInfo field;
    field.Required = flag;
    field.Type = type;
    field.Name = name;
    field.Caption = caption;
    field.Format = textA;
    field.Domain = textB;
    field.Updatable = updatable;
    field.SetDefaultValue(defaultValue);
    return field;
}

void VmDatasetVectorWFS::GetSysFieldInfos(VmDataset::DatasetType type, PlxFieldInfos& fields) {
    fields.RemoveAll();
    fields.FreeExtra();
    auto add = [&](const char* name, PlxFieldInfo::FieldType fieldType, unsigned char updatable,
                   const char* defaultValue = "") {
        fields.Add(GetSysFieldInfo(name, name, fieldType, "", "", updatable, 0, defaultValue));
    };
    const auto I = PlxFieldInfo::Int32, D = PlxFieldInfo::Double, B = PlxFieldInfo::Binary;
    // The spatial columns every line, region and other geometry dataset has.
    auto spatial = [&](bool geometryColumn) {
        add("ZkKey", I, 0);
        add("ZkSdriW", D, 0);
        add("ZkSdriN", D, 0);
        add("ZkSdriE", D, 0);
        add("ZkSdriS", D, 0);
        add("ZkGranule", D, 0);
        if (geometryColumn) add("ZkGeometry", B, 0);
    };
    add("ZkID", I, 0);
    add("ZkUserID", I, 1);
    VmDataset::DatasetType own = GetType();
    switch (static_cast<int>(type)) {
    case 1:
        add("ZkX", D, 1);
        add("ZkY", D, 1);
        break;
    case 101:
    case 137:
        add("ZkX", D, 1);
        add("ZkY", D, 1);
        add("ZkZ", D, 1);
        if (static_cast<int>(own) == 137) {
            add("ZkPointColor", I, 1);
            add("ZkConjointPoints", B, 0);
        }
        break;
    case 3:
    case 35:
        spatial(true);
        add("ZkLength", D, 0);
        add("ZkTopoError", I, 1);
        if (static_cast<int>(own) == 35) add("ZkRouteID", I, 0);
        break;
    case 4:
        spatial(true);
        add("ZkEdgeID", I, 0);
        add("ZkFNode", I, 1);
        add("ZkTNode", I, 1);
        add("ZkResistanceA", D, 1, "1");
        add("ZkResistanceB", D, 1, "1");
        add("ZkLength", D, 0);
        add("ZkTopoError", I, 1);
        break;
    case 5:
        spatial(true);
        add("ZkArea", D, 0);
        add("ZkPerimeter", D, 0);
        break;
    case 7:
    case 105:
        spatial(true);
        break;
    case 103:
        spatial(true);
        add("ZkLength", D, 0);
        break;
    case 149:
        spatial(false);
        add("ZkGeoType", PlxFieldInfo::Int16, 0);
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------
// GML

unsigned char VmDatasetVectorWFS::JudgeGeoLabel(PlxMBString tagName) {
    return (tagName.Find("the_geom") >= 0 || tagName.Find("Property") >= 0 || tagName.Find("ZKGEOMETRY") >= 0) ? 1
                                                                                                              : 0;
}

unsigned char VmDatasetVectorWFS::ParseFeatureBound(VmCRSBound& bound, PlxMBString gmlPath) {
    VmMarkup markup;
    if (!LoadAnswer(markup, gmlPath)) return 0;
    if (!markup.FindElem("wfs:FeatureCollection") || !markup.IntoElem()) return 1;
    if (!markup.FindElem("gml:boundedBy")) return 1;
    markup.IntoElem();
    if (!markup.FindElem("gml:Box")) return 1;
    bound.Name = markup.GetAttrib("srsName");
    markup.IntoElem();
    if (!markup.FindElem("gml:coordinates")) return 1;
    PlxArray<PlxMBString> tuples;
    markup.GetData().Split(" ", tuples, 0);
    if (tuples.GetSize() != 2) return 1;
    // Boxes are stored to single precision, as the coordinates were written.
    auto number = [](const PlxMBString& text) { return static_cast<double>(static_cast<float>(text.ToDouble())); };
    PlxArray<PlxMBString> first, second;
    tuples[0].Split(",", first, 0);
    if (first.GetSize() == 2) {
        bound.Rect.left = number(first[0]);
        bound.Rect.bottom = number(first[1]);
    }
    tuples[1].Split(",", second, 0);
    if (second.GetSize() == 2) {
        bound.Rect.right = number(second[0]);
        bound.Rect.top = number(second[1]);
    }
    return 1;
}

PlxMBString VmDatasetVectorWFS::AddGeometry(VmRecordset* recordset, VmMarkup& reader, VmGeometry* geometry,
                                            VmRefTranslator& translator, unsigned char transform,
                                            VmGeometry::GMLVersionType version) {
    reader.IntoElem();
    if (!reader.FindElem() || reader.GetTagName().Find("gml:") < 0) {
        reader.OutOfElem();
        return PlxMBString();
    }
    PlxMBString text = reader.GetSubDoc();
    VmMarkup element;
    if (element.SetDoc(text) && element.FindElem() && element.GetTagName().Find("Property") >= 0 &&
        element.FindChildElem())
        text = element.GetChildSubDoc();
    geometry->FromGML(text, version);
    if (transform) geometry->Convert(translator, 1);
    recordset->AddNew(geometry, 0);
    reader.OutOfElem();
    return text;
}

void VmDatasetVectorWFS::ReadFeature(VmMarkup& reader, VmRecordset* recordset, const PlxFieldInfos& fields,
                                     FieldMatcher& matcher, VmGeometry* geometry, VmRefTranslator& translator,
                                     unsigned char transform, VmGeometry::GMLVersionType version) {
    // Standing on the feature element inside its member.
    PlxMBString fid = reader.GetAttrib("fid");
    reader.IntoElem();
    bool added = false;
    if (reader.FindElem()) {
        do {
            if (JudgeGeoLabel(reader.GetTagName())) {
                added = !AddGeometry(recordset, reader, geometry, translator, transform, version).IsEmpty();
                break;
            }
        } while (reader.FindElem());
    }
    // A feature without a recognised geometry adds no record, so its values
    // must not land on the record before it.
    if (added) {
        recordset->SetFieldValue("fid", fid);
        while (reader.FindElem()) {
            const std::vector<int>& filled = matcher.FieldsOf(reader.GetTagName());
            if (filled.empty()) continue;
            PlxMBString text = reader.GetData();
            for (int i : filled) recordset->SetFieldValue(fields[i].Name, text);
        }
    }
    reader.OutOfElem();
    if (added) recordset->Update();
}

VmDataSource* VmDatasetVectorWFS::CreatDataSource(PlxMBString gmlPath, PlxMBString schemaPath,
                                                  VmGeometry::GMLVersionType version) {
    std::unique_ptr<VmDataSource> memory(VmDataSourceManager::CreateDataSource(VmDataSourceManager::EngineMemory));
    if (!memory) {
        VM_LOG(VmLogFailure, "EEg001");
        return nullptr;
    }
    memory->GetConnectionInfo().Server = ":memory:";
    memory->Create();

    PlxFieldInfos fields;
    PlxMBString typeName;
    VmDataset::DatasetType type = GetType();
    if (!ParseFeatureType(fields, typeName, type, schemaPath)) {
        VM_LOG(VmLogFailure, "ELg049");
        return nullptr;
    }
    SetType(type);

    VmCRSBound bound;
    ParseFeatureBound(bound, gmlPath);
    VmDatasetVectorInfo info;
    info.Name = memory->GetUnoccupiedDatasetName(typeName, 1);
    info.Type = type;
    info.Bounds = bound.Rect;
    memory->CreateDatasetVector(info);
    auto* dataset = dynamic_cast<VmDatasetVector*>(memory->GetDataset(info.Name));
    if (!dataset) return nullptr;
    dataset->CreateFields(fields);

    if (!fieldsSynced) {
        PlxFieldInfos list;
        dataset->GetFieldInfos(list, 0);
        m_DownloadedFields.RemoveAll();
        for (int i = 0; i < list.GetSize(); ++i) SetFieldInfo(i, list[i]);
        fieldsSynced = 1;
    }

    int geometryType = 0;
    switch (static_cast<int>(type)) {
    case 1: case 137: geometryType = VmGeometry::Point; break;
    case 3: case 4: geometryType = VmGeometry::Line; break;
    case 5: geometryType = VmGeometry::Region; break;
    case 7: geometryType = VmGeometry::Text; break;
    case 35: geometryType = VmGeometry::Route; break;
    case 149: geometryType = VmGeometry::MultiPoint; break;
    default:
        VM_LOG(VmLogFailure, "ELb005");
        return nullptr;
    }
    std::unique_ptr<VmGeometry> geometry(VmGeometryFactory::CreateGeometry(geometryType));
    if (!geometry) return nullptr;

    VmQueryDef loader;
    loader.Options = 3;
    loader.Mode2 = 2;
    VmRecordset* recordset = dataset->Query(loader);
    if (!recordset) return nullptr;
    memory->BeginTrans();

    VmMarkup reader;
    PlxMBString exception;
    if (gmlPath.IsEmpty() || !reader.Load(gmlPath)) {
        dataset->ReleaseRecordset(recordset);
        return nullptr;
    }
    if (IsExceptionReport(reader, exception)) {
        VM_LOG(VmLogFailure, "ELj010");
        dataset->ReleaseRecordset(recordset);
        return nullptr;
    }
    if (reader.FindElem("wfs:FeatureCollection")) {
        reader.IntoElem();
        unsigned char transform = featureTypeInfo.SRS.CompareNoCase("EPSG:4326") != 0 ? 1 : 0;
        PlxMBString code = featureTypeInfo.SRS;
        if (code.Left(5).CompareNoCase("EPSG:") == 0) code = code.Mid(5);
        VmPrjCoordSys source, lonlat;
        source.SetTypeID(code.ToInt(10));
        lonlat.SetTypeID(1);
        lonlat.SetGeoCoordSys(VmGeoCoordSys(4326));
        VmRefTranslator translator;
        translator.SetPrjCoordSysSrc(source);
        translator.SetPrjCoordSysDes(lonlat);
        FieldMatcher matcher(fields);
        while (reader.FindElem("gml:featureMember")) {
            reader.IntoElem();
            if (reader.FindElem())
                ReadFeature(reader, recordset, fields, matcher, geometry.get(), translator, transform, version);
            reader.OutOfElem();
        }
        reader.OutOfElem();
    }
    geometry.reset();
    memory->Commit();
    dataset->ReleaseRecordset(recordset);
    VmSpatialIndex(dataset).BuildSpatialIndex(VmSpatialIndexInfo(2));
    dataset->GetFieldInfos(m_DownloadedFields, 0);
    return memory.release();
}

// ---------------------------------------------------------------------------
// Queries

VmRecordset* VmDatasetVectorWFS::Query(const VmQueryDef& def) {
    VmDataSourceOGC* source = OGCSource();
    unsigned char cached = source ? source->IsCached() : 0;
    switch (def.QueryType) {
    case VmQueryDef::QueryBounds: return GetRecordsetVectorBounds(def, cached);
    case VmQueryDef::QueryIDs: return GetRecordsetVectorIDs(def, cached);
    case VmQueryDef::General: return GetRecordsetVectorGeneral(def, cached);
    default:
        VM_LOG(VmLogFailure, "EKa002");
        return nullptr;
    }
}

VmRecordset* VmDatasetVectorWFS::Query(const PlxMBString& url) {
    VmQueryDef def;
    def.Options = 3;
    def.Mode2 = 3;
    return GetRecordsetVector(url, def);
}

VmRecordset* VmDatasetVectorWFS::GetRecordsetVector(PlxMBString url, const VmQueryDef& def) {
    if (!IsOpen()) Open();
    VmDataSourceOGC* source = OGCSource();
    if (!IsOpen() || !source) return nullptr;
    auto* caps = dynamic_cast<WFSCapabilities*>(source->GetCapabilitiesDocument());
    PlxMBString base = RequestBase(caps ? caps->Capability.GetFeature.GetURL : PlxMBString(), PlxMBString());
    PlxMBString schemaURL;
    schemaURL.Format(kSchemaTemplate, base.c_str(), source->GetVersion().c_str(), featureTypeInfo.Name.c_str());
    const PlxDsConnection& connection = source->GetConnectionInfo();

    PlxMBString schema = VmHttpHelper::RequestFile(schemaURL, connection.User, connection.Password, 0, 1);
    if (FileIsEmpty(schema)) {
        VmFile::Delete(schema);
        VM_LOG(VmLogFailure, "EEh007");
        return nullptr;
    }
    PlxMBString gml = VmHttpHelper::RequestFile(url, connection.User, connection.Password, 0, 1);
    if (FileIsEmpty(gml)) {
        VmFile::Delete(schema);
        VmFile::Delete(gml);
        VM_LOG(VmLogFailure, "EEh007");
        return nullptr;
    }
    VmDataSource* memory = CreatDataSource(gml, schema, VmGeometry::GML212);
    VmFile::Delete(schema);
    VmFile::Delete(gml);
    if (!memory) {
        VM_LOG(VmLogFailure, "ELg049");
        return nullptr;
    }
    m_TempDataSources.Add(memory);
    auto* dataset = dynamic_cast<VmDatasetVector*>(memory->GetDataset(0));
    if (!dataset) return nullptr;
    dataset->SetBounds(def.Bounds);
    return dataset->Query(def);
}

VmRecordset* VmDatasetVectorWFS::GetRecordsetVectorBounds(const VmQueryDef& def, unsigned char cached) {
    PlxRect2D rect;
    rect.IntersectRect(def.Bounds, featureTypeInfo.LatLonBox);
    PlxRect2D request = VmCRSBound("EPSG:4326", rect).Transform(featureTypeInfo.SRS);
    if (cached) return nullptr;
    VmQueryDef local = def;
    if (rect.Height() <= 0 || rect.Width() <= 0) return nullptr;
    local.Bounds = rect;

    for (VmDataSource* memory : m_TempDataSources) {
        auto* dataset = dynamic_cast<VmDatasetVector*>(memory->GetDataset(0));
        if (!dataset) continue;
        for (int j = 0; j < dataset->GetRecordsetCount(); ++j) {
            VmRecordset* earlier = dataset->GetRecordsetAt(j);
            if (earlier->GetQueryType() != VmQueryDef::QueryBounds || !rect.Withins(dataset->GetBounds())) continue;
            if (VmRecordset* answer = dataset->Query(local)) return answer;
        }
    }

    VmDataSourceOGC* source = OGCSource();
    if (!source) return nullptr;
    auto* caps = dynamic_cast<WFSCapabilities*>(source->GetCapabilitiesDocument());
    PlxMBString base = RequestBase(caps ? caps->Capability.GetFeature.GetURL : PlxMBString(), PlxMBString());
    PlxMBString bbox, url;
    bbox.Format("%f,%f,%f,%f", request.left, request.bottom, request.right, request.top);
    url.Format("%sSERVICE=WFS&VERSION=%s&REQUEST=GetFeature&TYPENAME=%s&BBOX=%s&", base.c_str(),
               source->GetVersion().c_str(), featureTypeInfo.Name.c_str(), bbox.c_str());
    VmRecordset* recordset = GetRecordsetVector(url, local);
    if (recordset && recordset->GetDataset()) {
        recordset->GetDataset()->SetBounds(rect);
        SetObjectCount(recordset->GetDataset()->GetObjectCount());
    }
    return recordset;
}

PlxMBString VmDatasetVectorWFS::GetFeatureIDURLValue(const int* ids, int count) const {
    PlxMBString value;
    for (int i = 0; i < count; ++i) {
        PlxMBString piece;
        piece.Format("%s.%d,", elementName.c_str(), ids[i]);
        value += piece;
    }
    value.TrimRight(",");
    return value;
}

VmRecordset* VmDatasetVectorWFS::GetRecordsetVectorIDs(const VmQueryDef& def, unsigned char cached) {
    if (def.IDs.IsEmpty()) return nullptr;
    VmQueryDef local = def;
    if (local.IDFieldName.IsEmpty()) local.IDFieldName = "ZkID";
    VmDataSourceOGC* source = OGCSource();
    if (cached || !source) return nullptr;

    for (VmDataSource* memory : m_TempDataSources) {
        auto* dataset = dynamic_cast<VmDatasetVector*>(memory->GetDataset(0));
        if (!dataset) continue;
        VmRecordset* answer = dataset->Query(local);
        if (answer && answer->GetRecordCount() > 0) return answer;
        if (answer) dataset->ReleaseRecordset(answer);
    }

    auto* caps = dynamic_cast<WFSCapabilities*>(source->GetCapabilitiesDocument());
    PlxMBString base = RequestBase(caps ? caps->Capability.GetFeature.GetURL : PlxMBString(), PlxMBString());
    PlxMBString url;
    url.Format("%sSERVICE=WFS&VERSION=%s&REQUEST=GetFeature&TYPENAME=%s&FEATUREID=%s", base.c_str(),
               source->GetVersion().c_str(), featureTypeInfo.Name.c_str(),
               GetFeatureIDURLValue(&local.IDs[0], local.IDs.GetSize()).c_str());
    VmRecordset* recordset = GetRecordsetVector(url, local);
    if (recordset && recordset->GetDataset()) SetObjectCount(recordset->GetDataset()->GetObjectCount());
    return recordset;
}

VmRecordset* VmDatasetVectorWFS::GetRecordsetVectorGeneral(const VmQueryDef& def, unsigned char cached) {
    if (cached) return nullptr;
    if (!m_TempDataSources.IsEmpty()) {
        // The download that answers the query with the most records wins.
        VmDatasetVector* best = nullptr;
        int bestCount = -1;
        for (VmDataSource* memory : m_TempDataSources) {
            auto* dataset = dynamic_cast<VmDatasetVector*>(memory->GetDataset(0));
            if (!dataset) continue;
            VmRecordset* trial = dataset->Query(def);
            int count = trial ? trial->GetRecordCount() : 0;
            if (trial) dataset->ReleaseRecordset(trial);
            if (count > bestCount) {
                bestCount = count;
                best = dataset;
            }
        }
        return best ? best->Query(def) : nullptr;
    }
    VmQueryDef whole = def;
    whole.QueryType = VmQueryDef::QueryBounds;
    whole.Bounds = featureTypeInfo.LatLonBox;
    VmRecordset* download = GetRecordsetVectorBounds(whole, 0);
    if (!download || !download->GetDataset()) return nullptr;
    VmDatasetVector* dataset = download->GetDataset();
    dataset->ReleaseRecordset(download);
    SetObjectCount(dataset->GetObjectCount());
    return dataset->Query(def);
}

} // namespace VMK
