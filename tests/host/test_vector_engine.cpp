// Vector datasets: the base class's field list and recordset ownership, and
// the in-memory engine's tables, loading, queries, editing and transactions.
#include "TestSupport.h"
#include "VmEngine.h"
#include "VmGeometry.h"
#include "VmSpatialIndex.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace VMK;
using PLX::PlxRect2D;

namespace {

const char* const kOddName = "odd \"name\" x";  // a quote and spaces
using Ids = std::vector<int>;
using Strings = std::vector<std::string>;

PlxFieldInfo Field(const char* name, PlxFieldInfo::FieldType type, const char* defaultValue = "") {
    PlxFieldInfo field;
    field.Name = name;
    field.Caption = name;
    field.Type = type;
    field.SetDefaultValue(defaultValue);
    return field;
}

PlxFieldInfos Fields(std::initializer_list<PlxFieldInfo> list) {
    PlxFieldInfos fields;
    for (const PlxFieldInfo& f : list) fields.Add(f);
    return fields;
}

// System fields first, as the plug-in declares them.
PlxFieldInfos StandardFields() {
    return Fields({Field("ZkID", PlxFieldInfo::Int32), Field("ZkUserID", PlxFieldInfo::Int32),
                   Field("NAME", PlxFieldInfo::Text), Field("POP", PlxFieldInfo::Int32),
                   Field("AREA", PlxFieldInfo::Double), Field(kOddName, PlxFieldInfo::Text)});
}

// A WKT geometry ("" for none) and field texts.
struct Feature {
    const char* wkt;
    const char* name;
    const char* pop;
    const char* area;
    const char* odd;
};

const std::vector<Feature> kCities = {
    {"POINT (3 3)", "Alpha", "1500", "12.5", "a"},         // 1
    {"POINT (5 5)", "Beta", "800", "0.25", "b"},           // 2 on the corner of the test box
    {"POINT (5.0000001 3)", "Gamma", "2500", "7", "c"},    // 3 just outside it
    {"POLYGON ((-10 -10, 1 -10, 1 1, -10 1, -10 -10))", "Delta", "", "", "q"},  // 4 touches a corner
    {"LINESTRING (6 0, 6 10)", "Anchor", "40000", "1e3", "d"},                  // 5
    {"", "Nowhere", "1200", "3", "e"},                     // 6 no geometry
    {"POINT (0.5 0.5)", "Epsilon", "abc", "x", "f"},       // 7 numbers that are not
};

std::unique_ptr<VmGeometry> Wkt(const char* wkt) {
    std::unique_ptr<VmGeometry> geometry(VmGeometryFactory::CreateGeometry(VmGeometry::Point));
    EXPECT_TRUE(geometry->FromWkt(wkt)) << wkt;
    return geometry;
}

Strings FieldNames(VmDatasetVector& dataset) {
    PlxFieldInfos fields;
    dataset.GetFieldInfos(fields);
    Strings names;
    for (int i = 0; i < fields.GetSize(); ++i) names.push_back(fields[i].Name.str());
    return names;
}
const Strings kStandardNames = {"ZkID", "ZkUserID", "NAME", "POP", "AREA", kOddName};

VmQueryDef IdQuery(Ids wanted, const char* field = "") {
    VmQueryDef def;
    def.QueryType = VmQueryDef::QueryIDs;
    def.IDFieldName = field;
    for (int id : wanted) def.IDs.Add(id);
    return def;
}

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

class VmMemoryVectorTest : public ::testing::Test {
protected:
    // Refused filters log; the entries stay in memory instead of going to
    // the shared log file in the temporary folder.
    LogCapture log;

    void SetUp() override {
        source.reset(VmDataSourceManager::CreateDataSource(VmDataSourceManager::EngineMemory));
        ASSERT_TRUE(source != nullptr);
        source->GetConnectionInfo().Server = ":memory:";
        ASSERT_EQ(source->Create(), 1);
        cities = NewDataset("cities");
        ASSERT_TRUE(cities);
    }

    VmDatasetVector* NewDataset(const char* name) {
        VmDatasetVectorInfo info;
        info.Name = name;
        info.Type = VmDataset::Point;
        info.Bounds = PlxRect2D(-180, 90, 180, -90);
        VmDatasetVector* dataset = source->CreateDatasetVector(info);
        EXPECT_TRUE(dataset != nullptr);
        if (dataset) {
            EXPECT_EQ(dataset->CreateFields(StandardFields()), 1);
        }
        return dataset;
    }

    // The way the feature loader does it: the general query, then AddNew /
    // SetFieldValue / Update inside one transaction.
    void Load(const std::vector<Feature>& features, VmDatasetVector* dataset = nullptr) {
        if (!dataset) dataset = cities;
        VmQueryDef def;
        def.QueryType = VmQueryDef::General;
        def.Options = 3;
        def.Mode2 = 2;
        VmRecordset* rs = dataset->Query(def);
        ASSERT_TRUE(rs != nullptr);
        ASSERT_EQ(source->BeginTrans(), 1);
        for (const Feature& f : features) {
            std::unique_ptr<VmGeometry> geometry(*f.wkt ? Wkt(f.wkt) : nullptr);
            ASSERT_EQ(rs->AddNew(geometry.get(), 0), 1);
            geometry.reset();  // the recordset keeps its own copy
            EXPECT_EQ(rs->SetFieldValue("NAME", f.name), 1);
            rs->SetFieldValue("POP", f.pop);
            rs->SetFieldValue("AREA", f.area);
            EXPECT_EQ(rs->SetFieldValue(kOddName, f.odd), 1);
            ASSERT_EQ(rs->Update(), 1);
        }
        source->Commit();
        dataset->ReleaseRecordset(rs);
    }

    // ZkIDs of a query's records in the recordset's order; {-1} when it fails.
    Ids Query(const VmQueryDef& def) {
        VmRecordset* rs = cities->Query(def);
        if (!rs) return {-1};
        EXPECT_EQ(rs->GetQueryType(), def.QueryType);
        Ids ids;
        for (rs->MoveFirst(); !rs->IsEOF(); rs->MoveNext()) ids.push_back(rs->GetID());
        EXPECT_EQ(static_cast<int>(ids.size()), rs->GetRecordCount());
        EXPECT_EQ(cities->ReleaseRecordset(rs), 1);
        return ids;
    }
    Ids ByFilter(const char* filter) {
        VmQueryDef def;
        def.Filter = filter;
        return Query(def);
    }
    Ids ByBounds(const PlxRect2D& bounds) {
        VmQueryDef def;
        def.QueryType = VmQueryDef::QueryBounds;
        def.Bounds = bounds;
        return Query(def);
    }
    std::string ValueOf(int id, const char* field) {
        VmRecordset* rs = cities->Query(IdQuery({id}));
        if (!rs) return "<no recordset>";
        std::string value = rs->IsEOF() ? "<no record>" : rs->GetFieldValue(field).str();
        cities->ReleaseRecordset(rs);
        return value;
    }

    std::unique_ptr<VmDataSource> source;
    VmDatasetVector* cities = nullptr;
};

} // namespace

TEST(VmDatasetVectorTest, BaseFieldListAndFlags) {
    VmDatasetVector dataset;
    const PlxFieldInfos two = Fields({Field("A", PlxFieldInfo::Int32), Field("B", PlxFieldInfo::Text)});
    EXPECT_EQ(dataset.CreateFields(two), 1);
    EXPECT_EQ(dataset.CreateFields(two), 1) << "the base appends without checking";
    PlxFieldInfos list = Fields({Field("stale", PlxFieldInfo::Text)});
    ASSERT_EQ(dataset.GetFieldInfos(list), 1);
    EXPECT_EQ(list.GetSize(), 4) << "the output is replaced, not appended to";
    EXPECT_EQ(dataset.SetFieldInfo(1, Field("C", PlxFieldInfo::Double)), 1);
    EXPECT_EQ(dataset.SetFieldInfo(4, Field("D", PlxFieldInfo::Date)), 1) << "index == count appends";
    EXPECT_EQ(dataset.SetFieldInfo(6, Field("E", PlxFieldInfo::Date)), 0);
    EXPECT_EQ(dataset.SetFieldInfo(-1, Field("E", PlxFieldInfo::Date)), 0);
    EXPECT_EQ(FieldNames(dataset), (Strings{"A", "C", "A", "B", "D"}));
    dataset.SetFlags(0x5);
    EXPECT_TRUE(dataset.HasFlag(0x5));
    EXPECT_FALSE(dataset.HasFlag(0x3)) << "every bit asked for must be set";
    EXPECT_FALSE(dataset.HasFlag(0));
    EXPECT_EQ(dataset.Query(VmQueryDef()), nullptr);
}

TEST(VmDatasetVectorTest, DatasetOwnsItsRecordsets) {
    AdoptingDataset dataset, other;
    VmRecordset* a = dataset.Query(VmQueryDef());
    VmRecordset* b = dataset.Query(VmQueryDef());
    VmRecordset* c = dataset.Query(VmQueryDef());
    ASSERT_EQ(dataset.GetRecordsetCount(), 3);
    EXPECT_EQ(dataset.ReleaseRecordset(b), 1);
    EXPECT_EQ(dataset.ReleaseRecordset(b), 0) << "already gone";
    EXPECT_EQ(dataset.ReleaseRecordset(nullptr), 0);
    EXPECT_EQ(dataset.ReleaseRecordset(other.Query(VmQueryDef())), 0) << "not this dataset's";
    EXPECT_EQ(other.GetRecordsetCount(), 1);
    delete a;  // deleting directly leaves the list too
    ASSERT_EQ(dataset.GetRecordsetCount(), 1);
    EXPECT_EQ(dataset.GetRecordsetAt(0), c);
    EXPECT_EQ(dataset.deaths, 2);
    // `c` and the foreign one go with their datasets (ASan checks no double delete).
}

TEST_F(VmMemoryVectorTest, CreatesDatasetsAndFields) {
    std::unique_ptr<VmDataSource> closed(VmDataSourceManager::CreateDataSource(219));
    VmDatasetVectorInfo info;
    info.Name = "x";
    EXPECT_EQ(closed->CreateDatasetVector(info), nullptr) << "not created yet";

    EXPECT_EQ(source->GetDataset("CITIES"), cities);
    EXPECT_EQ(cities->GetDataSource(), source.get());
    EXPECT_EQ(cities->CanUpdate(), 1);
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
    EXPECT_EQ(FieldNames(*cities), kStandardNames);
    EXPECT_EQ(fields[4].Type, PlxFieldInfo::Double);
    // All or nothing: one bad name refuses the whole list.
    const PlxFieldInfos refused[] = {
        Fields({Field("NEW1", PlxFieldInfo::Int32), Field("name", PlxFieldInfo::Text)}),  // case-only clash
        Fields({Field("zk$wkb", PlxFieldInfo::Text)}),                                      // reserved
        Fields({Field("T", PlxFieldInfo::Int32), Field("t", PlxFieldInfo::Int32)}),
        Fields({Field("", PlxFieldInfo::Int32)}),
    };
    for (const PlxFieldInfos& list : refused) EXPECT_EQ(cities->CreateFields(list), 0) << list[0].Name.str();
    // System fields already described are passed over, new ones are added.
    EXPECT_EQ(cities->CreateFields(Fields({Field("zkid", PlxFieldInfo::Int32), Field("NEW1", PlxFieldInfo::Int64)})), 1);
    Strings withNew = kStandardNames;
    withNew.push_back("NEW1");
    EXPECT_EQ(FieldNames(*cities), withNew);

    // A deleted dataset takes its table along: the name can be used again.
    EXPECT_EQ(source->DeleteDataset("cities"), 1);
    VmDatasetVector* reborn = NewDataset("cities");
    ASSERT_TRUE(reborn);
    EXPECT_EQ(FieldNames(*reborn), kStandardNames);
}

TEST_F(VmMemoryVectorTest, LoaderStoresTypedValues) {
    Load(kCities);
    cities->SetObjectCount(3);
    EXPECT_EQ(cities->GetObjectCount(), 7) << "the engine counts its records";

    VmRecordset* rs = cities->Query(VmQueryDef());
    ASSERT_TRUE(rs);
    EXPECT_EQ(rs->IsEOF(), 0) << "a new recordset stands on its first record";
    EXPECT_EQ(rs->GetID(), 1);
    EXPECT_EQ(rs->GetFieldValue("name"), "Alpha") << "field names ignore case";
    EXPECT_EQ(rs->GetFieldValue("nonesuch"), "");
    ASSERT_TRUE(rs->GetGeometry() != nullptr);
    EXPECT_EQ(rs->GetGeometry()->ToWkt(), "POINT (3 3)");
    Strings names;
    for (rs->MoveFirst(); !rs->IsEOF(); rs->MoveNext()) {
        names.push_back(rs->GetFieldValue("NAME").str());
        EXPECT_EQ(rs->GetGeometry() == nullptr, rs->GetID() == 6) << "only record 6 has no geometry";
    }
    EXPECT_EQ(names, (Strings{"Alpha", "Beta", "Gamma", "Delta", "Anchor", "Nowhere", "Epsilon"}));
    EXPECT_EQ(rs->MoveNext(), 0);
    EXPECT_EQ(rs->GetFieldValue("NAME"), "") << "nothing to read past the end";
    EXPECT_EQ(rs->GetGeometry(), nullptr);
    cities->ReleaseRecordset(rs);

    struct { int id; const char* field; const char* value; } rows[] = {
        {2, "AREA", "0.25"},
        {4, "POP", ""},                              // empty text is no value
        {7, "POP", ""},                              // text that is no number is no value
        {4, kOddName, "q"},
    };
    for (const auto& row : rows) EXPECT_EQ(ValueOf(row.id, row.field), row.value) << row.id << " " << row.field;
}

TEST_F(VmMemoryVectorTest, WritingRulesAndConversions) {
    ASSERT_EQ(cities->CreateFields(Fields({Field("FLAG", PlxFieldInfo::Boolean), Field("SMALL", PlxFieldInfo::Byte),
                                           Field("BIG", PlxFieldInfo::Int64), Field("WHEN", PlxFieldInfo::Date),
                                           Field("KIND", PlxFieldInfo::Text, "town"),
                                           Field("LEVEL", PlxFieldInfo::Int16, "3")})),
              1);
    VmRecordset* rs = cities->Query(VmQueryDef());
    ASSERT_TRUE(rs);
    EXPECT_EQ(rs->IsEOF(), 1);
    EXPECT_EQ(rs->SetFieldValue("NAME", "x"), 0) << "no record before AddNew";
    EXPECT_EQ(rs->Update(), 0) << "nothing to store";

    std::unique_ptr<VmGeometry> geometry = Wkt("POINT (1 2)");
    ASSERT_EQ(rs->AddNew(geometry.get(), 0), 1);
    ASSERT_TRUE(geometry->FromWkt("POINT (8 9)"));  // after AddNew: not the record's
    EXPECT_EQ(rs->GetID(), 0) << "no number before it is stored";
    EXPECT_EQ(rs->GetFieldValue("KIND"), "town") << "fields start at their defaults";
    struct { const char* field; const char* text; int result; } writes[] = {
        {"nonesuch", "1", 0}, {"ZkID", "99", 0},  // the engine numbers records
        {"ZkUserID", "77", 1}, {"POP", " 42 ", 1}, {"AREA", "-1.5e2", 1}, {"FLAG", "true", 1},
        {"SMALL", "256", 0},  // out of a byte's range
        {"BIG", "9000000000", 1}, {"WHEN", "2021-03-04", 1}, {"NAME", "O'Hara; DROP TABLE x", 1},
    };
    for (const auto& w : writes) EXPECT_EQ(rs->SetFieldValue(w.field, w.text), w.result) << w.field;
    EXPECT_EQ(rs->GetFieldValue("POP"), "42") << "readable before Update";
    ASSERT_EQ(rs->Update(), 1);
    EXPECT_EQ(rs->GetID(), 1);
    EXPECT_EQ(rs->GetRecordCount(), 1) << "the recordset gains what it stored";
    EXPECT_EQ(rs->Update(), 0) << "stored already";

    ASSERT_EQ(rs->AddNew(nullptr, 0), 1);
    EXPECT_EQ(rs->SetFieldValue("POP", "3000000000"), 0) << "beyond a 32-bit field";
    EXPECT_EQ(rs->SetFieldValue("FLAG", "maybe"), 0);
    EXPECT_EQ(rs->SetFieldValue("LEVEL", "2.0"), 1) << "a whole number written as a real";
    ASSERT_EQ(rs->Update(), 1);
    cities->ReleaseRecordset(rs);

    struct { int id; const char* field; const char* value; } stored[] = {
        {1, "ZkUserID", "77"}, {1, "POP", "42"}, {1, "AREA", "-150"}, {1, "FLAG", "1"}, {1, "SMALL", ""},
        {1, "BIG", "9000000000"}, {1, "WHEN", "2021-03-04"}, {1, "NAME", "O'Hara; DROP TABLE x"},
        {1, "LEVEL", "3"}, {2, "POP", ""}, {2, "LEVEL", "2"},
    };
    for (const auto& row : stored) EXPECT_EQ(ValueOf(row.id, row.field), row.value) << row.id << " " << row.field;
    EXPECT_EQ(ByBounds(PlxRect2D(0, 3, 2, 1)), Ids{1}) << "the geometry given at AddNew";
    EXPECT_EQ(ByFilter("AREA < -100 AND FLAG = 1 AND BIG > 2147483647"), Ids{1});
}

// Bounds are exact whether answered by a scan, through the R*Tree, or by the
// shortcut that scans when the box covers everything.
TEST_F(VmMemoryVectorTest, BoundsQueries) {
    Load(kCities);
    const PlxRect2D box(1, 5, 5, 1), all(-100, 100, 100, -100);
    const Ids inBox = {1, 2, 4};  // inside, on a corner, touching with a corner
    const Ids located = {1, 2, 3, 4, 5, 7};  // records without geometry are never inside bounds
    auto check = [&](const char* stage) {
        SCOPED_TRACE(stage);
        EXPECT_EQ(ByBounds(PlxRect2D(-10, 10, 6, -10)), located) << "exactly the data's bounds";
        EXPECT_EQ(ByBounds(box), inBox);
        EXPECT_EQ(ByBounds(PlxRect2D(5.5, 9, 7, 8)), Ids{5}) << "a line's bounds";
        EXPECT_EQ(ByBounds(all), located);
        EXPECT_EQ(ByBounds(PlxRect2D(5, 1, 1, 5)), Ids{}) << "an inverted box is invalid";
        EXPECT_EQ(ByBounds(PlxRect2D()), Ids{});
    };
    check("without index");

    auto* memory = dynamic_cast<VmDatasetVectorMemory*>(cities);
    ASSERT_TRUE(memory);
    EXPECT_EQ(VmSpatialIndex(cities).BuildSpatialIndex(VmSpatialIndexInfo(0)), 0);
    EXPECT_FALSE(memory->HasSpatialIndex());
    VmSpatialIndex index(cities);
    ASSERT_EQ(index.BuildSpatialIndex(VmSpatialIndexInfo()), 1);
    EXPECT_TRUE(memory->HasSpatialIndex());
    EXPECT_EQ(index.BuildSpatialIndex(VmSpatialIndexInfo()), 1) << "building twice is harmless";
    // Record 3 lies within the index's single-precision rounding of the box:
    // only the exact bounds keep it out. The covering box comes first, so it
    // is answered before the index has been used.
    check("with index");

    // Records stored after the index was built are found through it.
    Load({{"POINT (2 2)", "Late", "1", "1", "g"}, {"", "Late2", "1", "1", "h"}});
    EXPECT_EQ(ByBounds(box), (Ids{1, 2, 4, 8}));
    EXPECT_EQ(memory->ComputeBounds(), PlxRect2D(-10, 10, 6, -10));

    VmDatasetVector plain;
    EXPECT_EQ(VmSpatialIndex(&plain).BuildSpatialIndex(VmSpatialIndexInfo()), 0);
}

TEST_F(VmMemoryVectorTest, IdQueries) {
    Load(kCities);
    EXPECT_EQ(Query(IdQuery({4, 2, 99, 2, -1})), (Ids{2, 4})) << "in record order, once, known only";
    EXPECT_EQ(Query(IdQuery({})), Ids{});
    EXPECT_EQ(Query(IdQuery({6}, "zkid")), Ids{6});
    EXPECT_EQ(Query(IdQuery({800, 2500, 12}, "POP")), (Ids{2, 3}));
    EXPECT_EQ(Query(IdQuery({1}, "nonesuch")), Ids{-1}) << "an unknown field gives no recordset";

    // The identifier field the plug-in fills from feature identifiers.
    VmRecordset* rs = cities->Query(VmQueryDef());
    ASSERT_TRUE(rs);
    int userId = 100;
    for (rs->MoveFirst(); !rs->IsEOF(); rs->MoveNext()) {
        ASSERT_EQ(rs->SetFieldValue("ZkUserID", std::to_string(userId++).c_str()), 1);
        ASSERT_EQ(rs->Update(), 1);
    }
    EXPECT_EQ(rs->GetRecordCount(), 7) << "rewriting records adds none";
    cities->ReleaseRecordset(rs);
    EXPECT_EQ(Query(IdQuery({103, 106, 5}, "ZkUserID")), (Ids{4, 7}));
}

TEST_F(VmMemoryVectorTest, FilterQueries) {
    Load(kCities);
    EXPECT_EQ(ByFilter("  \n"), (Ids{1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(ByFilter("POP > 1000 AND NAME LIKE 'A%'"), (Ids{1, 5}));
    EXPECT_EQ(ByFilter("AREA BETWEEN 1 AND 20 OR POP IS NULL"), (Ids{1, 3, 4, 6, 7}));
    EXPECT_EQ(ByFilter("\"odd \"\"name\"\" x\" = 'q'"), Ids{4}) << "a quoted odd field name";

    const char* refused[] = {
        "ZkID IN (SELECT ZkID FROM cities)",             // the dataset name is no table
        "POP >",                                         // incomplete
        "1); DROP TABLE x; --",                          // a second statement
        "ZkID = 1 -- the rest is a comment",             // eats the closing parenthesis
        "NAME = \"Alpha\"",                              // double quotes name columns, not strings
        "ZkID IN (SELECT rowid FROM sqlite_master)",     // other tables are out of reach
        "1) UNION SELECT 1 FROM pragma_table_list WHERE (1",  // well-formed, but reads the schema
    };
    for (const char* filter : refused) {
        const int before = log.Count("malformed attribute filter");
        EXPECT_EQ(ByFilter(filter), Ids{-1}) << filter;
        EXPECT_EQ(log.Count("malformed attribute filter"), before + 1) << "one entry per refusal: " << filter;
    }
    EXPECT_EQ(ByFilter("POP > 1000"), (Ids{1, 3, 5, 6})) << "the table is untouched";
    EXPECT_EQ(cities->GetRecordsetCount(), 0) << "refused queries leave no recordset behind";
}

TEST_F(VmMemoryVectorTest, EditingExistingRecords) {
    Load(kCities);
    VmSpatialIndex(cities).BuildSpatialIndex(VmSpatialIndexInfo());
    VmRecordset* rs = cities->Query(IdQuery({2, 3}));
    ASSERT_TRUE(rs);
    EXPECT_EQ(rs->SetFieldValue("POP", "7"), 1) << "writing into the current record";
    EXPECT_EQ(rs->SetGeometry(Wkt("POINT (50 50)").get()), 1);
    ASSERT_EQ(rs->Update(), 1);
    ASSERT_EQ(rs->MoveNext(), 1);
    EXPECT_EQ(rs->SetFieldValue("POP", "8"), 1);
    rs->MoveFirst();  // moving away drops the change
    EXPECT_EQ(rs->GetFieldValue("POP"), "7");
    cities->ReleaseRecordset(rs);
    EXPECT_EQ(ValueOf(2, "NAME"), "Beta") << "other fields keep their values";
    EXPECT_EQ(ValueOf(3, "POP"), "2500");
    EXPECT_EQ(cities->GetObjectCount(), 7);
    EXPECT_EQ(ByBounds(PlxRect2D(1, 5, 5, 1)), (Ids{1, 4})) << "the index moved with it";
    EXPECT_EQ(ByBounds(PlxRect2D(49, 51, 51, 49)), Ids{2});

    // Renaming a field renames its column; an index past the end is refused.
    EXPECT_EQ(cities->SetFieldInfo(3, Field("POPULATION", PlxFieldInfo::Int32)), 1);
    EXPECT_EQ(ByFilter("POPULATION = 7"), Ids{2});
    EXPECT_EQ(ByFilter("POP = 7"), Ids{-1});
    EXPECT_EQ(cities->SetFieldInfo(3, Field("NAME", PlxFieldInfo::Int32)), 0) << "taken";
    EXPECT_EQ(cities->SetFieldInfo(0, Field("Other", PlxFieldInfo::Int32)), 0) << "ZkID stays ZkID";
    EXPECT_EQ(cities->SetFieldInfo(99, Field("Other", PlxFieldInfo::Int32)), 0);
    EXPECT_EQ(cities->SetFieldInfo(6, Field("EXTRA", PlxFieldInfo::Double)), 1) << "at the end";
    EXPECT_EQ(ValueOf(1, "EXTRA"), "");
    EXPECT_EQ(ValueOf(1, "POPULATION"), "1500");
}

TEST_F(VmMemoryVectorTest, Transactions) {
    EXPECT_EQ(source->BeginTrans(), 1);
    EXPECT_EQ(source->BeginTrans(), 1) << "a second begin is harmless";
    source->Commit();
    source->Commit();
    source->Rollback();
    Load(kCities);

    // Records, fields and datasets made inside a rolled-back transaction go.
    ASSERT_EQ(source->BeginTrans(), 1);
    ASSERT_EQ(cities->CreateFields(Fields({Field("LATE", PlxFieldInfo::Int32)})), 1);
    VmRecordset* rs = cities->Query(VmQueryDef());
    ASSERT_TRUE(rs);
    ASSERT_EQ(rs->AddNew(nullptr, 0), 1);
    rs->SetFieldValue("LATE", "5");
    ASSERT_EQ(rs->Update(), 1);
    cities->ReleaseRecordset(rs);
    VmDatasetVector* towns = NewDataset("towns");
    ASSERT_TRUE(towns);
    EXPECT_EQ(cities->GetObjectCount(), 8);
    source->Rollback();

    EXPECT_EQ(cities->GetObjectCount(), 7);
    EXPECT_EQ(FieldNames(*cities), kStandardNames) << "the field made inside is gone";
    EXPECT_EQ(ByFilter("LATE = 5"), Ids{-1});
    Load({{"POINT (1 1)", "After", "1", "1", "z"}});
    EXPECT_EQ(cities->GetObjectCount(), 8);
    EXPECT_EQ(FieldNames(*towns), Strings{}) << "the dataset's table was made again, empty";
    ASSERT_EQ(towns->CreateFields(StandardFields()), 1);
    Load({{"POINT (1 1)", "T", "1", "1", "z"}}, towns);
    EXPECT_EQ(towns->GetObjectCount(), 1);

    // Closing takes the datasets and the database; creating starts afresh.
    ASSERT_TRUE(towns->Query(VmQueryDef()));  // still held when the source closes
    source->Close();
    EXPECT_EQ(source->GetDatasetCount(), 0);
    ASSERT_EQ(source->Create(), 1);
    VmDatasetVector* fresh = NewDataset("cities");
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->GetObjectCount(), 0);
}

TEST_F(VmMemoryVectorTest, AWalkReadsAheadButSeesEveryChange) {
    Strings names, points;
    std::vector<Feature> features;
    for (int i = 1; i <= 700; ++i) {
        names.push_back("n" + std::to_string(i));
        points.push_back("POINT (" + std::to_string(i) + " 0)");
    }
    for (size_t i = 0; i < names.size(); ++i) features.push_back({points[i].c_str(), names[i].c_str(), "1", "1", "x"});
    Load(features);

    VmRecordset* walk = cities->Query(VmQueryDef());
    ASSERT_TRUE(walk);
    ASSERT_EQ(walk->MoveFirst(), 1);
    EXPECT_EQ(walk->GetFieldValue("NAME"), "n1");
    // Another recordset changes a record the walk has read ahead.
    VmRecordset* editor = cities->Query(IdQuery({3}));
    ASSERT_TRUE(editor);
    ASSERT_EQ(editor->SetFieldValue("NAME", "changed"), 1);
    ASSERT_EQ(editor->Update(), 1);
    cities->ReleaseRecordset(editor);

    Strings seen;
    for (; !walk->IsEOF(); walk->MoveNext()) {
        seen.push_back(walk->GetFieldValue("NAME").str());
        VmGeometry* geometry = walk->GetGeometry();
        ASSERT_TRUE(geometry);
        EXPECT_EQ(geometry->ToWkt(), "POINT (" + std::to_string(walk->GetID()) + " 0)");
    }
    names[2] = "changed";
    EXPECT_EQ(seen, names);

    // Going back re-reads; a sparse recordset reads only its own records.
    ASSERT_EQ(walk->MoveFirst(), 1);
    EXPECT_EQ(walk->GetFieldValue("NAME"), "n1");
    cities->ReleaseRecordset(walk);
    EXPECT_EQ(ByBounds(PlxRect2D(99.5, 1, 100.5, -1)), Ids{100});
    EXPECT_EQ(ValueOf(650, "NAME"), "n650");
    EXPECT_EQ(ByFilter("POP = 1 AND (ZkID % 300) = 0"), (Ids{300, 600}));
}
