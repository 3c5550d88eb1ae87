// Vector datasets: the base class's field list and recordset ownership, and
// the in-memory engine's tables, loading, queries, editing and transactions.
#include "TestSupport.h"
#include "VmEngine.h"
#include "VmGeometry.h"
#include "VmSpatialIndex.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

using namespace VMK;
using PLX::PlxRect2D;

namespace {

const char* const kOddName = "odd \"name\" x";  // a quote and spaces

PlxFieldInfo Field(const char* name, PlxFieldInfo::FieldType type, const char* defaultValue = "") {
    PlxFieldInfo field;
    field.Name = name;
    field.Caption = name;
    field.Type = type;
    field.SetDefaultValue(defaultValue);
    return field;
}

std::unique_ptr<VmDataSource> OpenMemorySource() {
    std::unique_ptr<VmDataSource> source(VmDataSourceManager::CreateDataSource(VmDataSourceManager::EngineMemory));
    EXPECT_TRUE(source != nullptr);
    if (!source) return source;
    source->GetConnectionInfo().Server = ":memory:";
    EXPECT_EQ(source->Create(), 1);
    return source;
}

// A record to load: a WKT geometry ("" for none) and field texts.
struct Feature {
    const char* wkt;
    const char* name;
    const char* pop;
    const char* area;
    const char* odd;
};

// Loads the way the feature loader does: the general query on the dataset,
// then AddNew / SetFieldValue / Update inside one transaction.
void Load(VmDataSource& source, VmDatasetVector& dataset, const std::vector<Feature>& features) {
    VmQueryDef def;
    def.QueryType = VmQueryDef::General;
    def.Options = 3;
    def.Mode2 = 2;
    VmRecordset* rs = dataset.Query(def);
    ASSERT_TRUE(rs != nullptr);
    ASSERT_EQ(source.BeginTrans(), 1);
    for (const Feature& f : features) {
        std::unique_ptr<VmGeometry> geometry(VmGeometryFactory::CreateGeometry(VmGeometry::Point));
        if (*f.wkt) {
            ASSERT_TRUE(geometry->FromWkt(f.wkt)) << f.wkt;
        }
        ASSERT_EQ(rs->AddNew(*f.wkt ? geometry.get() : nullptr, 0), 1);
        geometry.reset();  // the recordset keeps its own copy
        EXPECT_EQ(rs->SetFieldValue("NAME", f.name), 1);
        rs->SetFieldValue("POP", f.pop);
        rs->SetFieldValue("AREA", f.area);
        EXPECT_EQ(rs->SetFieldValue(kOddName, f.odd), 1);
        ASSERT_EQ(rs->Update(), 1);
    }
    source.Commit();
    dataset.ReleaseRecordset(rs);
}

// The standard fields: system fields first, as the plug-in declares them.
PlxFieldInfos StandardFields() {
    PlxFieldInfos fields;
    fields.Add(Field("ZkID", PlxFieldInfo::Int32));
    fields.Add(Field("ZkUserID", PlxFieldInfo::Int32));
    fields.Add(Field("NAME", PlxFieldInfo::Text));
    fields.Add(Field("POP", PlxFieldInfo::Int32));
    fields.Add(Field("AREA", PlxFieldInfo::Double));
    fields.Add(Field(kOddName, PlxFieldInfo::Text));
    return fields;
}

VmDatasetVector* NewDataset(VmDataSource& source, const char* name = "cities",
                            VmDataset::DatasetType type = VmDataset::Point) {
    VmDatasetVectorInfo info;
    info.Name = name;
    info.Type = type;
    info.Bounds = PlxRect2D(-180, 90, 180, -90);
    VmDatasetVector* dataset = source.CreateDatasetVector(info);
    EXPECT_TRUE(dataset != nullptr);
    if (dataset) {
        EXPECT_EQ(dataset->CreateFields(StandardFields()), 1);
    }
    return dataset;
}

// ZkIDs of a query's records, in the recordset's order; {-1} when it fails.
std::vector<int> Ids(VmDatasetVector& dataset, const VmQueryDef& def) {
    VmRecordset* rs = dataset.Query(def);
    if (!rs) return {-1};
    EXPECT_EQ(rs->GetQueryType(), def.QueryType);
    EXPECT_EQ(rs->GetDataset(), &dataset);
    std::vector<int> ids;
    for (rs->MoveFirst(); !rs->IsEOF(); rs->MoveNext()) ids.push_back(rs->GetID());
    EXPECT_EQ(static_cast<int>(ids.size()), rs->GetRecordCount());
    EXPECT_EQ(dataset.ReleaseRecordset(rs), 1);
    return ids;
}

std::vector<int> ByFilter(VmDatasetVector& dataset, const char* filter) {
    VmQueryDef def;
    def.Filter = filter;
    return Ids(dataset, def);
}

std::vector<int> ByBounds(VmDatasetVector& dataset, const PlxRect2D& bounds) {
    VmQueryDef def;
    def.QueryType = VmQueryDef::QueryBounds;
    def.Bounds = bounds;
    return Ids(dataset, def);
}

std::vector<int> ByIds(VmDatasetVector& dataset, std::vector<int> wanted, const char* field = "") {
    VmQueryDef def;
    def.QueryType = VmQueryDef::QueryIDs;
    def.IDFieldName = field;
    for (int id : wanted) def.IDs.Add(id);
    return Ids(dataset, def);
}

// Text of one field of record `id`.
std::string ValueOf(VmDatasetVector& dataset, int id, const char* field) {
    VmQueryDef def;
    def.QueryType = VmQueryDef::QueryIDs;
    def.IDs.Add(id);
    VmRecordset* rs = dataset.Query(def);
    if (!rs) return "<no recordset>";
    std::string value = rs->IsEOF() ? "<no record>" : rs->GetFieldValue(field).str();
    dataset.ReleaseRecordset(rs);
    return value;
}

const std::vector<Feature> kCities = {
    {"POINT (3 3)", "Alpha", "1500", "12.5", "a"},         // 1
    {"POINT (5 5)", "Beta", "800", "0.25", "b"},           // 2 on the corner of the test box
    {"POINT (5.0000001 3)", "Gamma", "2500", "7", "c"},    // 3 just outside it
    {"POLYGON ((-10 -10, 1 -10, 1 1, -10 1, -10 -10))", "Delta", "", "", "q"},  // 4 touches a corner
    {"LINESTRING (6 0, 6 10)", "Anchor", "40000", "1e3", "d"},                  // 5
    {"", "Nowhere", "1200", "3", "e"},                     // 6 no geometry
    {"POINT (0.5 0.5)", "Epsilon", "abc", "x", "f"},       // 7 numbers that are not
};

// Counts recordsets destroyed, to see who deletes them.
struct CountingRecordset : VmRecordset {
    CountingRecordset(VmDatasetVector* dataset, int* deaths) : VmRecordset(dataset, 0), m_deaths(deaths) {}
    ~CountingRecordset() override { ++*m_deaths; }
    int* m_deaths;
};

struct AdoptingDataset : VmDatasetVector {
    int deaths = 0;
    VmRecordset* Query(const VmQueryDef&) override { return AdoptRecordset(new CountingRecordset(this, &deaths)); }
};

} // namespace

TEST(VmDatasetVectorTest, BaseKeepsFieldsFlagsAndCounts) {
    VmDatasetVectorInfo info;
    info.Name = "base";
    info.Type = VmDataset::Line;
    VmDatasetVector dataset(info);
    EXPECT_EQ(dataset.GetType(), VmDataset::Line);

    PlxFieldInfos two;
    two.Add(Field("A", PlxFieldInfo::Int32));
    two.Add(Field("B", PlxFieldInfo::Text));
    EXPECT_EQ(dataset.CreateFields(two), 1);
    EXPECT_EQ(dataset.CreateFields(two), 1) << "the base appends without checking";
    PlxFieldInfos list;
    list.Add(Field("stale", PlxFieldInfo::Text));
    ASSERT_EQ(dataset.GetFieldInfos(list), 1);
    ASSERT_EQ(list.GetSize(), 4) << "the output is replaced, not appended to";
    EXPECT_EQ(list[0].Name, "A");
    EXPECT_EQ(list[3].Name, "B");
    EXPECT_EQ(list[0].Type, PlxFieldInfo::Int32);

    EXPECT_EQ(dataset.SetFieldInfo(1, Field("C", PlxFieldInfo::Double)), 1);
    EXPECT_EQ(dataset.SetFieldInfo(4, Field("D", PlxFieldInfo::Date)), 1) << "index == count appends";
    EXPECT_EQ(dataset.SetFieldInfo(6, Field("E", PlxFieldInfo::Date)), 0);
    EXPECT_EQ(dataset.SetFieldInfo(-1, Field("E", PlxFieldInfo::Date)), 0);
    dataset.GetFieldInfos(list);
    ASSERT_EQ(list.GetSize(), 5);
    EXPECT_EQ(list[1].Name, "C");
    EXPECT_EQ(list[4].Name, "D");

    dataset.SetObjectCount(42);
    EXPECT_EQ(dataset.GetObjectCount(), 42);
    dataset.SetFlags(0x5);
    EXPECT_TRUE(dataset.HasFlag(0x1));
    EXPECT_TRUE(dataset.HasFlag(0x5));
    EXPECT_FALSE(dataset.HasFlag(0x2));
    EXPECT_FALSE(dataset.HasFlag(0x3)) << "every bit asked for must be set";
    EXPECT_FALSE(dataset.HasFlag(0));
    EXPECT_EQ(dataset.CanUpdate(), 0);
    EXPECT_EQ(dataset.Query(VmQueryDef()), nullptr);
    dataset.SetGranule(0.5);
    EXPECT_EQ(dataset.GetGranule(), 0.5);

    VmWebDatasetVector web;
    web.SetDownloadedFields(two);
    EXPECT_EQ(web.GetDownloadedFields().GetSize(), 2);
    PlxFieldInfos shown;
    web.GetFieldInfos(shown);
    EXPECT_EQ(shown.GetSize(), 0) << "downloaded fields are a list of their own";

    VmRecordset nothing(&dataset, 1);
    EXPECT_EQ(nothing.AddNew(nullptr, 0), 0);
    EXPECT_EQ(nothing.Update(), 0);
    EXPECT_EQ(nothing.IsEOF(), 1);
    EXPECT_EQ(nothing.GetQueryType(), 1);
}

TEST(VmDatasetVectorTest, DatasetOwnsItsRecordsets) {
    int deaths = 0;
    {
        AdoptingDataset dataset;
        VmRecordset* a = dataset.Query(VmQueryDef());
        VmRecordset* b = dataset.Query(VmQueryDef());
        VmRecordset* c = dataset.Query(VmQueryDef());
        ASSERT_EQ(dataset.GetRecordsetCount(), 3);
        EXPECT_EQ(dataset.GetRecordsetAt(1), b);
        EXPECT_EQ(dataset.GetRecordsetAt(3), nullptr);

        EXPECT_EQ(dataset.ReleaseRecordset(b), 1);
        EXPECT_EQ(dataset.GetRecordsetCount(), 2);
        EXPECT_EQ(dataset.ReleaseRecordset(b), 0) << "already gone";
        EXPECT_EQ(dataset.ReleaseRecordset(nullptr), 0);

        AdoptingDataset other;
        VmRecordset* foreign = other.Query(VmQueryDef());
        EXPECT_EQ(dataset.ReleaseRecordset(foreign), 0) << "not this dataset's";
        EXPECT_EQ(other.GetRecordsetCount(), 1);

        delete a;  // deleting directly leaves the list too
        EXPECT_EQ(dataset.GetRecordsetCount(), 1);
        EXPECT_EQ(dataset.GetRecordsetAt(0), c);
        deaths = dataset.deaths;
        EXPECT_EQ(deaths, 2);
    }
    // `c` and the foreign one went with their datasets (ASan checks no double delete).
}

TEST(VmMemoryVectorTest, CreatesDatasetsAndFields) {
    std::unique_ptr<VmDataSource> closed(VmDataSourceManager::CreateDataSource(219));
    VmDatasetVectorInfo info;
    info.Name = "x";
    EXPECT_EQ(closed->CreateDatasetVector(info), nullptr) << "not created yet";

    auto source = OpenMemorySource();
    VmDatasetVector* cities = NewDataset(*source);
    ASSERT_TRUE(cities);
    EXPECT_EQ(source->GetDataset("CITIES"), cities);
    EXPECT_EQ(cities->GetDataSource(), source.get());
    EXPECT_EQ(cities->GetName(), "cities");
    EXPECT_EQ(cities->GetType(), VmDataset::Point);
    EXPECT_EQ(cities->GetBounds(), PlxRect2D(-180, 90, 180, -90));
    EXPECT_EQ(cities->CanUpdate(), 1);
    EXPECT_EQ(cities->GetObjectCount(), 0);

    info.Name = "Cities";
    EXPECT_EQ(source->CreateDatasetVector(info), nullptr) << "the name is taken";
    EXPECT_EQ(source->GetUnoccupiedDatasetName("cities"), "cities_1");
    info.Name = "raster";
    info.Type = VmDataset::Image;
    EXPECT_EQ(source->CreateDatasetVector(info), nullptr);
    info.Name = "";
    info.Type = VmDataset::Region;
    EXPECT_EQ(source->CreateDatasetVector(info), nullptr);

    PlxFieldInfos fields;
    ASSERT_EQ(cities->GetFieldInfos(fields), 1);
    PlxFieldInfos expected = StandardFields();
    ASSERT_EQ(fields.GetSize(), expected.GetSize());
    for (int i = 0; i < fields.GetSize(); ++i) {
        EXPECT_EQ(fields[i].Name, expected[i].Name);
        EXPECT_EQ(fields[i].Type, expected[i].Type);
    }

    // All or nothing: one clash refuses the whole list.
    PlxFieldInfos clash;
    clash.Add(Field("NEW1", PlxFieldInfo::Int32));
    clash.Add(Field("name", PlxFieldInfo::Text));
    EXPECT_EQ(cities->CreateFields(clash), 0) << "names differing in case only";
    PlxFieldInfos reserved;
    reserved.Add(Field("zk$wkb", PlxFieldInfo::Text));
    EXPECT_EQ(cities->CreateFields(reserved), 0);
    PlxFieldInfos twice;
    twice.Add(Field("T", PlxFieldInfo::Int32));
    twice.Add(Field("t", PlxFieldInfo::Int32));
    EXPECT_EQ(cities->CreateFields(twice), 0);
    PlxFieldInfos empty;
    empty.Add(Field("", PlxFieldInfo::Int32));
    EXPECT_EQ(cities->CreateFields(empty), 0);
    // System fields already described are passed over, new ones are added.
    PlxFieldInfos again;
    again.Add(Field("zkid", PlxFieldInfo::Int32));
    again.Add(Field("NEW1", PlxFieldInfo::Int64));
    EXPECT_EQ(cities->CreateFields(again), 1);
    cities->GetFieldInfos(fields);
    ASSERT_EQ(fields.GetSize(), expected.GetSize() + 1);
    EXPECT_EQ(fields[fields.GetSize() - 1].Name, "NEW1");

    // A deleted dataset takes its table along: the name can be used again.
    EXPECT_EQ(source->DeleteDataset("cities"), 1);
    VmDatasetVector* reborn = NewDataset(*source);
    ASSERT_TRUE(reborn);
    reborn->GetFieldInfos(fields);
    EXPECT_EQ(fields.GetSize(), expected.GetSize());
}

TEST(VmMemoryVectorTest, LoaderStoresTypedValues) {
    auto source = OpenMemorySource();
    VmDatasetVector* cities = NewDataset(*source);
    ASSERT_TRUE(cities);
    Load(*source, *cities, kCities);
    EXPECT_EQ(cities->GetObjectCount(), 7);
    cities->SetObjectCount(3);
    EXPECT_EQ(cities->GetObjectCount(), 7) << "the engine counts its records";

    VmRecordset* rs = cities->Query(VmQueryDef());
    ASSERT_TRUE(rs);
    ASSERT_EQ(rs->GetRecordCount(), 7);
    EXPECT_EQ(rs->IsEOF(), 0) << "a new recordset stands on its first record";
    EXPECT_EQ(rs->GetID(), 1);
    EXPECT_EQ(rs->GetFieldValue("name"), "Alpha") << "field names ignore case";
    EXPECT_EQ(rs->GetFieldValue("POP"), "1500");
    EXPECT_EQ(rs->GetFieldValue("AREA"), "12.5");
    EXPECT_EQ(rs->GetFieldValue(kOddName), "a");
    EXPECT_EQ(rs->GetFieldValue("ZkID"), "1");
    EXPECT_EQ(rs->GetFieldValue("nonesuch"), "");
    ASSERT_TRUE(rs->GetGeometry() != nullptr);
    EXPECT_EQ(rs->GetGeometry()->ToWkt(), "POINT (3 3)");
    EXPECT_EQ(rs->GetGeometry()->GetType(), VmGeometry::Point);

    std::vector<std::string> names;
    for (rs->MoveFirst(); !rs->IsEOF(); rs->MoveNext()) names.push_back(rs->GetFieldValue("NAME").str());
    EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "Beta", "Gamma", "Delta", "Anchor", "Nowhere", "Epsilon"}));
    EXPECT_EQ(rs->MoveNext(), 0);
    EXPECT_EQ(rs->GetID(), 0);
    EXPECT_EQ(rs->GetFieldValue("NAME"), "") << "nothing to read past the end";
    EXPECT_EQ(rs->GetGeometry(), nullptr);
    cities->ReleaseRecordset(rs);

    EXPECT_EQ(ValueOf(*cities, 2, "AREA"), "0.25");
    EXPECT_EQ(ValueOf(*cities, 5, "AREA"), "1000") << "reals are stored as numbers";
    EXPECT_EQ(ValueOf(*cities, 4, "POP"), "") << "empty text is no value";
    EXPECT_EQ(ValueOf(*cities, 7, "POP"), "") << "text that is no number is no value";
    EXPECT_EQ(ValueOf(*cities, 4, kOddName), "q");

    VmQueryDef six;
    six.QueryType = VmQueryDef::QueryIDs;
    six.IDs.Add(6);
    rs = cities->Query(six);
    ASSERT_TRUE(rs);
    EXPECT_EQ(rs->GetFieldValue("NAME"), "Nowhere");
    EXPECT_EQ(rs->GetGeometry(), nullptr) << "a record without geometry";
    cities->ReleaseRecordset(rs);
}

TEST(VmMemoryVectorTest, WritingRulesAndConversions) {
    auto source = OpenMemorySource();
    VmDatasetVector* cities = NewDataset(*source);
    ASSERT_TRUE(cities);
    PlxFieldInfos more;
    more.Add(Field("FLAG", PlxFieldInfo::Boolean));
    more.Add(Field("SMALL", PlxFieldInfo::Byte));
    more.Add(Field("BIG", PlxFieldInfo::Int64));
    more.Add(Field("WHEN", PlxFieldInfo::Date));
    more.Add(Field("KIND", PlxFieldInfo::Text, "town"));
    more.Add(Field("LEVEL", PlxFieldInfo::Int16, "3"));
    ASSERT_EQ(cities->CreateFields(more), 1);

    VmRecordset* rs = cities->Query(VmQueryDef());
    ASSERT_TRUE(rs);
    EXPECT_EQ(rs->GetRecordCount(), 0);
    EXPECT_EQ(rs->IsEOF(), 1);
    EXPECT_EQ(rs->SetFieldValue("NAME", "x"), 0) << "no record before AddNew";
    EXPECT_EQ(rs->Update(), 0) << "nothing to store";
    EXPECT_EQ(rs->MoveFirst(), 0);

    std::unique_ptr<VmGeometry> geometry(VmGeometryFactory::CreateGeometry(VmGeometry::Point));
    ASSERT_TRUE(geometry->FromWkt("POINT (1 2)"));
    ASSERT_EQ(rs->AddNew(geometry.get(), 0), 1);
    ASSERT_TRUE(geometry->FromWkt("POINT (8 9)"));  // after AddNew: not the record's
    EXPECT_EQ(rs->IsEOF(), 0) << "the new record is current";
    EXPECT_EQ(rs->GetID(), 0) << "no number before it is stored";
    EXPECT_EQ(rs->GetFieldValue("KIND"), "town") << "fields start at their defaults";
    EXPECT_EQ(rs->SetFieldValue("nonesuch", "1"), 0);
    EXPECT_EQ(rs->SetFieldValue("ZkID", "99"), 0) << "the engine numbers records";
    EXPECT_EQ(rs->SetFieldValue("ZkUserID", "77"), 1);
    EXPECT_EQ(rs->SetFieldValue("POP", " 42 "), 1);
    EXPECT_EQ(rs->SetFieldValue("AREA", "-1.5e2"), 1);
    EXPECT_EQ(rs->SetFieldValue("FLAG", "true"), 1);
    EXPECT_EQ(rs->SetFieldValue("SMALL", "256"), 0) << "out of a byte's range";
    EXPECT_EQ(rs->SetFieldValue("BIG", "9000000000"), 1);
    EXPECT_EQ(rs->SetFieldValue("WHEN", "2021-03-04"), 1);
    EXPECT_EQ(rs->SetFieldValue("NAME", "O'Hara; DROP TABLE x"), 1);
    EXPECT_EQ(rs->GetFieldValue("POP"), "42") << "readable before Update";
    ASSERT_EQ(rs->Update(), 1);
    EXPECT_EQ(rs->GetID(), 1);
    EXPECT_EQ(rs->GetRecordCount(), 1) << "the recordset gains what it stored";
    EXPECT_EQ(rs->IsEOF(), 0);
    EXPECT_EQ(rs->Update(), 0) << "stored already";

    ASSERT_EQ(rs->AddNew(nullptr, 0), 1);
    EXPECT_EQ(rs->SetFieldValue("POP", "3000000000"), 0) << "beyond a 32-bit field";
    EXPECT_EQ(rs->SetFieldValue("FLAG", "maybe"), 0);
    EXPECT_EQ(rs->SetFieldValue("LEVEL", "2.0"), 1) << "a whole number written as a real";
    ASSERT_EQ(rs->Update(), 1);
    EXPECT_EQ(rs->GetID(), 2);
    cities->ReleaseRecordset(rs);

    EXPECT_EQ(ValueOf(*cities, 1, "ZkUserID"), "77");
    EXPECT_EQ(ValueOf(*cities, 1, "POP"), "42");
    EXPECT_EQ(ValueOf(*cities, 1, "AREA"), "-150");
    EXPECT_EQ(ValueOf(*cities, 1, "FLAG"), "1");
    EXPECT_EQ(ValueOf(*cities, 1, "SMALL"), "");
    EXPECT_EQ(ValueOf(*cities, 1, "BIG"), "9000000000");
    EXPECT_EQ(ValueOf(*cities, 1, "WHEN"), "2021-03-04");
    EXPECT_EQ(ValueOf(*cities, 1, "NAME"), "O'Hara; DROP TABLE x");
    EXPECT_EQ(ValueOf(*cities, 1, "LEVEL"), "3");
    EXPECT_EQ(ValueOf(*cities, 2, "POP"), "");
    EXPECT_EQ(ValueOf(*cities, 2, "LEVEL"), "2");
    EXPECT_EQ(ByBounds(*cities, PlxRect2D(0, 3, 2, 1)), std::vector<int>{1}) << "the geometry given at AddNew";
    EXPECT_EQ(ByFilter(*cities, "AREA < -100 AND FLAG = 1 AND BIG > 2147483647"), std::vector<int>{1});
}

TEST(VmMemoryVectorTest, BoundsQueryWithAndWithoutIndex) {
    auto source = OpenMemorySource();
    VmDatasetVector* cities = NewDataset(*source);
    ASSERT_TRUE(cities);
    Load(*source, *cities, kCities);

    const PlxRect2D box(1, 5, 5, 1);
    const std::vector<int> expected = {1, 2, 4};  // inside, on a corner, touching with a corner
    EXPECT_EQ(ByBounds(*cities, box), expected);
    EXPECT_EQ(ByBounds(*cities, PlxRect2D(-100, 100, 100, -100)), (std::vector<int>{1, 2, 3, 4, 5, 7}))
        << "records without geometry are never inside bounds";
    EXPECT_EQ(ByBounds(*cities, PlxRect2D(5.5, 9, 7, 8)), std::vector<int>{5}) << "a line's bounds";
    EXPECT_EQ(ByBounds(*cities, PlxRect2D(5, 1, 1, 5)), std::vector<int>{}) << "an inverted box is invalid";
    EXPECT_EQ(ByBounds(*cities, PlxRect2D()), std::vector<int>{});

    VmSpatialIndex none(cities);
    EXPECT_EQ(none.BuildSpatialIndex(VmSpatialIndexInfo(0)), 0);
    auto* memory = dynamic_cast<VmDatasetVectorMemory*>(cities);
    ASSERT_TRUE(memory);
    EXPECT_FALSE(memory->HasSpatialIndex());

    VmSpatialIndex index(cities);
    ASSERT_EQ(index.BuildSpatialIndex(VmSpatialIndexInfo()), 1);
    EXPECT_TRUE(memory->HasSpatialIndex());
    EXPECT_EQ(index.BuildSpatialIndex(VmSpatialIndexInfo()), 1) << "building twice is harmless";
    // Record 3 lies within the index's single-precision rounding of the box:
    // only the exact bounds keep it out.
    EXPECT_EQ(ByBounds(*cities, box), expected);
    EXPECT_EQ(ByBounds(*cities, PlxRect2D(5.5, 9, 7, 8)), std::vector<int>{5});

    // Records stored after the index was built are found through it.
    Load(*source, *cities, {{"POINT (2 2)", "Late", "1", "1", "g"}, {"", "Late2", "1", "1", "h"}});
    EXPECT_EQ(ByBounds(*cities, box), (std::vector<int>{1, 2, 4, 8}));
    EXPECT_EQ(cities->GetObjectCount(), 9);

    EXPECT_EQ(memory->ComputeBounds(), PlxRect2D(-10, 10, 6, -10));

    VmDatasetVector plain;
    VmSpatialIndex unsupported(&plain);
    EXPECT_EQ(unsupported.BuildSpatialIndex(VmSpatialIndexInfo()), 0);
}

TEST(VmMemoryVectorTest, IdQueries) {
    auto source = OpenMemorySource();
    VmDatasetVector* cities = NewDataset(*source);
    ASSERT_TRUE(cities);
    Load(*source, *cities, kCities);

    EXPECT_EQ(ByIds(*cities, {4, 2, 99, 2, -1}), (std::vector<int>{2, 4})) << "in record order, once, known only";
    EXPECT_EQ(ByIds(*cities, {}), std::vector<int>{});
    EXPECT_EQ(ByIds(*cities, {6}, "zkid"), std::vector<int>{6});
    EXPECT_EQ(ByIds(*cities, {800, 2500, 12}, "POP"), (std::vector<int>{2, 3}));
    EXPECT_EQ(ByIds(*cities, {1}, "nonesuch"), std::vector<int>{-1}) << "an unknown field gives no recordset";

    // The identifier field the plug-in fills from feature identifiers.
    VmQueryDef all;
    VmRecordset* rs = cities->Query(all);
    ASSERT_TRUE(rs);
    int userId = 100;
    for (rs->MoveFirst(); !rs->IsEOF(); rs->MoveNext()) {
        ASSERT_EQ(rs->SetFieldValue("ZkUserID", std::to_string(userId++).c_str()), 1);
        ASSERT_EQ(rs->Update(), 1);
    }
    EXPECT_EQ(rs->GetRecordCount(), 7) << "rewriting records adds none";
    cities->ReleaseRecordset(rs);
    EXPECT_EQ(ByIds(*cities, {103, 106, 5}, "ZkUserID"), (std::vector<int>{4, 7}));
}

TEST(VmMemoryVectorTest, FilterQueries) {
    auto source = OpenMemorySource();
    VmDatasetVector* cities = NewDataset(*source);
    ASSERT_TRUE(cities);
    Load(*source, *cities, kCities);
    LogCapture log;

    EXPECT_EQ(ByFilter(*cities, ""), (std::vector<int>{1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(ByFilter(*cities, "  \n"), (std::vector<int>{1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(ByFilter(*cities, "POP > 1000"), (std::vector<int>{1, 3, 5, 6}));
    EXPECT_EQ(ByFilter(*cities, "NAME LIKE 'A%'"), (std::vector<int>{1, 5}));
    EXPECT_EQ(ByFilter(*cities, "POP > 1000 AND NAME LIKE 'A%'"), (std::vector<int>{1, 5}));
    EXPECT_EQ(ByFilter(*cities, "AREA BETWEEN 1 AND 20 OR POP IS NULL"), (std::vector<int>{1, 3, 4, 6, 7}));
    EXPECT_EQ(ByFilter(*cities, "\"odd \"\"name\"\" x\" = 'q'"), std::vector<int>{4}) << "a quoted odd field name";
    EXPECT_EQ(ByFilter(*cities, "ZkID IN (SELECT ZkID FROM cities)"), std::vector<int>{-1})
        << "the dataset name is no table";
    EXPECT_EQ(log.Count("malformed attribute filter"), 1);

    const char* refused[] = {
        "POP >",                                         // incomplete
        "1); DROP TABLE x; --",                          // a second statement
        "1); DELETE FROM sqlite_master; --",
        "ZkID = 1 -- the rest is a comment",             // eats the closing parenthesis
        "NAME = \"Alpha\"",                              // double quotes name columns, not strings
        "ZkID IN (SELECT rowid FROM sqlite_master)",     // other tables are out of reach
        "1) UNION SELECT 1 FROM pragma_table_list WHERE (1",  // well-formed, but reads the schema
    };
    for (const char* filter : refused) {
        int before = log.Count("malformed attribute filter");
        EXPECT_EQ(ByFilter(*cities, filter), std::vector<int>{-1}) << filter;
        EXPECT_EQ(log.Count("malformed attribute filter"), before + 1) << "one entry per refusal: " << filter;
    }
    EXPECT_EQ(cities->GetObjectCount(), 7) << "the table is untouched";
    EXPECT_EQ(ByFilter(*cities, "POP > 1000"), (std::vector<int>{1, 3, 5, 6}));
    EXPECT_EQ(cities->GetRecordsetCount(), 0) << "refused queries leave no recordset behind";
}

TEST(VmMemoryVectorTest, EditingExistingRecords) {
    auto source = OpenMemorySource();
    VmDatasetVector* cities = NewDataset(*source);
    ASSERT_TRUE(cities);
    Load(*source, *cities, kCities);
    VmSpatialIndex(cities).BuildSpatialIndex(VmSpatialIndexInfo());

    VmQueryDef two;
    two.QueryType = VmQueryDef::QueryIDs;
    two.IDs.Add(2);
    two.IDs.Add(3);
    VmRecordset* rs = cities->Query(two);
    ASSERT_TRUE(rs);
    EXPECT_EQ(rs->SetFieldValue("POP", "7"), 1) << "writing into the current record";
    std::unique_ptr<VmGeometry> far(VmGeometryFactory::CreateGeometry(VmGeometry::Point));
    ASSERT_TRUE(far->FromWkt("POINT (50 50)"));
    EXPECT_EQ(rs->SetGeometry(far.get()), 1);
    ASSERT_EQ(rs->Update(), 1);
    EXPECT_EQ(rs->GetID(), 2);
    ASSERT_EQ(rs->MoveNext(), 1);
    EXPECT_EQ(rs->SetFieldValue("POP", "8"), 1);
    rs->MoveFirst();  // moving away drops the change
    EXPECT_EQ(rs->GetFieldValue("POP"), "7");
    cities->ReleaseRecordset(rs);

    EXPECT_EQ(ValueOf(*cities, 2, "POP"), "7");
    EXPECT_EQ(ValueOf(*cities, 2, "NAME"), "Beta") << "other fields keep their values";
    EXPECT_EQ(ValueOf(*cities, 3, "POP"), "2500");
    EXPECT_EQ(cities->GetObjectCount(), 7);
    EXPECT_EQ(ByBounds(*cities, PlxRect2D(1, 5, 5, 1)), (std::vector<int>{1, 4})) << "the index moved with it";
    EXPECT_EQ(ByBounds(*cities, PlxRect2D(49, 51, 51, 49)), std::vector<int>{2});

    // Renaming a field renames its column; an index past the end is refused.
    PlxFieldInfos fields;
    cities->GetFieldInfos(fields);
    PlxFieldInfo renamed = fields[3];
    ASSERT_EQ(renamed.Name, "POP");
    renamed.Name = "POPULATION";
    EXPECT_EQ(cities->SetFieldInfo(3, renamed), 1);
    EXPECT_EQ(ByFilter(*cities, "POPULATION = 7"), std::vector<int>{2});
    EXPECT_EQ(ByFilter(*cities, "POP = 7"), std::vector<int>{-1});
    renamed.Name = "NAME";
    EXPECT_EQ(cities->SetFieldInfo(3, renamed), 0) << "taken";
    EXPECT_EQ(cities->SetFieldInfo(0, Field("Other", PlxFieldInfo::Int32)), 0) << "ZkID stays ZkID";
    EXPECT_EQ(cities->SetFieldInfo(99, Field("Other", PlxFieldInfo::Int32)), 0);
    EXPECT_EQ(cities->SetFieldInfo(fields.GetSize(), Field("EXTRA", PlxFieldInfo::Double)), 1);
    EXPECT_EQ(ValueOf(*cities, 1, "EXTRA"), "");
    EXPECT_EQ(ValueOf(*cities, 1, "POPULATION"), "1500");
}

TEST(VmMemoryVectorTest, Transactions) {
    auto source = OpenMemorySource();
    VmDatasetVector* cities = NewDataset(*source);
    ASSERT_TRUE(cities);
    EXPECT_EQ(source->BeginTrans(), 1);
    EXPECT_EQ(source->BeginTrans(), 1) << "a second begin is harmless";
    source->Commit();
    source->Commit();
    source->Rollback();
    Load(*source, *cities, kCities);
    EXPECT_EQ(cities->GetObjectCount(), 7);

    // Records, fields and datasets made inside a rolled-back transaction go.
    ASSERT_EQ(source->BeginTrans(), 1);
    PlxFieldInfos late;
    late.Add(Field("LATE", PlxFieldInfo::Int32));
    ASSERT_EQ(cities->CreateFields(late), 1);
    VmQueryDef def;
    VmRecordset* rs = cities->Query(def);
    ASSERT_TRUE(rs);
    ASSERT_EQ(rs->AddNew(nullptr, 0), 1);
    rs->SetFieldValue("LATE", "5");
    ASSERT_EQ(rs->Update(), 1);
    cities->ReleaseRecordset(rs);
    VmDatasetVector* towns = NewDataset(*source, "towns");
    ASSERT_TRUE(towns);
    EXPECT_EQ(cities->GetObjectCount(), 8);
    source->Rollback();

    EXPECT_EQ(cities->GetObjectCount(), 7);
    PlxFieldInfos fields;
    cities->GetFieldInfos(fields);
    EXPECT_EQ(fields.GetSize(), StandardFields().GetSize()) << "the field made inside is gone";
    EXPECT_EQ(ByFilter(*cities, "LATE = 5"), std::vector<int>{-1});
    // Both datasets still take records.
    Load(*source, *cities, {{"POINT (1 1)", "After", "1", "1", "z"}});
    EXPECT_EQ(cities->GetObjectCount(), 8);
    towns->GetFieldInfos(fields);
    EXPECT_EQ(fields.GetSize(), 0) << "the dataset's table was made again, empty";
    ASSERT_EQ(towns->CreateFields(StandardFields()), 1);
    Load(*source, *towns, {{"POINT (1 1)", "T", "1", "1", "z"}});
    EXPECT_EQ(towns->GetObjectCount(), 1);

    // Closing takes the datasets and the database; creating starts afresh.
    VmRecordset* open = towns->Query(def);
    ASSERT_TRUE(open);  // still held when the source closes
    source->Close();
    EXPECT_EQ(source->GetDatasetCount(), 0);
    ASSERT_EQ(source->Create(), 1);
    VmDatasetVector* fresh = NewDataset(*source);
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->GetObjectCount(), 0);
}

TEST(VmMemoryVectorTest, ACoveringBoundsQueryAnswersBeforeTheIndexIsBuilt) {
    auto source = OpenMemorySource();
    VmDatasetVector* cities = NewDataset(*source);
    ASSERT_TRUE(cities);
    Load(*source, *cities, kCities);
    VmSpatialIndex index(cities);
    ASSERT_EQ(index.BuildSpatialIndex(VmSpatialIndexInfo()), 1);
    // First a box that holds every record (answered by a scan), then boxes
    // that need the index, then a covering one again.
    EXPECT_EQ(ByBounds(*cities, PlxRect2D(-10, 10, 6, -10)), (std::vector<int>{1, 2, 3, 4, 5, 7}));
    EXPECT_EQ(ByBounds(*cities, PlxRect2D(1, 5, 5, 1)), (std::vector<int>{1, 2, 4}));
    EXPECT_EQ(ByBounds(*cities, PlxRect2D(5.5, 9, 7, 8)), std::vector<int>{5});
    EXPECT_EQ(ByBounds(*cities, PlxRect2D(-100, 100, 100, -100)), (std::vector<int>{1, 2, 3, 4, 5, 7}));
}

TEST(VmMemoryVectorTest, AWalkReadsAheadButSeesEveryChange) {
    auto source = OpenMemorySource();
    VmDatasetVector* points = NewDataset(*source, "points");
    ASSERT_TRUE(points);
    std::vector<std::string> names, wkts;
    for (int i = 1; i <= 700; ++i) {
        names.push_back("n" + std::to_string(i));
        wkts.push_back("POINT (" + std::to_string(i) + " 0)");
    }
    std::vector<Feature> features;
    for (size_t i = 0; i < names.size(); ++i) features.push_back({wkts[i].c_str(), names[i].c_str(), "1", "1", "x"});
    Load(*source, *points, features);

    VmQueryDef all;
    VmRecordset* walk = points->Query(all);
    ASSERT_TRUE(walk);
    ASSERT_EQ(walk->MoveFirst(), 1);
    EXPECT_EQ(walk->GetFieldValue("NAME"), "n1");

    // Another recordset changes a record the walk has read ahead.
    VmQueryDef one;
    one.QueryType = VmQueryDef::QueryIDs;
    one.IDs.Add(3);
    VmRecordset* editor = points->Query(one);
    ASSERT_TRUE(editor);
    ASSERT_EQ(editor->SetFieldValue("NAME", "changed"), 1);
    ASSERT_EQ(editor->Update(), 1);
    points->ReleaseRecordset(editor);

    std::vector<std::string> seen;
    for (; !walk->IsEOF(); walk->MoveNext()) {
        seen.push_back(walk->GetFieldValue("NAME").str());
        VmGeometry* geometry = walk->GetGeometry();
        ASSERT_TRUE(geometry);
        EXPECT_EQ(geometry->ToWkt(), "POINT (" + std::to_string(walk->GetID()) + " 0)");
    }
    ASSERT_EQ(seen.size(), 700u);
    EXPECT_EQ(seen[1], "n2");
    EXPECT_EQ(seen[2], "changed");
    EXPECT_EQ(seen[699], "n700");

    // Going back re-reads; a sparse recordset reads only its own records.
    ASSERT_EQ(walk->MoveFirst(), 1);
    EXPECT_EQ(walk->GetFieldValue("NAME"), "n1");
    points->ReleaseRecordset(walk);
    EXPECT_EQ(ByBounds(*points, PlxRect2D(99.5, 1, 100.5, -1)), std::vector<int>{100});
    EXPECT_EQ(ValueOf(*points, 650, "NAME"), "n650");
    EXPECT_EQ(ByFilter(*points, "POP = 1 AND (ZkID % 300) = 0"), (std::vector<int>{300, 600}));
}
