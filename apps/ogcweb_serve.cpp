// ogcweb serve: a map viewer in the browser. The services are opened once
// through the engine, and a small HTTP server on loopback answers the page
// (apps/web/) with what the engine makes of them: pictures as PNG, features
// as GeoJSON, the catalogue and the engine's log codes as JSON.
#include "ogcweb_commands.h"
#include "ogcweb_geojson.h"
#include "ogcweb_session.h"
#include "serve_services.h"

#include "VmToolkit.h"

#include <httplib.h>

#include <pthread.h>
#include <signal.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace ogcweb {

namespace {

const int kMaxPictureSide = 4096;
const size_t kDefaultMapBudgetMb = 512;
const char* const kLeafletFolder = "/usr/share/javascript/leaflet";

// ---------------------------------------------------------------------------
// Reading the page's requests

std::string Param(const httplib::Request& request, const char* name) {
    if (!request.has_param(name)) throw ViewerError(400, std::string("the parameter \"") + name + "\" is missing");
    return request.get_param_value(name);
}

size_t Index(const httplib::Request& request, const char* name) {
    const std::string text = Param(request, name);
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end || text[0] == '-' || value > 100000)
        throw ViewerError(400, std::string("\"") + name + "\" must be a number, not \"" + text + "\"");
    return value;
}

double Coordinate(const std::string& text, const char* what) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end || !std::isfinite(value))
        throw ViewerError(400, std::string("\"") + what + "\" must be a number, not \"" + text + "\"");
    return value;
}

// "minx,miny,maxx,maxy" with a positive width and height.
PLX::PlxRect2D Box(const httplib::Request& request, const char* name) {
    const std::string text = Param(request, name);
    double v[4];
    std::stringstream pieces(text);
    std::string piece;
    int count = 0;
    while (std::getline(pieces, piece, ',')) {
        if (count == 4) throw ViewerError(400, "\"bbox\" must be four numbers, not \"" + text + "\"");
        v[count++] = Coordinate(piece, name);
    }
    if (count != 4 || !(v[0] < v[2]) || !(v[1] < v[3]))
        throw ViewerError(400, "\"bbox\" must be minx,miny,maxx,maxy with min below max, not \"" + text + "\"");
    return PLX::PlxRect2D(v[0], v[3], v[2], v[1]);
}

int Side(const httplib::Request& request, const char* name) {
    const std::string text = Param(request, name);
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || value < 1 || value > kMaxPictureSide)
        throw ViewerError(400, std::string("\"") + name + "\" must be a whole number from 1 to " +
                                   std::to_string(kMaxPictureSide) + ", not \"" + text + "\"");
    return static_cast<int>(value);
}

std::string ViewCrs(const httplib::Request& request) {
    const std::string crs = Param(request, "crs");
    if (crs != "EPSG:3857" && crs != "EPSG:4326")
        throw ViewerError(400, "\"crs\" must be EPSG:3857 or EPSG:4326, not \"" + crs + "\"");
    return crs;
}

ViewRequest View(const httplib::Request& request) {
    ViewRequest view;
    view.service = Index(request, "service");
    view.dataset = Index(request, "dataset");
    view.crs = ViewCrs(request);
    view.bbox = Box(request, "bbox");
    view.width = Side(request, "width");
    view.height = Side(request, "height");
    return view;
}

// ---------------------------------------------------------------------------
// Answers

void Json(httplib::Response& response, const std::string& body) {
    response.set_header("Cache-Control", "no-store");
    response.set_content(body, "application/json");
}

void Error(httplib::Response& response, int status, const std::string& message,
           const std::vector<std::string>& codes) {
    response.status = status;
    Json(response, "{\"error\":" + JsonString(message) + ",\"codes\":" + JsonStrings(codes) + "}");
}

// Every answer of the API goes through here: a failure of any kind becomes
// a JSON error, never a dropped connection or a dead server.
template <class F>
httplib::Server::Handler Api(F answer) {
    return [answer](const httplib::Request& request, httplib::Response& response) {
        try {
            answer(request, response);
        } catch (const ViewerError& error) {
            Error(response, error.Status(), error.what(), error.Codes());
        } catch (const std::bad_alloc&) {
            Error(response, 503, "the viewer ran out of memory for this answer", {});
        } catch (const std::exception& error) {
            Error(response, 500, std::string("unexpected error: ") + error.what(), {});
        }
    };
}

// ---------------------------------------------------------------------------
// Files

const char* ContentType(const std::string& name) {
    const std::string ext = fs::path(name).extension().string();
    if (ext == ".html") return "text/html; charset=utf-8";
    if (ext == ".js") return "text/javascript; charset=utf-8";
    if (ext == ".css") return "text/css; charset=utf-8";
    if (ext == ".png") return "image/png";
    if (ext == ".svg") return "image/svg+xml";
    if (ext == ".json") return "application/json";
    return "application/octet-stream";
}

// A name of the folder itself: letters, digits, '.', '_' and '-', not
// starting with '.', so that nothing outside it (and nothing hidden) is
// ever served.
bool PlainName(const std::string& name) {
    if (name.empty() || name[0] == '.') return false;
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') return false;
    return true;
}

bool SendFile(httplib::Response& response, const fs::path& folder, const std::string& relative) {
    std::error_code ec;
    const fs::path path = folder / relative;
    if (!fs::is_regular_file(path, ec)) return false;
    std::ifstream in(path, std::ios::binary);
    std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in && !in.eof()) return false;
    response.set_content(body, ContentType(relative));
    return true;
}

// The web folder of an installed ogcweb (share/ogcweb/web beside its bin),
// else the sources' one this program was built from.
fs::path DefaultWebFolder() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        const fs::path installed = (exe.parent_path() / OGCWEB_RELATIVE_WEB).lexically_normal();
        if (fs::is_regular_file(installed / "index.html", ec)) return installed;
    }
    return OGCWEB_SOURCE_WEB;
}

// ---------------------------------------------------------------------------
// Who may ask

// The page's own addresses: a request whose Host or Origin names another is
// refused, so that a page from elsewhere open in the same browser cannot
// drive the viewer, nor a DNS name rebound to loopback reach it.
struct OwnAddresses {
    std::set<std::string> hosts;

    OwnAddresses(const std::string& bind, int port) {
        const std::string p = ":" + std::to_string(port);
        for (const std::string& host : {std::string("127.0.0.1"), std::string("localhost"), std::string("[::1]")})
            hosts.insert(host + p);
        if (bind != "0.0.0.0" && bind != "::") hosts.insert((bind.find(':') != std::string::npos ? "[" + bind + "]" : bind) + p);
    }

    bool Allows(const httplib::Request& request, bool anyHost) const {
        const std::string host = request.get_header_value("Host");
        if (!anyHost && !hosts.count(host)) return false;
        if (!request.has_header("Origin")) return true;
        const std::string origin = request.get_header_value("Origin");
        return origin == "http://" + host && (anyHost || hosts.count(host));
    }
};

// ---------------------------------------------------------------------------
// The routes

void Routes(httplib::Server& server, ViewerServices& services, const fs::path& web) {
    server.Get("/api/services", Api([&](const httplib::Request&, httplib::Response& response) {
                   Json(response, services.CatalogJson());
               }));
    server.Get("/api/status", Api([&](const httplib::Request&, httplib::Response& response) {
                   Json(response, services.StatusJson());
               }));
    server.Get("/api/map", Api([&](const httplib::Request& request, httplib::Response& response) {
                   ViewerPicture picture = services.Map(View(request));
                   response.set_header("Cache-Control", "no-store");
                   response.set_header("X-Codes", JsonStrings(picture.codes));
                   if (picture.stretched) {
                       response.set_header("X-Stretch-Min", std::to_string(picture.min));
                       response.set_header("X-Stretch-Max", std::to_string(picture.max));
                   }
                   if (picture.png.empty()) {
                       response.status = 204;
                       return;
                   }
                   response.set_content(std::string(picture.png.begin(), picture.png.end()), "image/png");
               }));
    server.Get("/api/featureinfo", Api([&](const httplib::Request& request, httplib::Response& response) {
                   const ViewRequest view = View(request);
                   Json(response, services.FeatureInfoJson(view, Coordinate(Param(request, "x"), "x"),
                                                           Coordinate(Param(request, "y"), "y")));
               }));
    server.Get("/api/value", Api([&](const httplib::Request& request, httplib::Response& response) {
                   Json(response, services.ValueJson(Index(request, "service"), Index(request, "dataset"),
                                                     ViewCrs(request), Coordinate(Param(request, "x"), "x"),
                                                     Coordinate(Param(request, "y"), "y")));
               }));
    server.Get("/api/features", Api([&](const httplib::Request& request, httplib::Response& response) {
                   const std::string where = request.has_param("where") ? request.get_param_value("where") : "";
                   const PLX::PlxRect2D bounds = where.empty() ? Box(request, "bbox") : PLX::PlxRect2D();
                   const ViewerFeatures features =
                       services.Features(Index(request, "service"), Index(request, "dataset"), bounds, where);
                   Json(response, "{\"count\":" + std::to_string(features.count) +
                                      ",\"truncated\":" + (features.truncated ? "true" : "false") +
                                      ",\"fromEarlierDownload\":" + (features.fromEarlierDownload ? "true" : "false") +
                                      ",\"codes\":" + JsonStrings(features.codes) +
                                      ",\"collection\":" + features.geojson + "}");
               }));
    server.Post("/api/layers", Api([&](const httplib::Request& request, httplib::Response& response) {
                    std::vector<std::string> layers;
                    std::stringstream names(Param(request, "layers"));
                    std::string name;
                    while (std::getline(names, name, ',')) layers.push_back(name);
                    services.SetVisibleLayers(Index(request, "service"), Index(request, "dataset"), layers);
                    Json(response, "{\"ok\":true}");
                }));
    server.Post("/api/style", Api([&](const httplib::Request& request, httplib::Response& response) {
                    services.SetLayerStyle(Index(request, "service"), Index(request, "dataset"),
                                           Param(request, "layer"), Param(request, "style"));
                    Json(response, "{\"ok\":true}");
                }));
    server.Get("/api/.*", Api([](const httplib::Request& request, httplib::Response&) {
                   throw ViewerError(404, "no such call: " + request.path);
               }));

    server.Get("/", [web](const httplib::Request&, httplib::Response& response) {
        if (!SendFile(response, web, "index.html")) Error(response, 404, "the viewer's page is missing", {});
    });
    server.Get(R"(/leaflet/([A-Za-z0-9_-][A-Za-z0-9._-]*(/[A-Za-z0-9_-][A-Za-z0-9._-]*)?))",
               [](const httplib::Request& request, httplib::Response& response) {
                   if (!SendFile(response, kLeafletFolder, request.matches[1]))
                       Error(response, 404, "no such file of Leaflet", {});
               });
    server.Get("/(.*)", [web](const httplib::Request& request, httplib::Response& response) {
        const std::string name = request.matches[1];
        if (!PlainName(name) || !SendFile(response, web, name)) Error(response, 404, "no such file", {});
    });
}

// ---------------------------------------------------------------------------
// Running until interrupted

std::vector<ServiceEntry> ServiceEntries(const ParsedArgs& args) {
    std::vector<ServiceEntry> entries;
    const std::vector<std::string>& urls = args.Positionals();
    if (urls.size() > 1) throw UsageError("one service address expected, got also \"" + urls[1] + "\"");
    if (!urls.empty()) entries.push_back({args.Value("kind", "wms"), urls[0]});
    for (const std::string& entry : args.Values("service")) {
        const size_t equals = entry.find('=');
        const std::string kind = entry.substr(0, equals);
        if (equals == std::string::npos || (kind != "wms" && kind != "wfs" && kind != "wcs" && kind != "wmts"))
            throw UsageError("--service must be KIND=URL with KIND wms, wfs, wcs or wmts, not \"" + entry + "\"");
        entries.push_back({kind, entry.substr(equals + 1)});
    }
    if (entries.empty()) throw UsageError("the service address (URL) is missing");
    return entries;
}

int RunServe(const ParsedArgs& args) {
    const std::vector<ServiceEntry> entries = ServiceEntries(args);
    const std::string bind = args.Value("bind", "127.0.0.1");
    const int port = args.Has("port") ? ParseCount(args.Value("port"), "--port", 0, 65535) : 8080;
    const size_t budget =
        static_cast<size_t>(args.Has("map-budget-mb") ? ParseCount(args.Value("map-budget-mb"), "--map-budget-mb", 16, 65536)
                                                      : kDefaultMapBudgetMb) << 20;
    const fs::path web = args.Has("web") ? fs::path(args.Value("web")) : DefaultWebFolder();
    std::error_code ec;
    if (!fs::is_regular_file(web / "index.html", ec))
        throw Failure("the viewer's page is missing: no index.html in " + web.string());
    if (bind != "127.0.0.1" && bind != "localhost")
        std::fprintf(stderr, "ogcweb serve: warning: listening on %s, not loopback: anyone who reaches this machine "
                             "can use the services opened here\n", bind.c_str());

    // Ctrl-C and SIGTERM are taken by one thread of ours, so that the server
    // stops and every data source closes (their temporary files with them)
    // instead of the process ending in the middle of a call. Blocked before
    // any thread exists, so that every later one inherits the mask.
    sigset_t stopping;
    sigemptyset(&stopping);
    sigaddset(&stopping, SIGINT);
    sigaddset(&stopping, SIGTERM);
    sigaddset(&stopping, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopping, nullptr);

    // Declared first, so that it goes after the services: what they leave
    // behind goes with it.
    std::unique_ptr<DownloadFolder> downloads;
    ViewerServices services(args, ServeCommand(), entries, budget);
    downloads.reset(new DownloadFolder("serve"));

    httplib::Server server;
    server.set_read_timeout(30, 0);
    server.set_write_timeout(60, 0);
    const bool anyHost = bind == "0.0.0.0" || bind == "::";
    int boundPort = 0;
    server.set_pre_routing_handler([&](const httplib::Request& request, httplib::Response& response) {
        const OwnAddresses own(bind, boundPort);
        if (own.Allows(request, anyHost)) return httplib::Server::HandlerResponse::Unhandled;
        Error(response, 403, "this viewer answers its own page only", {});
        return httplib::Server::HandlerResponse::Handled;
    });
    Routes(server, services, web);
    boundPort = port == 0 ? server.bind_to_any_port(bind) : (server.bind_to_port(bind, port) ? port : -1);
    if (boundPort <= 0) throw Failure("cannot listen on " + bind + ":" + std::to_string(port));

    const std::string shown = bind == "0.0.0.0" || bind == "::" ? "127.0.0.1" : bind;
    std::printf("listening on %s:%d\nopen http://%s:%d/ in a browser; Ctrl-C stops\n", shown.c_str(), boundPort,
                shown.c_str(), boundPort);
    std::fflush(stdout);

    std::thread stopper([&] {
        int signal = 0;
        sigwait(&stopping, &signal);
        server.stop();
    });
    const bool served = server.listen_after_bind();
    // Ends the stopper when the server stopped for another reason.
    pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
    // Standard output may be gone (a pipe read for the address only).
    std::fprintf(stderr, "ogcweb serve: stopped\n");
    return served ? kExitOk : kExitFailure;
}

} // namespace

const Command& ServeCommand() {
    static const Command command = {
        "serve",
        "show services on a map in the browser: a viewer on this machine",
        "serve URL [--kind KIND] [--service KIND=URL]... [--port N] [options]",
        "Opens the service at URL (and each --service), starts a web server on\n"
        "127.0.0.1 and prints the address of its page: a map with the services'\n"
        "layers, features and coverages over each other, their descriptions in a\n"
        "side panel and the engine's log codes in a status line. Leaflet comes from\n"
        "Debian's libjs-leaflet; the page needs no network beyond the services.\n"
        "Serves until interrupted (Ctrl-C); then the services are closed and their\n"
        "temporary files removed. Requests that do not come from the page's own\n"
        "address are refused; credentials given here never reach the page.\n",
        {
            {"service", 0, "KIND=URL", true, "another service to show, e.g. wfs=http://host/ows"},
            {"port", 0, "N", false, "the port to listen on (default 8080; 0 picks a free one)"},
            {"bind", 0, "ADDR", false, "listen on ADDR instead of 127.0.0.1 (with a warning)"},
            {"web", 0, "DIR", false, "the folder of the page's files (default: the installed one)"},
            {"map-budget-mb", 0, "MB", false, "pictures kept per service before it is opened afresh (default 512)"},
        },
        &RunServe,
    };
    return command;
}

} // namespace ogcweb
