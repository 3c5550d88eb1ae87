#!/usr/bin/python3
"""Loopback WMS for bench/report.sh: every answer is made once at start and
replayed byte for byte, so the server costs almost nothing per request.

    replay_server.py [--port PORT]

/big   a WMS 1.3.0 with 10,000 named layers in groups of groups (each with
       three CRS and two bounding boxes), as large national services publish;
       any request gets the capabilities document.
/map   a WMS 1.1.1 with one layer, "l1"; GetCapabilities gets its document,
       every other request a 512 x 512 PNG, whatever its box or size.

Prints "listening on 127.0.0.1:PORT" once ready; runs until killed.
"""
import argparse
import struct
import sys
import zlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

GROUPS, SUBGROUPS, LEAVES = 20, 10, 50  # 10,000 named leaves


def layer(name, leaf, n):
    box = ("<EX_GeographicBoundingBox><westBoundLongitude>%d</westBoundLongitude>"
           "<eastBoundLongitude>%d</eastBoundLongitude><southBoundLatitude>%d</southBoundLatitude>"
           "<northBoundLatitude>%d</northBoundLatitude></EX_GeographicBoundingBox>"
           '<BoundingBox CRS="EPSG:4326" minx="%d" miny="%d" maxx="%d" maxy="%d"/>'
           '<BoundingBox CRS="EPSG:3857" minx="%d00000" miny="%d00000" maxx="%d00000" maxy="%d00000"/>'
           % (n % 170 - 85, n % 170 - 84, n % 80 - 40, n % 80 - 39, n % 80 - 40, n % 170 - 85, n % 80 - 39,
              n % 170 - 84, n % 170 - 85, n % 80 - 40, n % 170 - 84, n % 80 - 39))
    text = '<Layer queryable="1" opaque="0">' if leaf else "<Layer>"
    text += "<Name>%s</Name><Title>Layer %s</Title><Abstract>Generated layer</Abstract>" % (name, name)
    text += "<CRS>EPSG:4326</CRS><CRS>EPSG:3857</CRS><CRS>EPSG:25832</CRS>" + box
    if leaf:
        text += "<Style><Name>default</Name><Title>Default</Title></Style>"
    return text


def big_capabilities(base):
    parts = ['<?xml version="1.0" encoding="UTF-8"?>'
             '<WMS_Capabilities version="1.3.0" xmlns="http://www.opengis.net/wms" '
             'xmlns:xlink="http://www.w3.org/1999/xlink">'
             "<Service><Name>WMS</Name><Title>Generated</Title>"
             '<OnlineResource xlink:href="%s"/></Service><Capability><Request>'
             "<GetCapabilities><Format>text/xml</Format><DCPType><HTTP><Get>"
             '<OnlineResource xlink:href="%s?"/></Get></HTTP></DCPType></GetCapabilities>'
             "<GetMap><Format>image/png</Format><Format>image/jpeg</Format><DCPType><HTTP><Get>"
             '<OnlineResource xlink:href="%s?"/></Get></HTTP></DCPType></GetMap>'
             "</Request><Exception><Format>XML</Format></Exception>"
             "<Layer><Title>Root</Title><CRS>EPSG:4326</CRS><CRS>CRS:84</CRS>"
             "<EX_GeographicBoundingBox><westBoundLongitude>-180</westBoundLongitude>"
             "<eastBoundLongitude>180</eastBoundLongitude><southBoundLatitude>-90</southBoundLatitude>"
             "<northBoundLatitude>90</northBoundLatitude></EX_GeographicBoundingBox>" % (base, base, base)]
    n = 0
    for g in range(GROUPS):
        parts.append(layer("group%d" % g, False, n))
        n += 1
        for s in range(SUBGROUPS):
            parts.append(layer("sub%d_%d" % (g, s), False, n))
            n += 1
            for _ in range(LEAVES):
                parts.append(layer("l%d" % n, True, n) + "</Layer>")
                n += 1
            parts.append("</Layer>")
        parts.append("</Layer>")
    parts.append("</Layer></Capability></WMS_Capabilities>")
    return "".join(parts).encode("utf-8")


def map_capabilities(base):
    return ('<?xml version="1.0" encoding="UTF-8"?>'
            '<WMT_MS_Capabilities version="1.1.1"><Service><Name>OGC:WMS</Name><Title>Replayed maps</Title>'
            '<OnlineResource xmlns:xlink="http://www.w3.org/1999/xlink" xlink:href="%(b)s"/></Service>'
            "<Capability><Request><GetCapabilities><Format>application/vnd.ogc.wms_xml</Format><DCPType><HTTP>"
            '<Get><OnlineResource xmlns:xlink="http://www.w3.org/1999/xlink" xlink:href="%(b)s?"/></Get>'
            "</HTTP></DCPType></GetCapabilities><GetMap><Format>image/png</Format><DCPType><HTTP><Get>"
            '<OnlineResource xmlns:xlink="http://www.w3.org/1999/xlink" xlink:href="%(b)s?"/></Get></HTTP>'
            "</DCPType></GetMap></Request><Exception><Format>application/vnd.ogc.se_xml</Format></Exception>"
            "<Layer><Title>Root</Title><SRS>EPSG:4326</SRS>"
            '<LatLonBoundingBox minx="-180" miny="-90" maxx="180" maxy="90"/>'
            '<Layer queryable="0"><Name>l1</Name><Title>One layer</Title><SRS>EPSG:4326</SRS>'
            '<LatLonBoundingBox minx="-180" miny="-90" maxx="180" maxy="90"/></Layer></Layer>'
            "</Capability></WMT_MS_Capabilities>" % {"b": base}).encode("utf-8")


def gradient_png(size=512):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)
    rows = []
    for y in range(size):
        row = bytearray(b"\x00")
        for x in range(size):
            row += bytes((x * 255 // size, y * 255 // size, 128, 255))
        rows.append(bytes(row))
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(b"".join(rows), 6)) +
            chunk(b"IEND", b""))


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def do_GET(self):
        path, _, query = self.path.partition("?")
        answers = self.server.answers
        if path == "/big":
            self.send(answers["big"], "text/xml")
        elif path == "/map":
            if "getcapabilities" in query.lower() or "request=capabilities" in query.lower():
                self.send(answers["map"], "application/vnd.ogc.wms_xml")
            else:
                self.send(answers["png"], "image/png")
        else:
            self.send(b"no such service\n", "text/plain", 404)

    def send(self, body, kind, status=200):
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


def main():
    parser = argparse.ArgumentParser(description="Replaying WMS for benchmarks (loopback only).")
    parser.add_argument("--port", type=int, default=0)
    options = parser.parse_args()
    server = ThreadingHTTPServer(("127.0.0.1", options.port), Handler)
    server.daemon_threads = True
    port = server.server_address[1]
    base = "http://127.0.0.1:%d" % port
    server.answers = {"big": big_capabilities(base + "/big"), "map": map_capabilities(base + "/map"),
                      "png": gradient_png()}
    sys.stdout.write("listening on 127.0.0.1:%d\n" % port)
    sys.stdout.flush()
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
