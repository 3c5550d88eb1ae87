// The WFS vector dataset: one per feature type of a feature service. It reads
// its schema (DescribeFeatureType) when the service is opened, and answers
// queries by bounds, identifiers and attribute filter by downloading GML
// (GetFeature) into in-memory datasets, reusing earlier downloads where they
// can answer.
#pragma once

#include "OGCLayer.h"
#include "VmEngine.h"
#include "VmGeometry.h"
#include "VmOGCCommon.h"

namespace VMK {

class VmDataSourceOGC;
class VmMarkup;
class VmRefTranslator;
class VmWebLayersInfos;

class VM_OGC_API VmDatasetVectorWFS : public VmWebDatasetVector {
public:
    VmDatasetVectorWFS();
    explicit VmDatasetVectorWFS(VmDataSource* dataSource);
    explicit VmDatasetVectorWFS(VmDatasetVectorInfo& info);
    ~VmDatasetVectorWFS() override;

    // The number of features; the first call downloads the whole feature type.
    int GetObjectCount() override;
    unsigned char CanUpdate() override;
    VmRecordset* Query(const VmQueryDef& def) override;
    // Runs an arbitrary GetFeature URL of the caller's own.
    VmRecordset* Query(const PlxMBString& url);

    unsigned char SetFeatureTypeInfo(const WFSFeatureType& info);
    unsigned char GetFeatureTypeInfo(WFSFeatureType& info) const;
    // Asks the service for the schema and builds the type and the fields.
    unsigned char ParseDatasetType();

    // GML: the bounding box of a feature collection, and whether a tag names
    // a geometry property.
    unsigned char ParseFeatureBound(VmCRSBound& bound, PlxMBString gmlPath);
    unsigned char JudgeGeoLabel(PlxMBString tagName);

    PlxRect2D GetLayersBoundUnion(const VmWebLayersInfos& layers);
    PlxMBString GetLayersURLValue(const VmWebLayersInfos& layers);
    PlxMBString GetLayersURLValue(const PlxArray<PlxMBString>& layers);

    const PlxMBString& GetElementName() const { return elementName; }

private:
    friend class VmDatasetVectorWFSTestAccess;

    unsigned char ParseFeatureType(PlxFieldInfos& fields, PlxMBString& typeName, VmDataset::DatasetType& type,
                                   PlxMBString schemaPath);
    PlxFieldInfo GetSysFieldInfo(const PlxMBString& name, const PlxMBString& caption, PlxFieldInfo::FieldType type,
                                 const PlxMBString& textA, const PlxMBString& textB, unsigned char updatable,
                                 unsigned char flag, const PlxMBString& defaultValue);
    void GetSysFieldInfos(VmDataset::DatasetType type, PlxFieldInfos& fields);

    VmDataSource* CreatDataSource(PlxMBString gmlPath, PlxMBString schemaPath, VmGeometry::GMLVersionType version);
    PlxMBString AddGeometry(VmRecordset* recordset, VmMarkup& reader, VmGeometry* geometry,
                            VmRefTranslator& translator, unsigned char transform, VmGeometry::GMLVersionType version);

    VmRecordset* GetRecordsetVector(PlxMBString url, const VmQueryDef& def);
    VmRecordset* GetRecordsetVectorBounds(const VmQueryDef& def, unsigned char cached);
    VmRecordset* GetRecordsetVectorIDs(const VmQueryDef& def, unsigned char cached);
    VmRecordset* GetRecordsetVectorGeneral(const VmQueryDef& def, unsigned char cached);
    PlxMBString GetFeatureIDURLValue(const int* ids, int count) const;

    VmDataSourceOGC* OGCSource() const;
    PlxMBString DownloadSchema(VmDataSourceOGC& source, PlxMBString& failureCode);
    class FieldMatcher;
    void ReadFeature(VmMarkup& reader, VmRecordset* recordset, const PlxFieldInfos& fields,
                     FieldMatcher& matcher, VmGeometry* geometry, VmRefTranslator& translator,
                     unsigned char transform, VmGeometry::GMLVersionType version);

    WFSFeatureType featureTypeInfo;
    PlxMBString elementName;
    unsigned char fieldsSynced = 0;
    int cachedObjectCount = -1;
};

} // namespace VMK
