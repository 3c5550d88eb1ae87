#!/usr/bin/python3
"""A small HTTP front for the sample service: runs MapServer's CGI program for
each request to /wms or /ows on a loopback address.

Standard library only, so that the demo and the tests need nothing beyond
python3 and the MapServer packages (and gdal-bin, with which
../data/make-rasters.sh makes the coverages' rasters before the front
listens, when they are missing).

    ogc_front.py [--port N] [--add-service-wms | --no-add-service-wms]
                 [--feature-info-compat | --no-feature-info-compat]
                 [--mapserv PATH] [--mapfile PATH] [--log FILE]
                 [--stop-on-stdin-eof]

Port 0 (the default) takes a free port. Once the socket listens, the front
prints "listening on 127.0.0.1:PORT" on stdout: whoever started it waits for
that line rather than polling. Requests are logged to stderr (or --log).
SIGTERM and SIGINT stop it cleanly with status 0. With --stop-on-stdin-eof
it also stops once its standard input reaches end of file: a test harness
holds the other end of a pipe there, so a front whose harness crashed or was
killed does not outlive it.

--feature-info-compat (on by default) makes the engine's GetFeatureInfo
readable for MapServer 8 and readable back: a request without VERSION gets
VERSION=1.1.1 (its SRS, X and Y parameters are 1.1.1's; MapServer refuses a
request without a version), and INFO_FORMAT text/plain is asked for as the
mapfile's "plaintext" template format, because MapServer's own text/plain
layout ("Layer '...'", "Feature N:", quoted values) is not the heading,
dashes and "name = value" lines that the engine reads.
--no-feature-info-compat passes such requests on unchanged.

--add-service-wms (on by default) adds SERVICE=WMS to a request that carries
no SERVICE parameter. MapServer 8 takes such a request, e.g. the old
"WMTVER=1.0.0&REQUEST=map" form of WMS 1.0.0, for its own CGI browse mode and
answers with an HTML page instead of a map. --no-add-service-wms passes every
request on exactly as it came, which is what a test of that behaviour needs.
"""

import argparse
import os
import signal
import subprocess
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

HERE = os.path.dirname(os.path.abspath(__file__))
DEMO = os.path.dirname(HERE)
DEFAULT_MAPSERV = "/usr/lib/cgi-bin/mapserv"
DEFAULT_MAPFILE = os.path.join(DEMO, "mapserver", "demo.map")
CONFIG_FILE = os.path.join(HERE, "mapserver.conf")
RASTER_SCRIPT = os.path.join(DEMO, "data", "make-rasters.sh")
RASTER_TIMEOUT_SEC = 120
SERVICE_PATHS = ("/wms", "/ows")
CGI_TIMEOUT_SEC = 60
MAX_BODY = 10 * 1024 * 1024

# Passed on to the CGI program when set; everything else in the front's own
# environment stays out, as a web server would keep it out.
INHERITED_ENV = ("PATH", "LANG", "LC_ALL", "TZ", "TMPDIR", "PROJ_DATA", "PROJ_LIB", "GDAL_DATA",
                 "CPL_DEBUG", "MS_DEBUGLEVEL")


def has_param(query, name):
    for piece in query.split("&"):
        key = piece.split("=", 1)[0]
        if urllib.parse.unquote_plus(key).strip().lower() == name:
            return True
    return False


def param_value(query, name):
    for piece in query.split("&"):
        key, _, value = piece.partition("=")
        if urllib.parse.unquote_plus(key).strip().lower() == name:
            return urllib.parse.unquote_plus(value)
    return None


def pin_wms_version(query, version):
    """Answers every WMS request as one of `version`: the request's VERSION
    (or WMTVER) value is replaced. Other services pass untouched."""
    service = param_value(query, "service")
    if service is not None and service.strip().lower() != "wms":
        return query
    pieces = []
    for piece in query.split("&"):
        key, sep, value = piece.partition("=")
        if urllib.parse.unquote_plus(key).strip().lower() in ("version", "wmtver"):
            piece = key + "=" + version
        pieces.append(piece)
    return "&".join(pieces)


def adapt_feature_info(query):
    """The --feature-info-compat rewrite of a GetFeatureInfo query; any
    other query comes back unchanged."""
    request = (param_value(query, "request") or "").strip().lower()
    if request not in ("getfeatureinfo", "feature_info"):
        return query
    if not has_param(query, "version") and not has_param(query, "wmtver"):
        query += "&VERSION=1.1.1"
    pieces = []
    for piece in query.split("&"):
        key, _, value = piece.partition("=")
        if (urllib.parse.unquote_plus(key).strip().lower() == "info_format"
                and urllib.parse.unquote_plus(value).strip().lower() == "text/plain"):
            piece = key + "=plaintext"
        pieces.append(piece)
    return "&".join(pieces)


def split_cgi_output(data):
    """Headers and body of a CGI answer. The header block ends at the first
    empty line, which MapServer writes as CRLF CRLF but other programs as LF LF."""
    ends = [(i, len(sep)) for sep in (b"\r\n\r\n", b"\n\n") for i in [data.find(sep)] if i >= 0]
    if not ends:
        return None, data
    end, size = min(ends)
    headers = []
    for line in data[:end].replace(b"\r\n", b"\n").split(b"\n"):
        if not line.strip():
            continue
        name, sep, value = line.decode("latin-1").partition(":")
        if not sep:
            return None, data
        headers.append((name.strip(), value.strip()))
    return headers, data[end + size:]


def make_rasters(log):
    """The coverages' rasters are computed, not stored in the repository: the
    script makes them when they are missing and returns at once otherwise.
    A failure leaves the WMS and WFS working; only GetCoverage then fails,
    and the log says why."""
    def note(text):
        log.write("%s %s\n" % (time.strftime("%Y-%m-%d %H:%M:%S"), text))
        log.flush()
    try:
        done = subprocess.run(["/bin/sh", RASTER_SCRIPT], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=RASTER_TIMEOUT_SEC)
    except (OSError, subprocess.TimeoutExpired) as error:
        note("cannot make the coverage rasters: %s" % error)
        return
    if done.returncode != 0:
        note("cannot make the coverage rasters (%s exited with %d): %s" %
             (RASTER_SCRIPT, done.returncode, done.stderr.decode("utf-8", "replace").strip()))


class Front(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, options, log):
        super().__init__(address, Handler)
        self.options = options
        self.log = log
        self.log_lock = threading.Lock()

    def write_log(self, text):
        with self.log_lock:
            self.log.write("%s %s\n" % (time.strftime("%Y-%m-%d %H:%M:%S"), text))
            self.log.flush()


class Handler(BaseHTTPRequestHandler):
    server_version = "OgcDemoFront/1.0"
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        self.server.write_log("%s %s" % (self.address_string(), fmt % args))

    def do_GET(self):
        self.handle_request(b"")

    def do_HEAD(self):
        self.handle_request(b"", head=True)

    def do_POST(self):
        try:
            length = int(self.headers.get("Content-Length", "0"))
        except ValueError:
            length = -1
        if length < 0 or length > MAX_BODY:
            self.send_plain(400, "bad or missing Content-Length\n")
            return
        self.handle_request(self.rfile.read(length))

    def send_plain(self, status, text, head=False):
        body = text.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "text/plain; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if not head:
            self.wfile.write(body)

    def handle_request(self, body, head=False):
        path, _, query = self.path.partition("?")
        if path == "/":
            self.send_plain(200, "OGC Web Engine sample service: %s\n" % " ".join(SERVICE_PATHS), head)
            return
        if path not in SERVICE_PATHS:
            self.send_plain(404, "no such service: %s\n" % path, head)
            return
        options = self.server.options
        if options.add_service_wms and query and not has_param(query, "service"):
            query += "&SERVICE=WMS"
            self.server.write_log("compatibility: added SERVICE=WMS to %s?%s" % (path, query))
        if options.feature_info_compat and query:
            adapted = adapt_feature_info(query)
            if adapted != query:
                self.server.write_log("compatibility: GetFeatureInfo sent on as %s?%s" % (path, adapted))
                query = adapted
        if options.wms_version and query:
            query = pin_wms_version(query, options.wms_version)
        self.run_cgi(path, query, body, head)

    def run_cgi(self, path, query, body, head):
        options = self.server.options
        env = {name: os.environ[name] for name in INHERITED_ENV if name in os.environ}
        host = self.server.server_address[0]
        port = str(self.server.server_address[1])
        env.update({
            "GATEWAY_INTERFACE": "CGI/1.1",
            "SERVER_PROTOCOL": "HTTP/1.1",
            "SERVER_SOFTWARE": self.server_version,
            # MapServer builds the capabilities' online resource from these
            # three when the mapfile names none, so they must describe this
            # front exactly, whatever Host header the client sent.
            "SERVER_NAME": host,
            "SERVER_PORT": port,
            "SCRIPT_NAME": path,
            "REQUEST_METHOD": "GET" if head else self.command,
            "QUERY_STRING": query,
            "REMOTE_ADDR": self.client_address[0],
            "MAPSERVER_CONFIG_FILE": CONFIG_FILE,
            "MS_MAPFILE": options.mapfile,
        })
        if self.command == "POST":
            env["CONTENT_LENGTH"] = str(len(body))
            env["CONTENT_TYPE"] = self.headers.get("Content-Type", "application/x-www-form-urlencoded")
        try:
            done = subprocess.run([options.mapserv], input=body, env=env, cwd=os.path.dirname(options.mapfile),
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=CGI_TIMEOUT_SEC)
        except subprocess.TimeoutExpired:
            self.server.write_log("mapserv took more than %d s for %s?%s" % (CGI_TIMEOUT_SEC, path, query))
            self.send_plain(504, "mapserv did not answer in time\n", head)
            return
        except OSError as error:
            self.server.write_log("cannot run %s: %s" % (options.mapserv, error))
            self.send_plain(502, "cannot run mapserv: %s\n" % error, head)
            return
        if done.stderr:
            self.server.write_log("mapserv: " + done.stderr.decode("utf-8", "replace").rstrip())
        headers, payload = split_cgi_output(done.stdout)
        if headers is None:
            self.server.write_log("mapserv exited with %d and no CGI headers" % done.returncode)
            self.send_plain(502, "mapserv gave no valid CGI answer (exit status %d)\n" % done.returncode, head)
            return
        status = 200
        passed = []
        for name, value in headers:
            lower = name.lower()
            if lower == "status":
                try:
                    status = int(value.split()[0])
                except (ValueError, IndexError):
                    status = 502
            elif lower in ("content-length", "connection", "transfer-encoding"):
                continue  # the front frames the body itself
            else:
                passed.append((name, value))
        self.send_response(status)
        for name, value in passed:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        if not head:
            self.wfile.write(payload)


def main():
    parser = argparse.ArgumentParser(description="HTTP front for the MapServer sample service (loopback only).")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1; 0 takes a free one (default)")
    parser.add_argument("--add-service-wms", action=argparse.BooleanOptionalAction, default=True,
                        help="add SERVICE=WMS to requests without SERVICE (default: on)")
    parser.add_argument("--feature-info-compat", action=argparse.BooleanOptionalAction, default=True,
                        help="give GetFeatureInfo a VERSION and the engine's text layout (default: on)")
    parser.add_argument("--wms-version", help="answer every WMS request as this version (tests of one version)")
    parser.add_argument("--mapserv", default=DEFAULT_MAPSERV, help="MapServer CGI program (default: %(default)s)")
    parser.add_argument("--mapfile", default=DEFAULT_MAPFILE, help="mapfile (default: the demo's)")
    parser.add_argument("--log", help="append the request log to this file instead of stderr")
    parser.add_argument("--stop-on-stdin-eof", action="store_true",
                        help="stop when standard input reaches end of file (its writer is gone)")
    options = parser.parse_args()
    options.mapfile = os.path.abspath(options.mapfile)

    # Refuse to start rather than answer every request with an error: the
    # caller waits for the "listening" line and reports this message instead.
    if not os.access(options.mapserv, os.X_OK):
        sys.stderr.write("ogc_front: MapServer CGI program not found or not executable: %s "
                         "(Debian package cgi-mapserver)\n" % options.mapserv)
        return 2
    if not os.path.isfile(options.mapfile):
        sys.stderr.write("ogc_front: mapfile not found: %s\n" % options.mapfile)
        return 2
    if not 0 <= options.port <= 65535:
        sys.stderr.write("ogc_front: port out of range: %d\n" % options.port)
        return 2

    log = open(options.log, "a", encoding="utf-8") if options.log else sys.stderr
    make_rasters(log)
    try:
        server = Front(("127.0.0.1", options.port), options, log)
    except OSError as error:
        sys.stderr.write("ogc_front: cannot listen on 127.0.0.1:%d: %s\n" % (options.port, error))
        return 2

    def stop(signum, _frame):
        server.write_log("signal %d: stopping" % signum)
        # shutdown() waits for serve_forever() to return, which runs on this
        # very thread, so it has to be called from another one.
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    if options.stop_on_stdin_eof:
        def watch_stdin():
            while sys.stdin.buffer.read1(4096):
                pass
            server.write_log("standard input closed: stopping")
            server.shutdown()

        threading.Thread(target=watch_stdin, daemon=True).start()

    port = server.server_address[1]
    server.write_log("serving %s with %s, add-service-wms %s" %
                     (options.mapfile, options.mapserv, "on" if options.add_service_wms else "off"))
    sys.stdout.write("listening on 127.0.0.1:%d\n" % port)
    sys.stdout.flush()
    try:
        server.serve_forever(poll_interval=0.2)
    finally:
        server.server_close()
        if log is not sys.stderr:
            log.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
