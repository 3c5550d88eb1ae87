// The WFS targets: reach the dataset's private schema and feature readers the
// way the unit tests do, and the fixed documents each fuzzed one is read with.
#pragma once

#include "FuzzSupport.h"
#include "VmDatasetVectorWFS.h"

#include <memory>

namespace VMK {

class VmDatasetVectorWFSTestAccess {
public:
    static unsigned char Schema(VmDatasetVectorWFS& d, PlxFieldInfos& fields, PlxMBString& typeName,
                                VmDataset::DatasetType& type, const PlxMBString& path) {
        return d.ParseFeatureType(fields, typeName, type, path);
    }
    static void SystemFields(VmDatasetVectorWFS& d, VmDataset::DatasetType type, PlxFieldInfos& fields) {
        d.GetSysFieldInfos(type, fields);
    }
    static VmDataSource* Features(VmDatasetVectorWFS& d, const PlxMBString& gml, const PlxMBString& schema) {
        return d.CreatDataSource(gml, schema, VmGeometry::GML212);
    }
};

} // namespace VMK

namespace ogcfuzz {

// A schema shaped like the ones the common servers send: text, number and
// point properties.
inline const char* FixedSchema() {
    return R"(<xsd:schema xmlns:xsd="http://www.w3.org/2001/XMLSchema">
 <xsd:complexType name="townsType"><xsd:complexContent><xsd:extension base="gml:AbstractFeatureType"><xsd:sequence>
  <xsd:element name="NAME" type="xsd:string"/>
  <xsd:element name="the_geom" type="gml:PointPropertyType"/>
  <xsd:element name="POP" type="xsd:integer"/>
  <xsd:element name="zkArea" type="xsd:double"/>
 </xsd:sequence></xsd:extension></xsd:complexContent></xsd:complexType>
 <xsd:element name="towns" type="ns:townsType"/>
</xsd:schema>)";
}

// A feature collection with one feature of each geometry kind a schema can
// announce, so that whatever type a fuzzed schema gives, features are read.
inline const char* FixedCollection() {
    return R"(<wfs:FeatureCollection xmlns:wfs="http://www.opengis.net/wfs" xmlns:gml="http://www.opengis.net/gml">
 <gml:boundedBy><gml:Box srsName="EPSG:4326"><gml:coordinates>0,40 10,50</gml:coordinates></gml:Box></gml:boundedBy>
 <gml:featureMember><ns:towns fid="towns.1"><ns:the_geom><gml:Point><gml:coordinates>1,41</gml:coordinates></gml:Point></ns:the_geom>
  <ns:NAME>Alpha</ns:NAME><ns:POP>100</ns:POP><ns:zkArea>1.5</ns:zkArea></ns:towns></gml:featureMember>
 <gml:featureMember><ns:towns fid="towns.2"><ns:NAME>Beta</ns:NAME><ns:the_geom><gml:LineString><gml:coordinates>1,41 2,42 3,41</gml:coordinates></gml:LineString></ns:the_geom>
  <ns:POP>2000</ns:POP></ns:towns></gml:featureMember>
 <gml:featureMember><ns:towns fid="towns.3"><ns:the_geom><gml:Polygon><gml:outerBoundaryIs><gml:LinearRing><gml:coordinates>0,40 1,40 1,41 0,40</gml:coordinates></gml:LinearRing></gml:outerBoundaryIs></gml:Polygon></ns:the_geom>
  <ns:NAME>Gamma</ns:NAME></ns:towns></gml:featureMember>
 <gml:featureMember><ns:towns fid="towns.4"><ns:the_geom><gml:MultiPoint><gml:pointMember><gml:Point><gml:coordinates>5,45</gml:coordinates></gml:Point></gml:pointMember></gml:MultiPoint></ns:the_geom></ns:towns></gml:featureMember>
</wfs:FeatureCollection>)";
}

// Reads features into an in-memory source as a GetFeature answer is read,
// then queries every record back the way a caller of the dataset would.
inline void ReadFeatures(const PLX::PlxMBString& gml, const PLX::PlxMBString& schema) {
    VMK::VmDatasetVectorWFS dataset;
    VMK::WFSFeatureType info;
    info.Name = "ns:towns";
    info.SRS = "EPSG:4326";
    dataset.SetFeatureTypeInfo(info);
    std::unique_ptr<VMK::VmDataSource> memory(VMK::VmDatasetVectorWFSTestAccess::Features(dataset, gml, schema));
    if (!memory || memory->GetDatasetCount() < 1) return;
    auto* features = dynamic_cast<VMK::VmDatasetVector*>(memory->GetDataset(0));
    if (!features) return;
    VMK::VmQueryDef def;
    def.QueryType = VMK::VmQueryDef::General;
    VMK::VmRecordset* records = features->Query(def);
    if (!records) return;
    for (records->MoveFirst(); !records->IsEOF(); records->MoveNext()) records->GetFieldValue("NAME");
    features->ReleaseRecordset(records);
}

} // namespace ogcfuzz
