#include "serve_services.h"

#include "ogcweb_commands.h"
#include "ogcweb_geojson.h"
#include "ogcweb_session.h"

#include "VmDataExchange.h"
#include "VmEngine.h"
#include "VmGeometry.h"
#include "VmNetwork.h"
#include "VmTileCache.h"
#include "VmToolkit.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <thread>

namespace ogcweb {

// Defined with the view command, which shares the tile cache rule.
ParsedArgs WithTileCache(const ParsedArgs& args, const Command& command);

namespace {

// How long a tile view waits for the tiles its region lacks.
const auto kTileWait = std::chrono::seconds(15);
const size_t kCodesKept = 12;
// Beyond this the page gets the first features only; a browser draws no
// more usefully.
const int kMaxFeatures = 50000;
const double kMercatorLatitude = 85.0511287798;

std::string Number(double value) {
    if (!std::isfinite(value)) return "null";
    char text[40];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

std::string Text(const std::string& value) { return JsonString(value); }

std::string Bool(bool value) { return value ? "true" : "false"; }

std::string BoxJson(const PLX::PlxRect2D& r) {
    if (r.IsNull()) return "null";
    return "[" + Number(r.left) + "," + Number(r.bottom) + "," + Number(r.right) + "," + Number(r.top) + "]";
}

template <class T, class F>
std::string List(const T& items, F each) {
    std::string out = "[";
    bool first = true;
    for (const auto& item : items) {
        out += (first ? "" : ",") + each(item);
        first = false;
    }
    return out + "]";
}

std::string FieldType(VMK::PlxFieldInfo::FieldType type) {
    switch (type) {
    case VMK::PlxFieldInfo::Boolean: return "boolean";
    case VMK::PlxFieldInfo::Byte:
    case VMK::PlxFieldInfo::Int16:
    case VMK::PlxFieldInfo::Int32:
    case VMK::PlxFieldInfo::Int64: return "integer";
    case VMK::PlxFieldInfo::Single:
    case VMK::PlxFieldInfo::Double: return "real";
    case VMK::PlxFieldInfo::Date: return "date";
    case VMK::PlxFieldInfo::Time: return "time";
    case VMK::PlxFieldInfo::Binary: return "binary";
    default: return "text";
    }
}

// The dataset's bounds in longitude and latitude; null when unknown.
PLX::PlxRect2D LonLatBounds(VMK::VmDataset& dataset) {
    const PLX::PlxRect2D bounds = dataset.GetBounds();
    const std::string crs = CrsName(dataset.GetPrjCoordSys());
    if (bounds.IsNull() || crs == "none") return PLX::PlxRect2D();
    return VMK::VmCRSBound(crs.c_str(), bounds).Transform("EPSG:4326");
}

PLX::PlxRect2D Converted(const PLX::PlxRect2D& rect, const std::string& from, const std::string& to) {
    if (PLX::PlxMBString(from).CompareNoCase(to.c_str()) == 0) return rect;
    return VMK::VmCRSBound(from.c_str(), rect).Transform(to.c_str());
}

// Tile layers open their caches; maps are asked for transparent pictures,
// so that what lies under them on the page shows through.
void PrepareDatasets(VMK::VmDataSource& source) {
    for (int i = 0; i < source.GetDatasetCount(); ++i) {
        VMK::VmDataset* dataset = source.GetDataset(i);
        if (auto* tiles = dynamic_cast<VMK::VmDatasetRasterWeb*>(dataset)) {
            tiles->Open();
        } else if (dataset->GetType() == VMK::VmDataset::WebMap) {
            static_cast<VMK::VmDatasetRaster*>(dataset)->SetTransparent(1);
        }
    }
}

bool SameView(const ViewRequest& a, const ViewRequest& b) {
    return a.crs == b.crs && a.width == b.width && a.height == b.height && a.bbox == b.bbox;
}

} // namespace

std::string WithoutUserInfo(const std::string& url) {
    const size_t scheme = url.find("://");
    if (scheme == std::string::npos) return url;
    const size_t start = scheme + 3;
    const size_t end = url.find_first_of("/?#", start);
    const size_t at = url.rfind('@', end == std::string::npos ? url.size() : end);
    if (at == std::string::npos || at < start) return url;
    return url.substr(0, start) + url.substr(at + 1);
}

// ---------------------------------------------------------------------------

struct ViewerServices::Progress {
    struct Transfer {
        std::string url;
        long long received = 0, total = 0;
    };
    std::mutex mutex;
    std::map<unsigned long long, Transfer> running;
    unsigned long long started = 0;  // transfers seen since the viewer began
    std::deque<std::string> codes;   // of the last operations, newest last
    std::string lastOperation;

    void Seen(const VMK::VmHttpProgress& p) {
        std::lock_guard<std::mutex> hold(mutex);
        auto it = running.find(p.transfer);
        if (it == running.end() && !p.finished) {
            ++started;
            it = running.emplace(p.transfer, Transfer()).first;
            it->second.url = WithoutUserInfo(p.url.str());
        } else if (it == running.end()) {
            ++started;
            return;
        }
        if (p.finished) {
            running.erase(it);
            return;
        }
        it->second.received = p.received;
        it->second.total = p.total;
    }

    unsigned long long Started() {
        std::lock_guard<std::mutex> hold(mutex);
        return started;
    }

    void Done(const std::string& operation, const std::vector<std::string>& written) {
        std::lock_guard<std::mutex> hold(mutex);
        lastOperation = operation;
        for (const std::string& code : written) codes.push_back(code);
        while (codes.size() > kCodesKept) codes.pop_front();
    }
};

struct ViewerServices::Drawn {
    bool valid = false;
    ViewRequest view;                // as the page asked
    PLX::PlxRect2D region;           // in the raster's system
    int width = 0, height = 0;
    std::string crs;                 // the raster's system
    VMK::VmDatasetRaster* image = nullptr;  // the dataset's
};

struct ViewerServices::Service {
    ServiceEntry entry;
    ParsedArgs args;
    std::unique_ptr<Session> session;
    VMK::VmDataSource* source = nullptr;
    std::map<size_t, Drawn> drawn;
    size_t mapBytes = 0;
};

ViewerServices::ViewerServices(const ParsedArgs& args, const Command& command, const std::vector<ServiceEntry>& entries,
                               size_t mapBudgetBytes)
    : m_mapBudget(mapBudgetBytes), m_progress(std::make_shared<Progress>()) {
    for (const ServiceEntry& entry : entries) {
        std::unique_ptr<Service> service(new Service);
        service->entry = entry;
        // The common options of the command line, with this service's kind;
        // a download line would only fill the terminal.
        std::vector<std::string> line = {"--kind=" + entry.kind, "--no-progress"};
        for (const OptionDef& def : CommonOptions()) {
            const std::string name = def.name;
            if (name == "kind" || name == "progress" || name == "no-progress") continue;
            for (const std::string& value : args.Values(name))
                line.push_back("--" + name + (def.valueName ? "=" + value : std::string()));
        }
        line.push_back("--");
        line.push_back(entry.url);
        service->args = ParseArgs(line, CommonOptions());
        if (entry.kind == "wmts") service->args = WithTileCache(service->args, command);
        service->session.reset(new Session(service->args));
        service->source = &service->session->Open(entry.url);
        PrepareDatasets(*service->source);
        service->session->TakeLogEntries();
        m_services.push_back(std::move(service));
    }
    std::weak_ptr<Progress> progress = m_progress;
    VMK::VmHttpSettings::SetProgressHandler([progress](const VMK::VmHttpProgress& p) {
        if (auto held = progress.lock()) held->Seen(p);
    });
    m_mapCrs = ChooseMapCrs();
}

ViewerServices::~ViewerServices() {
    VMK::VmHttpSettings::SetProgressHandler(VMK::VmHttpProgressHandler());
    std::lock_guard<std::mutex> hold(m_engine);
    m_services.clear();
}

std::string ViewerServices::ChooseMapCrs() {
    for (const auto& service : m_services)
        for (int i = 0; i < service->source->GetDatasetCount(); ++i) {
            const PLX::PlxRect2D box = LonLatBounds(*service->source->GetDataset(i));
            if (!box.IsNull() && (box.top > kMercatorLatitude + 1e-6 || box.bottom < -kMercatorLatitude - 1e-6))
                return "EPSG:4326";
        }
    return "EPSG:3857";
}

ViewerServices::Service& ViewerServices::ServiceAt(size_t index) {
    if (index >= m_services.size()) throw ViewerError(404, "no service " + std::to_string(index));
    return *m_services[index];
}

VMK::VmDatasetRaster* ViewerServices::RasterAt(Service& service, size_t dataset) {
    if (dataset >= static_cast<size_t>(service.source->GetDatasetCount()))
        throw ViewerError(404, "no dataset " + std::to_string(dataset) + " in service " + service.entry.url);
    auto* raster = dynamic_cast<VMK::VmDatasetRaster*>(service.source->GetDataset(static_cast<int>(dataset)));
    if (!raster) throw ViewerError(400, "dataset " + std::to_string(dataset) + " is not a raster");
    return raster;
}

std::vector<std::string> ViewerServices::TakeCodes(Service& service) {
    return VMK::DistinctCodes(service.session->TakeLogEntries());
}

// ---------------------------------------------------------------------------
// What the page lists

namespace {

std::string LayersJson(VMK::VmDatasetRaster& raster) {
    const std::vector<std::string> names = LayerNames(raster);
    PLX::PlxArray<PLX::PlxMBString> titles, visible;
    raster.GetAllLayerTitles(titles);
    raster.GetVisibleLayerNames(visible);
    std::string out = "[";
    for (size_t i = 0; i < names.size(); ++i) {
        const int index = static_cast<int>(i);
        const bool shown = std::find(visible.begin(), visible.end(), PLX::PlxMBString(names[i])) != visible.end();
        out += (i ? "," : "") + std::string("{\"name\":") + Text(names[i]) +
               ",\"title\":" + Text(index < titles.GetSize() ? titles[index].str() : std::string()) +
               ",\"visible\":" + Bool(shown) + ",\"queryable\":" + Bool(raster.IsLayerQueryable(index) != 0) +
               ",\"style\":" + Text(raster.GetLayerStyle(index).str()) + "}";
    }
    return out + "]";
}

std::string CoverageJson(VMK::VmDatasetRaster& raster) {
    VMK::VmRasterDescription d;
    if (!raster.GetRasterDescription(d)) return "null";
    std::string crs = "[";
    for (int i = 0; i < d.CRSNames.GetSize(); ++i)
        crs += (i ? "," : "") + std::string("{\"name\":") + Text(d.CRSNames[i].str()) + ",\"bounds\":" +
               BoxJson(i < d.CRSBounds.GetSize() ? d.CRSBounds[i] : PLX::PlxRect2D()) + "}";
    crs += "]";
    return "{\"identifier\":" + Text(d.Identifier.str()) + ",\"grid\":[" + std::to_string(d.GridWidth) + "," +
           std::to_string(d.GridHeight) + "],\"crs\":" + crs + ",\"formats\":" +
           List(d.Formats, [](const PLX::PlxMBString& f) { return Text(f.str()); }) +
           ",\"nativeFormat\":" + Text(d.NativeFormat.str()) + ",\"axes\":" +
           List(d.Axes,
                [](const VMK::VmRasterDescription::Axis& a) {
                    return "{\"name\":" + Text(a.Name.str()) + ",\"min\":" + std::to_string(a.Min) +
                           ",\"max\":" + std::to_string(a.Max) + ",\"noData\":" + std::to_string(a.NullValue) + "}";
                }) +
           ",\"interpolations\":" +
           List(d.Interpolations, [](const PLX::PlxMBString& f) { return Text(f.str()); }) + "}";
}

std::string TilesJson(VMK::VmDatasetRasterWeb& tiles) {
    const PLX::PlxArray<double> scales = tiles.GetScales();
    return "{\"tileSize\":" + std::to_string(tiles.GetTileSize().cx) + ",\"levels\":" +
           std::to_string(scales.GetSize()) + ",\"scales\":" + List(scales, [](double s) { return Number(s); }) + "}";
}

std::string FieldsJson(VMK::VmDatasetVector& vector) {
    VMK::PlxFieldInfos fields;
    vector.GetFieldInfos(fields);
    // The platform's own fields, which the service knows nothing of, are
    // left out.
    VMK::PlxFieldInfos own;
    for (const VMK::PlxFieldInfo& f : fields)
        if (!f.IsSystemField()) own.Add(f);
    return List(own, [](const VMK::PlxFieldInfo& f) {
        return "{\"name\":" + Text(f.Name.str()) + ",\"type\":\"" + FieldType(f.Type) +
               "\",\"size\":" + std::to_string(f.Size) + "}";
    });
}

std::string DatasetJson(VMK::VmDataset& dataset, size_t index) {
    std::string out = "{\"id\":" + std::to_string(index) + ",\"name\":" + Text(dataset.GetName().str()) +
                      ",\"type\":\"" + DatasetTypeWord(dataset.GetType()) + "\",\"crs\":" +
                      Text(CrsName(dataset.GetPrjCoordSys())) + ",\"bounds\":" + BoxJson(dataset.GetBounds()) +
                      ",\"lonLatBounds\":" + BoxJson(LonLatBounds(dataset));
    auto* raster = dynamic_cast<VMK::VmDatasetRaster*>(&dataset);
    if (auto* tiles = dynamic_cast<VMK::VmDatasetRasterWeb*>(&dataset)) {
        out += ",\"kind\":\"tiles\",\"tiles\":" + TilesJson(*tiles);
    } else if (raster && dataset.GetType() == VMK::VmDataset::WebCoverage) {
        out += ",\"kind\":\"coverage\",\"coverage\":" + CoverageJson(*raster);
    } else if (raster) {
        out += ",\"kind\":\"map\",\"layers\":" + LayersJson(*raster);
    } else if (auto* vector = dynamic_cast<VMK::VmDatasetVector*>(&dataset)) {
        out += ",\"kind\":\"features\",\"fields\":" + FieldsJson(*vector);
    }
    return out + "}";
}

} // namespace

std::string ViewerServices::CatalogJson() {
    std::lock_guard<std::mutex> hold(m_engine);
    std::string out = "{\"mapCrs\":" + Text(m_mapCrs) + ",\"services\":[";
    for (size_t s = 0; s < m_services.size(); ++s) {
        Service& service = *m_services[s];
        VMK::VmDataSource& source = *service.source;
        out += (s ? "," : "") + std::string("{\"id\":") + std::to_string(s) + ",\"kind\":" + Text(service.entry.kind) +
               ",\"url\":" + Text(WithoutUserInfo(service.entry.url)) + ",\"engine\":" +
               Text(source.GetEngineName().str()) + ",\"version\":" + Text(source.GetServiceVersion().str()) +
               ",\"datasets\":[";
        for (int i = 0; i < source.GetDatasetCount(); ++i)
            out += (i ? "," : "") + DatasetJson(*source.GetDataset(i), static_cast<size_t>(i));
        out += "]}";
    }
    return out + "]}";
}

std::string ViewerServices::StatusJson() {
    Progress& p = *m_progress;
    std::lock_guard<std::mutex> hold(p.mutex);
    std::string downloads = "[";
    bool first = true;
    for (const auto& entry : p.running) {
        downloads += (first ? "" : ",") + std::string("{\"url\":") + Text(entry.second.url) +
                     ",\"received\":" + std::to_string(entry.second.received) +
                     ",\"total\":" + std::to_string(entry.second.total) + "}";
        first = false;
    }
    downloads += "]";
    return "{\"requests\":" + std::to_string(p.started) + ",\"downloads\":" + downloads +
           ",\"lastOperation\":" + Text(p.lastOperation) + ",\"codes\":" +
           JsonStrings(p.codes) + "}";
}

// ---------------------------------------------------------------------------
// Pictures

const ViewerServices::Drawn& ViewerServices::Draw(Service& service, const ViewRequest& view) {
    VMK::VmDatasetRaster* raster = RasterAt(service, view.dataset);
    Drawn& drawn = service.drawn[view.dataset];
    if (drawn.valid && SameView(drawn.view, view)) return drawn;
    drawn = Drawn();
    const std::string crs = CrsName(raster->GetPrjCoordSys());
    const PLX::PlxRect2D region = Converted(view.bbox, view.crs, crs);
    if (region.IsNull() || region.IsEmpty())
        throw ViewerError(400, "the view cannot be converted from " + view.crs + " into the dataset's " + crs);
    // The same width; the height as the region's shape in the raster's
    // system asks, so that its pixels stay square there.
    const int width = view.width;
    const int height = std::max(1, std::min(8192, static_cast<int>(std::lround(width * region.Height() / region.Width()))));
    TakeCodes(service);
    VMK::VmDatasetRaster* image = raster->GetDatasetRaster(region, width, height, PLX::PlxMBString());
    std::vector<std::string> codes = TakeCodes(service);
    m_progress->Done("map", codes);
    if (!image) throw ViewerError(502, "the service returned no picture", codes);
    drawn.valid = true;
    drawn.view = view;
    drawn.region = region;
    drawn.width = width;
    drawn.height = height;
    drawn.crs = crs;
    drawn.image = image;
    service.mapBytes += static_cast<size_t>(image->GetWidth()) * image->GetHeight() * std::max(1, image->GetBandCount()) * 4;
    return drawn;
}

ViewerPicture ViewerServices::Map(const ViewRequest& view) {
    std::unique_lock<std::mutex> lock(m_engine);
    Service& service = ServiceAt(view.service);
    RasterAt(service, view.dataset);
    if (dynamic_cast<VMK::VmDatasetRasterWeb*>(service.source->GetDataset(static_cast<int>(view.dataset))))
        return TileView(service, view, lock);
    if (service.mapBytes > m_mapBudget) Reopen(service);
    const Drawn& drawn = Draw(service, view);
    ViewerPicture picture;
    VMK::VmDataExchange::ScreenPicture screen;
    if (!VMK::VmDataExchange::RenderRaster(drawn.image, drawn.crs.c_str(), view.crs.c_str(), view.bbox, view.width,
                                           view.height, screen))
        throw ViewerError(502, "the picture cannot be drawn in " + view.crs);
    picture.png = std::move(screen.Png);
    picture.stretched = screen.Stretched;
    picture.min = screen.Min;
    picture.max = screen.Max;
    return picture;
}

// A tile layer's pixels come from its cache; what the cache lacks is asked
// for first, and waited for without the engine's lock, so that other pages
// and tiles go on meanwhile.
ViewerPicture ViewerServices::TileView(Service& service, const ViewRequest& view, std::unique_lock<std::mutex>& lock) {
    auto* tiles = dynamic_cast<VMK::VmDatasetRasterWeb*>(service.source->GetDataset(static_cast<int>(view.dataset)));
    const std::string crs = CrsName(tiles->GetPrjCoordSys());
    const PLX::PlxRect2D region = Converted(view.bbox, view.crs, crs);
    ViewerPicture picture;
    if (region.IsNull() || region.IsEmpty()) return picture;
    PLX::PlxRect2D inside;
    if (!inside.IntersectRect(region, tiles->GetBounds())) return picture;
    const double scale = tiles->ViewScale(region, view.width);
    TakeCodes(service);
    if (scale > 0 && !tiles->IsAllTilesExist(inside, scale) && tiles->Request(scale, inside, 0)) {
        const auto until = std::chrono::steady_clock::now() + kTileWait;
        while (!tiles->IsComplete() && std::chrono::steady_clock::now() < until) {
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            lock.lock();
        }
    }
    unsigned char state = 0;
    std::unique_ptr<VMK::PlxRasterBlock> block(tiles->GetViewBlock(region, view.width, view.height, state));
    picture.codes = TakeCodes(service);
    m_progress->Done("tiles", picture.codes);
    if (!block) return picture;
    VMK::VmDataExchange::ScreenPicture screen;
    if (!VMK::VmDataExchange::RenderRasterBlock(*block, crs.c_str(), view.crs.c_str(), view.bbox, view.width,
                                                view.height, screen))
        throw ViewerError(502, "the tiles cannot be drawn in " + view.crs);
    picture.png = std::move(screen.Png);
    return picture;
}

// The engine keeps every picture it downloaded until its data source
// closes; a viewer drawing for hours would grow without end. Past the
// budget the service is opened afresh, which costs its opening requests
// once, and the layers shown and their styles are carried over.
void ViewerServices::Reopen(Service& service) {
    struct Layers {
        std::vector<std::string> visible;
        std::vector<std::pair<std::string, std::string>> styles;
    };
    std::vector<Layers> kept;
    for (int i = 0; i < service.source->GetDatasetCount(); ++i) {
        Layers layers;
        if (auto* raster = dynamic_cast<VMK::VmDatasetRaster*>(service.source->GetDataset(i))) {
            PLX::PlxArray<PLX::PlxMBString> visible;
            raster->GetVisibleLayerNames(visible);
            for (const PLX::PlxMBString& name : visible) layers.visible.push_back(name.str());
            const std::vector<std::string> names = LayerNames(*raster);
            for (size_t l = 0; l < names.size(); ++l)
                if (!raster->GetLayerStyle(static_cast<int>(l)).IsEmpty())
                    layers.styles.emplace_back(names[l], raster->GetLayerStyle(static_cast<int>(l)).str());
        }
        kept.push_back(layers);
    }
    std::unique_ptr<Session> fresh(new Session(service.args));
    VMK::VmDataSource* source = &fresh->Open(service.entry.url);
    PrepareDatasets(*source);
    for (int i = 0; i < source->GetDatasetCount() && static_cast<size_t>(i) < kept.size(); ++i) {
        auto* raster = dynamic_cast<VMK::VmDatasetRaster*>(source->GetDataset(i));
        if (!raster || kept[static_cast<size_t>(i)].visible.empty()) continue;
        PLX::PlxArray<PLX::PlxMBString> names;
        for (const std::string& name : kept[static_cast<size_t>(i)].visible) names.Add(name.c_str());
        raster->SetVisibleLayers(names);
        for (const auto& style : kept[static_cast<size_t>(i)].styles)
            raster->SetLayerStyle(style.first.c_str(), style.second.c_str());
    }
    VMK::VmLogFile::GetInstance(false).RecordLog(
        300, "ogcweb", ("viewer: opened " + WithoutUserInfo(service.entry.url) + " afresh to let go of its pictures").c_str(),
        "apps/ogcweb serve", 0);
    service.drawn.clear();
    service.session = std::move(fresh);
    service.source = source;
    service.mapBytes = 0;
}

std::string ViewerServices::FeatureInfoJson(const ViewRequest& view, double x, double y) {
    std::lock_guard<std::mutex> hold(m_engine);
    Service& service = ServiceAt(view.service);
    VMK::VmDatasetRaster* raster = RasterAt(service, view.dataset);
    if (raster->GetType() != VMK::VmDataset::WebMap)
        throw ViewerError(400, "dataset " + std::to_string(view.dataset) + " answers no feature information");
    const Drawn& drawn = Draw(service, view);
    const PLX::PlxRect2D point = Converted(PLX::PlxRect2D(x - 1e-9, y + 1e-9, x + 1e-9, y - 1e-9), view.crs, drawn.crs);
    if (point.IsNull()) throw ViewerError(400, "the point cannot be converted into " + drawn.crs);
    const double px = (point.left + point.right) / 2, py = (point.top + point.bottom) / 2;
    const int column = static_cast<int>((px - drawn.region.left) / drawn.region.Width() * drawn.width);
    const int row = static_cast<int>((drawn.region.top - py) / drawn.region.Height() * drawn.height);
    if (column < 0 || row < 0 || column >= drawn.width || row >= drawn.height)
        throw ViewerError(400, "the point lies outside the view");
    TakeCodes(service);
    PLX::PlxDict<PLX::PlxMBString, PLX::PlxMBString> values;
    const unsigned char asked = raster->GetFeatureInfo(column, row, values);
    const std::vector<std::string> codes = TakeCodes(service);
    m_progress->Done("feature information", codes);
    if (!asked) throw ViewerError(502, "the dataset could not be asked about that point", codes);
    std::string fields = "{";
    bool first = true;
    for (const auto& field : values) {
        fields += (first ? "" : ",") + Text(field.first.str()) + ":" + Text(field.second.str());
        first = false;
    }
    return "{\"pixel\":[" + std::to_string(column) + "," + std::to_string(row) + "],\"fields\":" + fields +
           "},\"codes\":" + JsonStrings(codes) + "}";
}

std::string ViewerServices::ValueJson(size_t serviceIndex, size_t dataset, const std::string& crs, double x, double y) {
    std::lock_guard<std::mutex> hold(m_engine);
    Service& service = ServiceAt(serviceIndex);
    RasterAt(service, dataset);
    auto found = service.drawn.find(dataset);
    if (found == service.drawn.end() || !found->second.valid)
        throw ViewerError(400, "dataset " + std::to_string(dataset) + " has drawn nothing yet");
    double value = 0;
    const bool inside =
        VMK::VmDataExchange::SampleRaster(found->second.image, found->second.crs.c_str(), crs.c_str(), x, y, value);
    return "{\"value\":" + (inside ? Number(value) : std::string("null")) + "}";
}

// ---------------------------------------------------------------------------
// Features and layers

ViewerFeatures ViewerServices::Features(size_t serviceIndex, size_t dataset, const PLX::PlxRect2D& bounds,
                                        const std::string& where) {
    std::lock_guard<std::mutex> hold(m_engine);
    Service& service = ServiceAt(serviceIndex);
    if (dataset >= static_cast<size_t>(service.source->GetDatasetCount()))
        throw ViewerError(404, "no dataset " + std::to_string(dataset));
    auto* vector = dynamic_cast<VMK::VmDatasetVector*>(service.source->GetDataset(static_cast<int>(dataset)));
    if (!vector) throw ViewerError(400, "dataset " + std::to_string(dataset) + " holds no features");
    VMK::VmQueryDef query;
    if (!where.empty()) {
        query.QueryType = VMK::VmQueryDef::General;
        query.Filter = where.c_str();
    } else {
        query.QueryType = VMK::VmQueryDef::QueryBounds;
        query.Bounds = bounds;
    }
    TakeCodes(service);
    const unsigned long long before = m_progress->Started();
    VMK::VmRecordset* records = vector->Query(query);
    ViewerFeatures features;
    features.codes = TakeCodes(service);
    features.fromEarlierDownload = m_progress->Started() == before;
    m_progress->Done("features", features.codes);
    if (!records) {
        const bool refused = std::find(features.codes.begin(), features.codes.end(), "malformed attribute filter") !=
                             features.codes.end();
        if (refused) throw ViewerError(400, "the engine refused the condition \"" + where + "\"", features.codes);
        PLX::PlxRect2D common;
        if (where.empty() && !common.IntersectRect(bounds, vector->GetBounds())) {
            features.geojson = "{\"type\":\"FeatureCollection\",\"features\":[]}";
            return features;
        }
        throw ViewerError(502, "the service returned no features", features.codes);
    }
    // The recordset stays with its download: a later query inside its
    // region is answered from it.
    features.count = AppendFeatureCollection(*records, features.geojson, {}, kMaxFeatures);
    features.truncated = features.count < records->GetRecordCount();
    return features;
}

void ViewerServices::SetVisibleLayers(size_t serviceIndex, size_t dataset, const std::vector<std::string>& layers) {
    std::lock_guard<std::mutex> hold(m_engine);
    Service& service = ServiceAt(serviceIndex);
    VMK::VmDatasetRaster* raster = RasterAt(service, dataset);
    const std::vector<std::string> known = LayerNames(*raster);
    PLX::PlxArray<PLX::PlxMBString> names;
    for (const std::string& layer : layers) {
        if (std::find(known.begin(), known.end(), layer) == known.end())
            throw ViewerError(404, "no layer named \"" + layer + "\"");
        names.Add(layer.c_str());
    }
    TakeCodes(service);
    const bool set = raster->SetVisibleLayers(names) != 0;
    const std::vector<std::string> codes = TakeCodes(service);
    m_progress->Done("layers", codes);
    if (!set) throw ViewerError(502, "the dataset did not take those layers", codes);
    service.drawn.erase(dataset);
}

void ViewerServices::SetLayerStyle(size_t serviceIndex, size_t dataset, const std::string& layer,
                                   const std::string& style) {
    std::lock_guard<std::mutex> hold(m_engine);
    Service& service = ServiceAt(serviceIndex);
    VMK::VmDatasetRaster* raster = RasterAt(service, dataset);
    const std::vector<std::string> known = LayerNames(*raster);
    if (std::find(known.begin(), known.end(), layer) == known.end())
        throw ViewerError(404, "no layer named \"" + layer + "\"");
    TakeCodes(service);
    const bool set = raster->SetLayerStyle(layer.c_str(), style.c_str()) != 0;
    const std::vector<std::string> codes = TakeCodes(service);
    m_progress->Done("style", codes);
    if (!set) throw ViewerError(502, "the dataset did not take that style", codes);
    service.drawn.erase(dataset);
}

} // namespace ogcweb
