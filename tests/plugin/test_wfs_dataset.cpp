// The WFS dataset against a scripted feature service: schemas, system fields,
// GML features into records, and queries with reuse of earlier downloads.
#include "ScriptedCapabilities.h"
#include "ScriptedServer.h"
#include "TestSupport.h"
#include "VmDataSourceOGC.h"
#include "VmDatasetVectorWFS.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <map>
#include <thread>

namespace VMK {
// Reaches the dataset's private schema and system-field rules.
class VmDatasetVectorWFSTestAccess {
public:
    static void SystemFields(VmDatasetVectorWFS& d, VmDataset::DatasetType type, PlxFieldInfos& fields) {
        d.GetSysFieldInfos(type, fields);
    }
    static unsigned char Schema(VmDatasetVectorWFS& d, PlxFieldInfos& fields, PlxMBString& typeName,
                                VmDataset::DatasetType& type, const PlxMBString& path) {
        return d.ParseFeatureType(fields, typeName, type, path);
    }
    static PlxMBString FeatureIds(VmDatasetVectorWFS& d, std::vector<int> ids) {
        return d.GetFeatureIDURLValue(ids.data(), static_cast<int>(ids.size()));
    }
};
} // namespace VMK

using namespace VMK;
using Access = VmDatasetVectorWFSTestAccess;
using ogctest::ScriptedRequest;
using ogctest::ScriptedResponse;
using ogctest::ScriptedServer;

namespace {

const char* kSchema = R"(<xsd:schema xmlns:xsd="http://www.w3.org/2001/XMLSchema">
 <xsd:complexType name="townsType"><xsd:complexContent><xsd:extension base="gml:AbstractFeatureType"><xsd:sequence>
  <xsd:element name="NAME" type="xsd:string"/>
  <xsd:element name="the_geom" type="gml:PointPropertyType"/>
  <xsd:element name="POP" type="xsd:integer"/>
  <xsd:element name="zkArea" type="xsd:double"/>
 </xsd:sequence></xsd:extension></xsd:complexContent></xsd:complexType>
 <xsd:element name="towns" type="ns:townsType"/>
</xsd:schema>)";

std::string Town(int id, double x, double y, const std::string& name, int pop, bool geometryFirst = true) {
    std::string geom = "<ns:the_geom><gml:Point><gml:coordinates>" + std::to_string(x) + "," + std::to_string(y) +
                       "</gml:coordinates></gml:Point></ns:the_geom>";
    std::string attrs = "<ns:NAME>" + name + "</ns:NAME><ns:POP>" + std::to_string(pop) +
                        "</ns:POP><ns:zkArea>1.5</ns:zkArea>";
    return "<gml:featureMember><ns:towns fid=\"towns." + std::to_string(id) + "\">" +
           (geometryFirst ? geom + attrs : attrs + geom) + "</ns:towns></gml:featureMember>";
}

std::string Collection(const std::string& members) {
    return "<wfs:FeatureCollection xmlns:wfs=\"http://www.opengis.net/wfs\" xmlns:gml=\"http://www.opengis.net/gml\">"
           "<gml:boundedBy><gml:Box srsName=\"EPSG:4326\"><gml:coordinates>0,40 10,50</gml:coordinates></gml:Box>"
           "</gml:boundedBy>" + members + "</wfs:FeatureCollection>";
}

// A feature service with one feature type whose features are kept by id.
struct ScriptedWFS {
    std::string srs = "EPSG:4326";
    std::string schema = kSchema;
    std::string moreTypes;  // further FeatureType elements, answered like towns
    std::map<int, std::string> towns{{1, Town(1, 1, 41, "Alpha", 100)},
                                     {2, Town(2, 5, 45, "Beta", 2000)},
                                     {3, Town(3, 9, 49, "Gamma", 30000, false)}};
    ScriptedServer server;
    ScriptedWFS() {
        server.SetHandler([this](const ScriptedRequest& r) {
            std::string request = r.Param("REQUEST");
            if (request == "GetCapabilities") {
                const std::string types = ogctest::WfsFeatureType("ns:towns", "Towns", srs) + moreTypes;
                return ScriptedResponse::Ok(ogctest::WfsCapabilities(server.Url("/wfs"), server.Url("/wfs"), types));
            }
            if (request == "DescribeFeatureType") return ScriptedResponse::Ok(schema);
            std::string members;
            std::string wanted = r.Param("FEATUREID");
            for (const auto& [id, town] : towns)
                if (wanted.empty() || wanted.find("towns." + std::to_string(id)) != std::string::npos) members += town;
            return ScriptedResponse::Ok(Collection(members));
        });
    }
    size_t Count(const std::string& request) const {
        size_t n = 0;
        for (const auto& r : server.Requests()) n += r.Param("REQUEST") == request;
        return n;
    }
};

struct WFSTest : ::testing::Test {
    TempFolder temp;
    LogCapture log;
    VmDataSourceOGC source;
    VmDatasetVectorWFS* towns = nullptr;

    void Open(ScriptedWFS& wfs, int count = 1) {
        source.GetConnectionInfo().Server = wfs.server.Url("/wfs").c_str();
        source.GetConnectionInfo().ServiceKind = "wfs";
        ASSERT_TRUE(source.Open());
        ASSERT_EQ(source.GetDatasetCount(), count);
        towns = dynamic_cast<VmDatasetVectorWFS*>(source.GetDataset(0));
        ASSERT_NE(towns, nullptr);
    }
    VmRecordset* Bounds(PlxRect2D rect) {
        VmQueryDef def;
        def.QueryType = VmQueryDef::QueryBounds;
        def.Bounds = rect;
        return towns->Query(def);
    }
};

std::string Names(VmRecordset* rs) {
    std::string out;
    for (rs->MoveFirst(); !rs->IsEOF(); rs->MoveNext()) out += (out.empty() ? "" : ",") + rs->GetFieldValue("NAME").str();
    return out;
}

std::string FieldNames(const PlxFieldInfos& fields) {
    std::string out;
    for (const PlxFieldInfo& f : fields) out += (out.empty() ? "" : ",") + f.Name.str();
    return out;
}

} // namespace

TEST_F(WFSTest, OpeningReadsTheSchemaOfEachFeatureType) {
    ScriptedWFS wfs;
    Open(wfs);
    EXPECT_EQ(towns->GetName(), "Towns");
    EXPECT_EQ(towns->GetType(), VmDataset::Point);
    EXPECT_EQ(towns->GetElementName(), "towns");
    EXPECT_EQ(towns->GetBounds(), PlxRect2D(0, 50, 10, 40));
    PlxFieldInfos fields;
    towns->GetFieldInfos(fields, 0);
    EXPECT_EQ(FieldNames(fields), "ZKID,ZKUSERID,ZKX,ZKY,FID,NAME,POP,OLD_ZKAREA");
    EXPECT_EQ(fields[6].Type, PlxFieldInfo::Int32);
    EXPECT_EQ(fields[7].Type, PlxFieldInfo::Double);
    EXPECT_EQ(wfs.server.LastRequest().target, "/wfs?SERVICE=WFS&VERSION=1.0.0&REQUEST=DescribeFeatureType&TYPENAME=ns:towns");
    EXPECT_FALSE(towns->CanUpdate()) << "the engine never writes to a service";
    EXPECT_TRUE(temp.Files().empty());
    EXPECT_EQ(log.Total(), 0);
}

TEST_F(WFSTest, BoundsQueriesReuseEarlierDownloads) {
    ScriptedWFS wfs;
    Open(wfs);
    VmRecordset* all = Bounds(PlxRect2D(-20, 60, 20, 30));
    ASSERT_NE(all, nullptr);
    EXPECT_EQ(all->GetRecordCount(), 3);
    EXPECT_EQ(Names(all), "Alpha,Beta,") << "values placed before the geometry property are not read";
    EXPECT_EQ(wfs.server.LastRequest().Param("BBOX"), "0.000000,40.000000,10.000000,50.000000")
        << "clipped to the feature type's box";
    EXPECT_EQ(towns->GetObjectCount(), 3);
    all->MoveFirst();
    ASSERT_NE(all->GetGeometry(), nullptr);
    EXPECT_EQ(all->GetGeometry()->GetBounds(), PlxRect2D(1, 41, 1, 41));
    EXPECT_EQ(all->GetFieldValue("fid"), "towns.1");
    EXPECT_EQ(all->GetFieldValue("old_zkArea"), "1.5");

    size_t before = wfs.Count("GetFeature");
    VmRecordset* inner = Bounds(PlxRect2D(4, 46, 6, 44));
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(Names(inner), "Beta");
    EXPECT_EQ(wfs.Count("GetFeature"), before) << "answered from the first download";

    EXPECT_EQ(Bounds(PlxRect2D(20, 60, 30, 55)), nullptr) << "outside the feature type: no request";
    EXPECT_EQ(wfs.Count("GetFeature"), before);
    EXPECT_TRUE(temp.Files().empty());
}

TEST_F(WFSTest, GeneralQueryOnAFreshDatasetDownloadsTheWholeType) {
    ScriptedWFS wfs;
    Open(wfs);
    VmQueryDef filter;
    filter.Filter = "NAME LIKE 'A%'";
    VmRecordset* a = towns->Query(filter);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(Names(a), "Alpha");
    EXPECT_EQ(wfs.Count("GetFeature"), 1u);
    EXPECT_NE(wfs.server.LastRequest().Param("BBOX"), "");
    filter.Filter = "POP < 0 OR";
    EXPECT_EQ(towns->Query(filter), nullptr) << "a malformed filter gives no recordset";
    EXPECT_EQ(wfs.Count("GetFeature"), 1u);
}

TEST_F(WFSTest, IdentifierGeneralAndCachedQueries) {
    ScriptedWFS wfs;
    Open(wfs);
    EXPECT_EQ(Access::FeatureIds(*towns, {3, 17}), "towns.3,towns.17");
    VmQueryDef ids;
    ids.QueryType = VmQueryDef::QueryIDs;
    ids.IDs.Add(2);
    VmRecordset* two = towns->Query(ids);
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(wfs.server.LastRequest().Param("FEATUREID"), "towns.2");
    EXPECT_EQ(Names(two), "Beta") << "records keep the numbers the service gave";

    VmQueryDef filter;
    filter.Filter = "POP > 1000";
    const size_t before = wfs.Count("GetFeature");
    VmRecordset* big = towns->Query(filter);
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(Names(big), "Beta") << "the one earlier download with the most matches answers";
    EXPECT_EQ(wfs.Count("GetFeature"), before);

    VmQueryDef odd;
    odd.QueryType = 3;
    EXPECT_EQ(towns->Query(odd), nullptr);
    EXPECT_EQ(log.Count("EKa002"), 1);

    source.SetCached(1);
    EXPECT_EQ(towns->Query(filter), nullptr);
    EXPECT_EQ(towns->Query(ids), nullptr);
    EXPECT_EQ(Bounds(PlxRect2D(0, 50, 10, 40)), nullptr);
    EXPECT_EQ(wfs.Count("GetFeature"), before) << "a cached source asks nothing";
}

TEST_F(WFSTest, ProjectedFeaturesBecomeLongitudeLatitude) {
    ScriptedWFS wfs;
    wfs.srs = "EPSG:3857";
    wfs.towns = {{1, Town(1, 556597.45, 5621521.49, "Merc", 1)}};
    Open(wfs);
    VmRecordset* rs = Bounds(PlxRect2D(0, 50, 10, 40));
    ASSERT_NE(rs, nullptr);
    EXPECT_EQ(wfs.server.LastRequest().Param("BBOX").substr(0, 9), "0.000000,") << "the box goes in the service's CRS";
    ASSERT_EQ(rs->GetRecordCount(), 1);
    rs->MoveFirst();
    PlxRect2D p = rs->GetGeometry()->GetBounds();
    EXPECT_NEAR(p.left, 5.0, 1e-6);
    EXPECT_NEAR(p.top, 45.0, 1e-6);
}

TEST_F(WFSTest, UnrecognisedGeometryAddsNoRecord) {
    ScriptedWFS wfs;
    wfs.towns = {{1, Town(1, 1, 41, "Kept", 1)},
                 {2, "<gml:featureMember><ns:towns fid=\"towns.2\"><ns:shape><gml:Point><gml:coordinates>2,42"
                     "</gml:coordinates></gml:Point></ns:shape><ns:NAME>Lost</ns:NAME></ns:towns></gml:featureMember>"}};
    Open(wfs);
    VmRecordset* rs = Bounds(PlxRect2D(0, 50, 10, 40));
    ASSERT_NE(rs, nullptr);
    EXPECT_EQ(Names(rs), "Kept") << "the second feature's values do not land on the first record";
}

namespace {

// A schema of one feature type "t" and its element "feat", every tag spelt with `p`.
std::string Schema(const std::string& p, const std::string& elements) {
    return "<" + p + "schema><" + p + "complexType name=\"t\"><" + p + "complexContent><" + p + "extension><" + p +
           "sequence>" + elements + "</" + p + "sequence></" + p + "extension></" + p + "complexContent></" + p +
           "complexType><" + p + "element name=\"feat\"/></" + p + "schema>";
}

std::string Element(const std::string& p, const std::string& name, const std::string& type) {
    return "<" + p + "element name=\"" + name + "\"" + (type.empty() ? "" : " type=\"" + type + "\"") + "/>";
}

// An element typed by a restriction of `base`, with a maxLength unless `length` is empty.
std::string Restricted(const std::string& p, const std::string& name, const std::string& base,
                       const std::string& length) {
    return "<" + p + "element name=\"" + name + "\"><" + p + "simpleType><" + p + "restriction base=\"" + base +
           "\">" + (length.empty() ? "" : "<" + p + "maxLength value=\"" + length + "\"/>") + "</" + p +
           "restriction></" + p + "simpleType></" + p + "element>";
}

// "name type" per field, text fields with their width ("fid 10/256,A 6").
std::string Describe(const PlxFieldInfos& fields) {
    std::string out;
    for (const PlxFieldInfo& f : fields) {
        out += (out.empty() ? "" : ",") + f.Name.str() + " " + std::to_string(static_cast<int>(f.Type));
        if (f.Type == PlxFieldInfo::Text) out += "/" + std::to_string(f.Size);
    }
    return out;
}

} // namespace

// Schemas without a server: the rules on handwritten XSDs.
TEST(WFSSchemaTest, SpellingsTypesAndRestrictions) {
    TempFolder temp;
    LogCapture log;
    VmDatasetVectorWFS dataset;
    auto read = [&](const std::string& xsd, PlxFieldInfos& fields, VmDataset::DatasetType& type) {
        PlxMBString path = temp.Path("schema.xsd");
        std::ofstream(path.str()) << xsd;
        PlxMBString typeName;
        const unsigned char ok = Access::Schema(dataset, fields, typeName, type, path);
        EXPECT_TRUE(!ok || typeName == "t") << typeName.str();
        return ok;
    };
    struct Case {
        std::string prefix;
        std::string elements;
        VmDataset::DatasetType type;
        const char* fields;
    };
    std::vector<Case> cases;
    // An element that says nothing keeps the previous type; xsd:int holds no "integer".
    for (const char* p : {"", "xs:", "xsd:"})
        cases.push_back({p,
                         Element(p, "A", "xsd:float") + Element(p, "g", "gml:MultiPolygonPropertyType") +
                             Restricted(p, "B", "xsd:string", "40") + Element(p, "C", "") + Element(p, "D", "xsd:int"),
                         VmDataset::Region, "fid 10/256,A 6,B 10/40,C 10/40,D 10/256"});
    cases.push_back({"", Element("", "g", "gml:MultiPointPropertyType"), VmDataset::CAD, "fid 10/256"});
    cases.push_back({"", Element("", "g", "gml:GeometryPropertyType"), VmDataset::CAD, "fid 10/256"});
    cases.push_back({"", Element("", "g", "gml:MultiLineStringPropertyType"), VmDataset::Line, "fid 10/256"});
    cases.push_back({"", Element("", "n", "string"), VmDataset::Tabular, "fid 10/256,n 10/256"});
    cases.push_back({"", Element("", "zkArea", "double") + Element("", "AREA", "double"), VmDataset::Tabular,
                     "fid 10/256,old_zkArea 7,AREA 7"});
    // A string restriction without maxLength is back to the full width, not the width before it.
    cases.push_back({"", Restricted("", "B", "xsd:string", "40") + Restricted("", "E", "xsd:string", ""),
                     VmDataset::Tabular, "fid 10/256,B 10/40,E 10/256"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.prefix + c.elements);
        PlxFieldInfos fields;
        VmDataset::DatasetType type = VmDataset::WebFeature;
        ASSERT_TRUE(read(Schema(c.prefix, c.elements), fields, type));
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(Describe(fields), c.fields);
        EXPECT_EQ(dataset.GetElementName(), "feat");
    }

    PlxFieldInfos fields;
    VmDataset::DatasetType type = VmDataset::Line;
    for (const char* bad : {"<ServiceExceptionReport><ServiceException>x</ServiceException></ServiceExceptionReport>",
                            "<notaschema/>", "<schema><element name=\"x\"/></schema>", "<schema><complexType"})
        EXPECT_FALSE(read(bad, fields, type)) << bad;
    EXPECT_EQ(log.Count("ELj010"), 1);
    EXPECT_EQ(log.Count("EAc006schema"), 1);
    EXPECT_EQ(log.Count("EAc006complexType"), 1);
    EXPECT_EQ(log.Count("EAg002"), 1);
    EXPECT_TRUE(read("<schema><complexType name=\"t\"/></schema>", fields, type));
    EXPECT_EQ(type, VmDataset::Line) << "without content the type is left as it came";
}

TEST(WFSSchemaTest, SystemFieldsFollowTheType) {
    VmDatasetVectorWFS dataset;
    PlxFieldInfos fields;
    auto names = [&](int type) {
        Access::SystemFields(dataset, static_cast<VmDataset::DatasetType>(type), fields);
        return FieldNames(fields);
    };
    EXPECT_EQ(names(0), "ZkID,ZkUserID");
    EXPECT_EQ(names(1), "ZkID,ZkUserID,ZkX,ZkY");
    EXPECT_EQ(fields.GetSize(), 4) << "a second call replaces the first";
    EXPECT_EQ(names(137), "ZkID,ZkUserID,ZkX,ZkY,ZkZ") << "the extra point fields follow the dataset's own type";
    dataset.SetType(static_cast<VmDataset::DatasetType>(137));
    EXPECT_EQ(names(137), "ZkID,ZkUserID,ZkX,ZkY,ZkZ,ZkPointColor,ZkConjointPoints");
}

TEST_F(WFSTest, ConcurrentQueriesOnTwoDatasetsOfOneSource) {
    ScriptedWFS wfs;
    wfs.moreTypes = ogctest::WfsFeatureType("ns:villages", "Villages", "EPSG:4326");
    ASSERT_NO_FATAL_FAILURE(Open(wfs, 2));
    auto* villages = dynamic_cast<VmDatasetVectorWFS*>(source.GetDataset(1));
    ASSERT_NE(villages, nullptr);
    // Each thread queries its own dataset: new areas, areas inside earlier
    // ones, and filters, and reads the records.
    std::atomic<int> wrong{0};
    auto work = [&](VmDatasetVectorWFS* set) {
        for (int round = 0; round < 5; ++round) {
            VmQueryDef def;
            def.QueryType = VmQueryDef::QueryBounds;
            def.Bounds = round % 2 ? PlxRect2D(4, 46, 6, 44) : PlxRect2D(0, 50, 10, 40);
            VmRecordset* rs = set->Query(def);
            if (!rs || rs->GetRecordCount() != (round % 2 ? 1 : 3)) ++wrong;
            VmQueryDef filter;
            filter.Filter = "POP > 1000";
            VmRecordset* big = set->Query(filter);
            if (!big || Names(big) != "Beta") ++wrong;
        }
    };
    std::thread other(work, villages);
    work(towns);
    other.join();
    EXPECT_EQ(wrong.load(), 0);
}
