#include "VmOGCRequest.h"

#include "VmNetwork.h"

namespace VMK {

PlxMBString RequestBase(const PlxMBString& endpoint, const PlxMBString& fallbackURL) {
    PlxMBString base = endpoint;
    if (base.IsEmpty()) {
        PlxMBString query;
        VmHttpHelper::VmParseURL3(fallbackURL, base, query);
    }
    base.TrimRight("?");
    if (base.Find('?') <= 0) base += "?";
    return base;
}

PlxMBString RemoveQueryKeys(const PlxMBString& url, const PlxDict<PlxMBString, int>& keywords) {
    PlxMBString base;
    VmKVPairs pairs;
    VmHttpHelper::URLtoKVPairs(url, base, pairs);
    PlxArray<PlxMBString> doomed;
    for (const auto& pair : pairs)
        for (const auto& keyword : keywords)
            if (pair.first.CompareNoCase(keyword.first) == 0) {
                doomed.Add(pair.first);
                break;
            }
    for (const PlxMBString& key : doomed) pairs.RemoveKey(key);
    PlxMBString result;
    VmHttpHelper::KVPairstoURL(base, pairs, result);
    return result;
}

int ImportFileTypeOf(const PlxMBString& format, bool coverageFormats) {
    struct Row {
        const char* word;
        int fileType;
        bool coverageOnly;
    };
    static const Row rows[] = {
        {"PNG", 123, false}, {"JPG", 122, false},  {"JPEG", 122, false},    {"BMP", 121, false},
        {"TIFF", 103, true}, {"TIF", 103, true},   {"GIF", 124, true},      {"ARCGRID", 145, true},
    };
    PlxMBString upper = format;
    upper.MakeUpper();
    for (const Row& row : rows) {
        if (row.coverageOnly && !coverageFormats) continue;
        if (upper.Find(row.word) >= 0) return row.fileType;
    }
    return 123;
}

} // namespace VMK

#include "VmDataExchange.h"

#include <memory>

namespace VMK {

VmDataSource* ImportIntoMemory(const PlxMBString& path, int fileType, const PlxMBString& name,
                               const PlxRect2D& georef, VmImportFailure& failure) {
    failure = VmImportNoFailure;
    VmDataSource* memory = VmDataSourceManager::CreateDataSource(VmDataSourceManager::EngineMemory);
    if (!memory) {
        failure = VmImportNoDataSource;
        return nullptr;
    }
    memory->GetConnectionInfo().Server = ":memory:";
    memory->Create();
    memory->BeginTrans();
    std::unique_ptr<VmImportParams> params(VmExchangeParamsManager::MakeImportParams(fileType));
    int imported = 0;
    if (params) {
        params->SetImportMode(2);
        params->SetDestDTName(name);
        params->SetFilePathName(path);
        VmDataExchange exchange;
        exchange.AttachDataSource(memory);
        imported = exchange.Import(*params);
    }
    if (!imported) {
        memory->Close();
        delete memory;
        failure = VmImportFailed;
        return nullptr;
    }
    memory->Commit();
    for (int i = 0; i < memory->GetDatasetCount(); ++i) {
        auto* raster = dynamic_cast<VmDatasetRaster*>(memory->GetDataset(i));
        if (!raster) continue;
        raster->Open();
        raster->SetGeoReference(georef);
    }
    return memory;
}

} // namespace VMK
