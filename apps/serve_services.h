// The services `ogcweb serve` shows: each one opened once through its own
// session, and the operations the viewer's page asks of them, each taking the
// engine's lock so that two browser tabs never run engine calls at once.
// Answers are JSON texts or PNG bytes; failures are ViewerError with the HTTP
// status they stand for and the log codes the engine wrote.
#pragma once

#include "ogcweb_options.h"

#include "PlxTypes.h"

#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace VMK {
class VmDatasetRaster;
class VmDataSource;
} // namespace VMK

namespace ogcweb {

struct Command;
class Session;

// A failure an answer reports: 400 for a request that cannot be run as
// asked, 404 for an unknown service, dataset or layer, 502 when the engine
// or the service failed (with the codes it logged).
class ViewerError : public std::runtime_error {
public:
    ViewerError(int status, const std::string& message, std::vector<std::string> codes = {})
        : std::runtime_error(message), m_status(status), m_codes(std::move(codes)) {}
    int Status() const { return m_status; }
    const std::vector<std::string>& Codes() const { return m_codes; }

private:
    int m_status;
    std::vector<std::string> m_codes;
};

struct ServiceEntry {
    std::string kind;  // wms, wfs, wcs or wmts
    std::string url;
};

// A picture for the page, with what the page shows beside it.
struct ViewerPicture {
    std::vector<unsigned char> png;  // empty: the region holds no pixels
    bool stretched = false;
    double min = 0, max = 0;
    std::vector<std::string> codes;
};

struct ViewerFeatures {
    std::string geojson;
    int count = 0;
    bool truncated = false;  // more features met the query than the page gets
    bool fromEarlierDownload = false;
    std::vector<std::string> codes;
};

// What the page asks a raster for: `bbox` (minx, miny, maxx, maxy) in `crs`
// at `width` x `height` pixels.
struct ViewRequest {
    size_t service = 0, dataset = 0;
    std::string crs;
    PLX::PlxRect2D bbox;
    int width = 0, height = 0;
};

class ViewerServices {
public:
    // Opens every service (Failure when one cannot be opened). `args` holds
    // the common options; `command` is the serve command, for the tile cache
    // folder rule.
    ViewerServices(const ParsedArgs& args, const Command& command, const std::vector<ServiceEntry>& entries,
                   size_t mapBudgetBytes);
    ~ViewerServices();
    ViewerServices(const ViewerServices&) = delete;
    ViewerServices& operator=(const ViewerServices&) = delete;

    // The system the page's map works in: EPSG:3857 when every dataset lies
    // within Web Mercator's latitudes, EPSG:4326 otherwise.
    const std::string& MapCrs() const { return m_mapCrs; }

    std::string CatalogJson();
    std::string StatusJson();
    ViewerPicture Map(const ViewRequest& view);
    // Feature information about the point (x, y) in the view's system, from
    // the map of that view (drawn first when it is not the last one drawn).
    std::string FeatureInfoJson(const ViewRequest& view, double x, double y);
    // Band 1 of the coverage drawn last for the dataset, at (x, y) in `crs`.
    std::string ValueJson(size_t service, size_t dataset, const std::string& crs, double x, double y);
    // Features meeting `bounds` (longitude / latitude) or, when `where` is
    // not empty, the condition.
    ViewerFeatures Features(size_t service, size_t dataset, const PLX::PlxRect2D& bounds, const std::string& where);
    void SetVisibleLayers(size_t service, size_t dataset, const std::vector<std::string>& layers);
    void SetLayerStyle(size_t service, size_t dataset, const std::string& layer, const std::string& style);

private:
    struct Service;
    struct Drawn;

    Service& ServiceAt(size_t index);
    VMK::VmDatasetRaster* RasterAt(Service& service, size_t dataset);
    const Drawn& Draw(Service& service, const ViewRequest& view);
    ViewerPicture TileView(Service& service, const ViewRequest& view, std::unique_lock<std::mutex>& lock);
    void Reopen(Service& service);
    std::vector<std::string> TakeCodes(Service& service);
    std::string ChooseMapCrs();

    std::mutex m_engine;
    std::vector<std::unique_ptr<Service>> m_services;
    size_t m_mapBudget;
    std::string m_mapCrs;

    // Download progress and the codes of the last operations, kept apart
    // from the engine's lock: the page asks for them while a call runs.
    struct Progress;
    std::shared_ptr<Progress> m_progress;
};

// "http://host/path" without the "user:password@" an address may carry.
std::string WithoutUserInfo(const std::string& url);

} // namespace ogcweb
