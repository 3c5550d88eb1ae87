// _ogcweb: the engine's datasets for Python. The Python package (ogcweb/)
// checks arguments and gives the calls their shape; here every call runs
// without the interpreter's lock, under its service's lock, and reports
// the log codes it caused when it fails.
#include "engine.h"

#include "VmDataExchange.h"
#include "VmEngine.h"
#include "VmGeometry.h"
#include "VmNetwork.h"
#include "VmTileCache.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>

namespace py = pybind11;
using namespace ogcpy;

namespace {

PyObject* g_errorType = nullptr;

// ogcweb.Error with its message and `.codes`.
[[noreturn]] void RaiseError(const std::string& message, const std::vector<std::string>& codes) {
    std::string text = message;
    for (size_t i = 0; i < codes.size(); ++i) text += (i ? ", " : " (log: ") + codes[i];
    if (!codes.empty()) text += ")";
    py::object error = py::reinterpret_borrow<py::object>(g_errorType)(text);
    error.attr("codes") = py::cast(codes);
    PyErr_SetObject(g_errorType, error.ptr());
    throw py::error_already_set();
}

// Runs `work(source, capture)` without the interpreter's lock and under the
// service's; a closed service is an error before anything is asked.
template <class F>
auto Run(ServiceState& state, F&& work) -> decltype(work(std::declval<VMK::VmDataSource&>(),
                                                         std::declval<VMK::VmLogCapture&>())) {
    py::gil_scoped_release free;
    std::lock_guard<std::mutex> hold(state.mutex);
    if (state.closed || !state.source) throw EngineError("the service is closed", {});
    VMK::VmLogCapture capture;
    return work(*state.source, capture);
}

std::string CrsName(const VMK::VmPrjCoordSys& system) {
    const PLX::PlxMBString name = system.GetAuthorityName();
    return name.IsEmpty() ? std::string() : name.str();
}

py::tuple BoundsTuple(const PLX::PlxRect2D& r) {
    if (r.IsNull()) return py::tuple();
    return py::make_tuple(r.left, r.bottom, r.right, r.top);
}

PLX::PlxRect2D Region(const std::vector<double>& box) {
    return PLX::PlxRect2D(box[0], box[3], box[2], box[1]);
}

// Which wrapper the package gives the dataset.
const char* DatasetKind(VMK::VmDataset* dataset) {
    switch (dataset->GetType()) {
    case VMK::VmDataset::WebTile: return "tiles";
    case VMK::VmDataset::WebMap: return "map";
    case VMK::VmDataset::WebCoverage: return "coverage";
    default: return dynamic_cast<VMK::VmDatasetVector*>(dataset) ? "features" : "other";
    }
}

// ---------------------------------------------------------------------------

// A picture that came back: a map or coverage (its raster, owned by the
// dataset, and its pixels) or a tile view (its block).
struct Picture {
    std::shared_ptr<ServiceState> state;
    VMK::VmDatasetRaster* raster = nullptr;
    VMK::VmDataExchange::PixelArray pixels;
    std::shared_ptr<VMK::PlxRasterBlock> block;
    VMK::VmPrjCoordSys prj;
    std::string crs;
    double transform[6] = {0, 1, 0, 0, 0, -1};

    py::array Array() const {
        if (block) {
            auto keep = new std::shared_ptr<VMK::PlxRasterBlock>(block);
            py::capsule base(keep, [](void* p) { delete static_cast<std::shared_ptr<VMK::PlxRasterBlock>*>(p); });
            return py::array(py::dtype("u1"), {block->PixelHeight, block->PixelWidth, 4},
                             {static_cast<py::ssize_t>(block->RowBytes), py::ssize_t(4), py::ssize_t(1)},
                             block->Data.data(), base);
        }
        auto keep = new std::shared_ptr<unsigned char>(pixels.Memory);
        py::capsule base(keep, [](void* p) { delete static_cast<std::shared_ptr<unsigned char>*>(p); });
        const py::ssize_t item = pixels.ItemBytes, pixel = item * pixels.Bands;
        return py::array(py::dtype(std::string("=") + pixels.Type), {pixels.Height, pixels.Width, pixels.Bands},
                         {pixel * pixels.Width, pixel, item}, pixels.Data, base);
    }

    void Save(const std::string& path) {
        const bool written = Run(*state, [&](VMK::VmDataSource&, VMK::VmLogCapture& capture) {
            const bool ok = block ? VMK::VmDataExchange::ExportRasterBlock(*block, prj, path.c_str())
                                  : VMK::VmDataExchange::ExportRaster(raster, path.c_str());
            if (!ok) throw EngineError("cannot write " + path, CodesOf(capture));
            return ok;
        });
        (void)written;
    }
};

std::shared_ptr<Picture> PictureOf(const std::shared_ptr<ServiceState>& state, VMK::VmDatasetRaster* image,
                                   const std::string& crs, VMK::VmLogCapture& capture) {
    auto picture = std::make_shared<Picture>();
    picture->state = state;
    picture->raster = image;
    picture->crs = crs;
    if (!VMK::VmDataExchange::PixelArrayOf(image, picture->pixels))
        throw EngineError("the picture holds no pixels an array can take", CodesOf(capture));
    std::copy(picture->pixels.Transform, picture->pixels.Transform + 6, picture->transform);
    return picture;
}

// ---------------------------------------------------------------------------

// A query's recordset, owned by its dataset until the service closes; read
// in chunks of features, sequentially from where the last chunk ended.
struct Records {
    std::shared_ptr<ServiceState> state;
    VMK::VmRecordset* records = nullptr;
    int count = 0;
    int position = 0;  // of the recordset's cursor

    // Features [start, start + size) as GeoJSON-like dicts, made directly:
    // the records are read under the service's lock without the
    // interpreter, the objects then made with it.
    py::list Objects(int start, int size) {
        struct Raw {
            int id = 0;
            std::vector<std::string> values;
            bool point = false, empty = false;
            double x = 0, y = 0;
            std::string geojson;
        };
        VMK::PlxFieldInfos fields;
        std::vector<Raw> raw;
        Run(*state, [&](VMK::VmDataSource&, VMK::VmLogCapture&) {
            MoveTo(start);
            if (records->GetDataset()) records->GetDataset()->GetFieldInfos(fields);
            raw.reserve(static_cast<size_t>(size));
            for (int n = 0; n < size && !records->IsEOF(); ++n, ++position, records->MoveNext()) {
                Raw r;
                r.id = records->GetID();
                r.values.reserve(static_cast<size_t>(fields.GetSize()));
                for (const VMK::PlxFieldInfo& f : fields) r.values.push_back(records->GetFieldValue(f.Name).str());
                const VMK::VmGeometry* geometry = records->GetGeometry();
                if (!geometry || geometry->IsEmpty()) {
                    r.empty = true;
                } else if (geometry->GetType() == VMK::VmGeometry::Point) {
                    const PLX::PlxRect2D at = geometry->GetBounds();
                    r.point = true;
                    r.x = at.left;
                    r.y = at.top;
                } else {
                    r.geojson = geometry->ToGeoJSON().str();
                }
                raw.push_back(std::move(r));
            }
            return 0;
        });
        return Build(fields, raw);
    }

    void MoveTo(int start) {
        if (start != position || start == 0) {
            records->MoveFirst();
            position = 0;
            for (; position < start && !records->IsEOF(); ++position) records->MoveNext();
        }
    }

    template <class Raw>
    static py::list Build(const VMK::PlxFieldInfos& fields, const std::vector<Raw>& raw) {
        const py::str type("type"), feature("Feature"), id("id"), properties("properties"), geometry("geometry"),
            coordinates("coordinates"), point("Point");
        std::vector<py::str> names;
        for (const VMK::PlxFieldInfo& f : fields) names.emplace_back(f.Name.str());
        const py::object loads = py::module_::import("json").attr("loads");
        // Thousands of fresh dicts would set off the collector again and
        // again over objects that cannot be garbage yet (no cycles here).
        struct CollectorPaused {
            const int was = PyGC_Disable();
            ~CollectorPaused() {
                if (was) PyGC_Enable();
            }
        } paused;
        py::list out(raw.size());
        for (size_t i = 0; i < raw.size(); ++i) {
            const Raw& r = raw[i];
            py::dict item, props;
            item[type] = feature;
            if (r.id > 0) item[id] = py::int_(r.id);
            for (int f = 0; f < fields.GetSize(); ++f)
                PyDict_SetItem(props.ptr(), names[static_cast<size_t>(f)].ptr(),
                               Value(fields[f], r.values[static_cast<size_t>(f)]).ptr());
            item[properties] = props;
            if (r.empty) {
                item[geometry] = py::none();
            } else if (r.point) {
                py::dict g;
                g[type] = point;
                py::list xy(2);
                PyList_SET_ITEM(xy.ptr(), 0, PyFloat_FromDouble(r.x));
                PyList_SET_ITEM(xy.ptr(), 1, PyFloat_FromDouble(r.y));
                g[coordinates] = xy;
                item[geometry] = g;
            } else {
                item[geometry] = loads(py::bytes(r.geojson));
            }
            PyList_SET_ITEM(out.ptr(), static_cast<py::ssize_t>(i), item.release().ptr());
        }
        return out;
    }

    // A field's text as the Python value of its type: numbers as int or
    // float, booleans, text; None for no value or unreadable numbers.
    static py::object Value(const VMK::PlxFieldInfo& field, const std::string& text) {
        using T = VMK::PlxFieldInfo;
        switch (field.Type) {
        case T::Byte:
        case T::Int16:
        case T::Int32:
        case T::Int64: {
            char* end = nullptr;
            const long long v = std::strtoll(text.c_str(), &end, 10);
            if (!text.empty() && *end == '\0') return py::int_(v);
            return FloatOf(text);
        }
        case T::Single:
        case T::Double: return FloatOf(text);
        case T::Boolean:
            if (text == "1" || text == "true") return py::bool_(true);
            if (text == "0" || text == "false") return py::bool_(false);
            return py::none();
        default:
            return py::reinterpret_steal<py::object>(
                PyUnicode_DecodeUTF8(text.data(), static_cast<py::ssize_t>(text.size()), "replace"));
        }
    }

    static py::object FloatOf(const std::string& text) {
        char* end = nullptr;
        const double v = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !std::isfinite(v)) return py::none();
        return py::float_(v);
    }
};

// ---------------------------------------------------------------------------

struct Dataset {
    std::shared_ptr<ServiceState> state;
    int index = 0;
    std::string name, kind, crs;
    py::tuple bounds;

    template <class T>
    static T* As(VMK::VmDataSource& source, int index) {
        auto* dataset = dynamic_cast<T*>(source.GetDataset(index));
        if (!dataset) throw EngineError("the dataset is gone", {});
        return dataset;
    }

    py::list Layers() {
        struct Layer {
            std::string name, title, style;
            bool queryable, visible;
        };
        const std::vector<Layer> layers = Run(*state, [&](VMK::VmDataSource& source, VMK::VmLogCapture&) {
            auto* raster = As<VMK::VmDatasetRaster>(source, index);
            PLX::PlxArray<PLX::PlxMBString> names, titles, visible;
            raster->GetAllLayerNames(names);
            raster->GetAllLayerTitles(titles);
            raster->GetVisibleLayerNames(visible);
            std::vector<Layer> out;
            for (int i = 0; i < names.GetSize(); ++i) {
                const bool shown = std::find(visible.begin(), visible.end(), names[i]) != visible.end();
                out.push_back({names[i].str(), i < titles.GetSize() ? titles[i].str() : std::string(),
                               raster->GetLayerStyle(i).str(), raster->IsLayerQueryable(i) != 0, shown});
            }
            return out;
        });
        py::list out;
        for (const Layer& l : layers) {
            py::dict d;
            d["name"] = l.name;
            d["title"] = l.title;
            d["style"] = l.style;
            d["queryable"] = l.queryable;
            d["visible"] = l.visible;
            out.append(d);
        }
        return out;
    }

    void SetVisible(const std::vector<std::string>& layers) {
        Run(*state, [&](VMK::VmDataSource& source, VMK::VmLogCapture& capture) {
            PLX::PlxArray<PLX::PlxMBString> names;
            for (const std::string& layer : layers) names.Add(layer.c_str());
            if (!As<VMK::VmDatasetRaster>(source, index)->SetVisibleLayers(names))
                throw EngineError("the dataset did not take those layers", CodesOf(capture));
            return 0;
        });
    }

    void SetStyle(const std::string& layer, const std::string& style) {
        Run(*state, [&](VMK::VmDataSource& source, VMK::VmLogCapture& capture) {
            if (!As<VMK::VmDatasetRaster>(source, index)->SetLayerStyle(layer.c_str(), style.c_str()))
                throw EngineError("cannot draw layer \"" + layer + "\" with style \"" + style + "\"", CodesOf(capture));
            return 0;
        });
    }

    // A map or coverage of `box` (minx, miny, maxx, maxy in the dataset's
    // system) at width x height.
    std::shared_ptr<Picture> Render(const std::vector<double>& box, int width, int height, bool transparent) {
        return Run(*state, [&](VMK::VmDataSource& source, VMK::VmLogCapture& capture) {
            auto* raster = As<VMK::VmDatasetRaster>(source, index);
            if (kind == "map") raster->SetTransparent(transparent ? 1 : 0);
            VMK::VmDatasetRaster* image = raster->GetDatasetRaster(Region(box), width, height, PLX::PlxMBString());
            if (!image) throw EngineError("the service returned no picture", CodesOf(capture));
            return PictureOf(state, image, crs, capture);
        });
    }

    py::dict FeatureInfo(const std::vector<double>& box, int width, int height, int column, int row) {
        const std::vector<std::pair<std::string, std::string>> fields =
            Run(*state, [&](VMK::VmDataSource& source, VMK::VmLogCapture& capture) {
                auto* raster = As<VMK::VmDatasetRaster>(source, index);
                // The service is asked about a pixel of the map drawn last.
                if (!raster->GetDatasetRaster(Region(box), width, height, PLX::PlxMBString()))
                    throw EngineError("the service returned no map", CodesOf(capture));
                PLX::PlxDict<PLX::PlxMBString, PLX::PlxMBString> values;
                if (!raster->GetFeatureInfo(column, row, values))
                    throw EngineError("the dataset could not be asked about that pixel", CodesOf(capture));
                std::vector<std::pair<std::string, std::string>> out;
                for (const auto& field : values) out.emplace_back(field.first.str(), field.second.str());
                return out;
            });
        py::dict out;
        for (const auto& field : fields) out[py::str(field.first)] = field.second;
        return out;
    }

    py::list Fields() {
        const VMK::PlxFieldInfos fields = Run(*state, [&](VMK::VmDataSource& source, VMK::VmLogCapture&) {
            VMK::PlxFieldInfos all;
            As<VMK::VmDatasetVector>(source, index)->GetFieldInfos(all);
            return all;
        });
        py::list out;
        for (const VMK::PlxFieldInfo& f : fields) {
            if (f.IsSystemField()) continue;
            out.append(py::make_tuple(f.Name.str(), static_cast<int>(f.Type), f.Size));
        }
        return out;
    }

    // kind: "bbox", "ids" or "where".
    std::shared_ptr<Records> Query(const std::string& how, const std::vector<double>& box, const std::vector<int>& ids,
                                   const std::string& where) {
        return Run(*state, [&](VMK::VmDataSource& source, VMK::VmLogCapture& capture) {
            auto* vector = As<VMK::VmDatasetVector>(source, index);
            VMK::VmQueryDef query;
            if (how == "ids") {
                query.QueryType = VMK::VmQueryDef::QueryIDs;
                for (int id : ids) query.IDs.Add(id);
            } else if (how == "where") {
                query.QueryType = VMK::VmQueryDef::General;
                query.Filter = where.c_str();
            } else {
                query.QueryType = VMK::VmQueryDef::QueryBounds;
                query.Bounds = box.empty() ? vector->GetBounds() : Region(box);
            }
            auto records = std::make_shared<Records>();
            records->state = state;
            records->records = vector->Query(query);
            if (!records->records) {
                PLX::PlxRect2D common;
                if (how == "bbox" && !common.IntersectRect(query.Bounds, vector->GetBounds())) {
                    records->count = 0;
                    return records;
                }
                throw EngineError("the query returned no features", CodesOf(capture));
            }
            records->count = records->records->GetRecordCount();
            return records;
        });
    }

    py::dict Description() {
        const VMK::VmRasterDescription d = Run(*state, [&](VMK::VmDataSource& source, VMK::VmLogCapture&) {
            VMK::VmRasterDescription description;
            As<VMK::VmDatasetRaster>(source, index)->GetRasterDescription(description);
            return description;
        });
        py::dict out;
        out["identifier"] = d.Identifier.str();
        out["grid"] = py::make_tuple(d.GridWidth, d.GridHeight);
        py::dict systems;
        for (int i = 0; i < d.CRSNames.GetSize(); ++i)
            systems[py::str(d.CRSNames[i].str())] = BoundsTuple(i < d.CRSBounds.GetSize() ? d.CRSBounds[i] : PLX::PlxRect2D());
        out["crs"] = systems;
        py::list formats, interpolations, bands;
        for (const PLX::PlxMBString& f : d.Formats) formats.append(f.str());
        for (const PLX::PlxMBString& f : d.Interpolations) interpolations.append(f.str());
        for (const auto& axis : d.Axes) {
            py::dict band;
            band["name"] = axis.Name.str();
            band["min"] = axis.Min;
            band["max"] = axis.Max;
            band["nodata"] = axis.NullValue;
            bands.append(band);
        }
        out["formats"] = formats;
        out["native_format"] = d.NativeFormat.str();
        out["interpolations"] = interpolations;
        out["bands"] = bands;
        return out;
    }

    py::tuple Tiles() {
        const std::pair<std::vector<double>, int> tiles = Run(*state, [&](VMK::VmDataSource& source, VMK::VmLogCapture&) {
            auto* layer = As<VMK::VmDatasetRasterWeb>(source, index);
            const PLX::PlxArray<double> scales = layer->GetScales();
            return std::make_pair(std::vector<double>(scales.begin(), scales.end()), layer->GetTileSize().cx);
        });
        return py::make_tuple(tiles.first, tiles.second);
    }

    // A view of the tile layer through its cache: what the cache lacks is
    // downloaded first, waited for up to `wait` seconds.
    std::shared_ptr<Picture> View(const std::vector<double>& box, int width, int height, double wait) {
        return Run(*state, [&](VMK::VmDataSource& source, VMK::VmLogCapture& capture) {
            auto* layer = As<VMK::VmDatasetRasterWeb>(source, index);
            const PLX::PlxRect2D region = Region(box);
            const double scale = layer->ViewScale(region, width);
            if (scale <= 0) throw EngineError("the layer has no tile levels", CodesOf(capture));
            PLX::PlxRect2D inside;
            if (inside.IntersectRect(region, layer->GetBounds()) && !layer->IsAllTilesExist(inside, scale) &&
                layer->Request(scale, inside, 0)) {
                const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(wait);
                while (!layer->IsComplete() && std::chrono::steady_clock::now() < until)
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            unsigned char complete = 0;
            std::shared_ptr<VMK::PlxRasterBlock> block(layer->GetViewBlock(region, width, height, complete));
            if (!block) throw EngineError("no tiles of the layer in that region", CodesOf(capture));
            auto picture = std::make_shared<Picture>();
            picture->state = state;
            picture->block = block;
            picture->prj = layer->GetPrjCoordSys();
            picture->crs = crs;
            const PLX::PlxRect2D& b = block->Bounds;
            const double t[6] = {b.left, b.Width() / block->PixelWidth, 0.0, b.top, 0.0, -b.Height() / block->PixelHeight};
            std::copy(t, t + 6, picture->transform);
            return picture;
        });
    }
};

struct Service {
    std::shared_ptr<ServiceState> state;
    std::string kind, version, engine;
    std::vector<Dataset> datasets;

    explicit Service(const OpenOptions& options) {
        {
            py::gil_scoped_release free;
            state = OpenService(options);
        }
        kind = options.kind;
        VMK::VmDataSource& source = *state->source;
        version = source.GetServiceVersion().str();
        engine = source.GetEngineName().str();
        for (int i = 0; i < source.GetDatasetCount(); ++i) {
            VMK::VmDataset* d = source.GetDataset(i);
            datasets.push_back({state, i, d->GetName().str(), DatasetKind(d), CrsName(d->GetPrjCoordSys()),
                                BoundsTuple(d->GetBounds())});
        }
    }

    void Close() {
        py::gil_scoped_release free;
        CloseService(*state);
    }
    bool Closed() const { return state->closed; }
};

} // namespace

PYBIND11_MODULE(_ogcweb, m) {
    m.doc() = "The OGC Web Engine's datasets (the ogcweb package wraps this module).";
    g_errorType = PyErr_NewExceptionWithDoc(
        "ogcweb.Error",
        "A call the engine or the service failed. The message names the log codes the engine wrote during\n"
        "the call; .codes holds them as a list (empty when the engine wrote none).",
        PyExc_Exception, nullptr);
    m.attr("Error") = py::handle(g_errorType);
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const EngineError& error) {
            try {
                RaiseError(error.what(), error.Codes());
            } catch (py::error_already_set& raised) {
                raised.restore();
            }
        }
    });

    py::class_<Picture, std::shared_ptr<Picture>>(m, "_Picture")
        .def("array", &Picture::Array)
        .def_property_readonly("copied", [](const Picture& p) { return !p.block && p.pixels.Copied; })
        .def_property_readonly("transform", [](const Picture& p) {
            return py::make_tuple(p.transform[0], p.transform[1], p.transform[2], p.transform[3], p.transform[4],
                                  p.transform[5]);
        })
        .def_property_readonly("crs", [](const Picture& p) { return p.crs; })
        .def_property_readonly("nodata", [](const Picture& p) -> py::object {
            if (p.block || !p.pixels.HasNoData) return py::none();
            return py::float_(p.pixels.NoData);
        })
        .def("save", &Picture::Save);

    py::class_<Records, std::shared_ptr<Records>>(m, "_Records")
        .def_readonly("count", &Records::count)
        .def("objects", &Records::Objects);

    py::class_<Dataset>(m, "_Dataset")
        .def_readonly("name", &Dataset::name)
        .def_readonly("kind", &Dataset::kind)
        .def_readonly("crs", &Dataset::crs)
        .def_readonly("bounds", &Dataset::bounds)
        .def("layers", &Dataset::Layers)
        .def("set_visible", &Dataset::SetVisible)
        .def("set_style", &Dataset::SetStyle)
        .def("render", &Dataset::Render)
        .def("feature_info", &Dataset::FeatureInfo)
        .def("fields", &Dataset::Fields)
        .def("query", &Dataset::Query)
        .def("description", &Dataset::Description)
        .def("tiles", &Dataset::Tiles)
        .def("view", &Dataset::View);

    py::class_<Service>(m, "_Service")
        .def(py::init([](const std::string& url, const std::string& kind, const std::string& user,
                         const std::string& password, const std::string& cache) {
                 OpenOptions options;
                 options.url = url;
                 options.kind = kind;
                 options.user = user;
                 options.password = password;
                 options.cache = cache;
                 return new Service(options);
             }))
        .def_readonly("kind", &Service::kind)
        .def_readonly("version", &Service::version)
        .def_readonly("engine", &Service::engine)
        .def_readonly("datasets", &Service::datasets)
        .def("close", &Service::Close)
        .def_property_readonly("closed", &Service::Closed);

    m.def("set_timeout", [](double seconds) {
        VMK::VmHttpSettings settings = VMK::VmHttpSettings::Get();
        settings.totalTimeoutSec = static_cast<long>(seconds + 0.999);
        VMK::VmHttpSettings::Set(settings);
    });
    m.def("set_log", [](const std::string& path) { VMK::VmLogFile::GetInstance(false).SetPath(path.c_str()); });
    m.def("engine_path", [] { return Engine::Get().Path(); });
}
