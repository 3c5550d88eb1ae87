#!/usr/bin/python3
"""Serves the demo tile service: MapProxy's WSGI application for
mapproxy.yaml.in, filled in for one WMS, on a loopback address.

    serve.py --wms-url URL [--port N] [--run-dir DIR] [--quiet]
             [--stop-on-stdin-eof]

The filled-in configuration and the tile cache go to the run folder
(default /tmp/ogcweb-mapproxy). Port 0 (the default) takes a free port. Once
MapProxy has loaded its configuration and the socket listens, it prints
"listening on 127.0.0.1:PORT" on stdout; whoever started it waits for that
line rather than polling. SIGTERM and SIGINT stop it with status 0; with
--stop-on-stdin-eof it also stops when its standard input reaches end of
file, so that a server whose harness died does not outlive it.

A threaded wsgiref server rather than `mapproxy-util serve-develop`: tile
clients download several tiles at once, and the develop server's reloader
adds a second process that a harness would have to find and stop too.
Needs Debian's python3-mapproxy (package mapproxy), which lives in the
system Python, /usr/bin/python3.
"""

import argparse
import os
import signal
import socketserver
import sys
import threading
from wsgiref.simple_server import WSGIRequestHandler, WSGIServer, make_server

HERE = os.path.dirname(os.path.abspath(__file__))


class ThreadingWSGIServer(socketserver.ThreadingMixIn, WSGIServer):
    daemon_threads = True
    allow_reuse_address = True


class Handler(WSGIRequestHandler):
    quiet = False

    def log_message(self, format, *args):
        if not self.quiet:
            sys.stderr.write("%s %s\n" % (self.log_date_time_string(), format % args))


def write_config(wms_url, run_dir):
    cache_dir = os.path.join(run_dir, "cache_data")
    os.makedirs(cache_dir, exist_ok=True)
    with open(os.path.join(HERE, "mapproxy.yaml.in"), encoding="utf-8") as template:
        text = template.read()
    # Quoted YAML strings: a quote in the value would end them.
    for value in (wms_url, cache_dir):
        if "'" in value:
            raise SystemExit("serve.py: a quote in %r is not supported" % value)
    text = text.replace("@WMS_URL@", wms_url).replace("@CACHE_DIR@", cache_dir)
    path = os.path.join(run_dir, "mapproxy.yaml")
    with open(path + ".tmp", "w", encoding="utf-8") as out:
        out.write(text)
    os.replace(path + ".tmp", path)
    return path


def main():
    parser = argparse.ArgumentParser(description="MapProxy WMTS in front of the sample WMS")
    parser.add_argument("--wms-url", required=True, help="the WMS, e.g. http://127.0.0.1:18080/wms")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--run-dir", default=os.environ.get("OGC_MAPPROXY_RUN_DIR", "/tmp/ogcweb-mapproxy"))
    parser.add_argument("--quiet", action="store_true", help="do not log requests")
    parser.add_argument("--stop-on-stdin-eof", action="store_true")
    args = parser.parse_args()

    try:
        from mapproxy.wsgiapp import make_wsgi_app
    except ImportError:
        raise SystemExit("serve.py: MapProxy not found for %s (Debian package mapproxy)" % sys.executable)

    config = write_config(args.wms_url, args.run_dir)
    app = make_wsgi_app(config, ignore_config_warnings=False)
    Handler.quiet = args.quiet
    server = make_server("127.0.0.1", args.port, app, server_class=ThreadingWSGIServer, handler_class=Handler)

    def stop(*_):
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    if args.stop_on_stdin_eof:
        def watch_stdin():
            while sys.stdin.buffer.read(4096):
                pass
            stop()
        threading.Thread(target=watch_stdin, daemon=True).start()

    print("listening on 127.0.0.1:%d" % server.server_port, flush=True)
    try:
        server.serve_forever()
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
