#!/usr/bin/python3
"""A WMTS on loopback whose every tile takes a fixed time to answer, for
measuring how fast a client fills an empty tile cache.

    tile_bench_server.py [--latency-ms 50] [--port 0]

One layer, "bench", in a Web Mercator set "GoogleMapsCompatible" (levels 0 to
18), as KVP GetTile and as a REST template. Every tile is the same small PNG;
its answer comes --latency-ms after the request, as a server that renders or
fetches tiles would answer. Prints "listening on 127.0.0.1:PORT" once ready.

The server must not measure itself: it runs on asyncio (a waiting tile costs
no thread), listens with a deep backlog, sets TCP_NODELAY on every connection
and writes each answer in one piece, so a client's connections are never held
up by the server rather than by the latency asked for. GET /stats answers the
number of tile requests so far and the most that were waiting at once.
"""

import argparse
import asyncio
import socket
import struct
import sys
import zlib

LAYER = "bench"
SET = "GoogleMapsCompatible"
LEVELS = 19
ORIGIN = 20037508.3427892
SCALE0 = 559082264.0287178


def solid_png(size=256, rgba=(90, 140, 200, 255)):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)
    row = b"\x00" + bytes(rgba) * size
    raw = zlib.compress(row * size, 9)
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", raw) + chunk(b"IEND", b"")


def capabilities(base):
    matrices = []
    for z in range(LEVELS):
        matrices.append(
            "<TileMatrix><ows:Identifier>%d</ows:Identifier><ScaleDenominator>%.10f</ScaleDenominator>"
            "<TopLeftCorner>%.7f %.7f</TopLeftCorner><TileWidth>256</TileWidth><TileHeight>256</TileHeight>"
            "<MatrixWidth>%d</MatrixWidth><MatrixHeight>%d</MatrixHeight></TileMatrix>"
            % (z, SCALE0 / (1 << z), -ORIGIN, ORIGIN, 1 << z, 1 << z))
    return (
        '<?xml version="1.0" encoding="UTF-8"?>'
        '<Capabilities xmlns="http://www.opengis.net/wmts/1.0" xmlns:ows="http://www.opengis.net/ows/1.1" '
        'xmlns:xlink="http://www.w3.org/1999/xlink" version="1.0.0">'
        '<ows:ServiceIdentification><ows:Title>Tile latency bench</ows:Title>'
        '<ows:ServiceType>OGC WMTS</ows:ServiceType><ows:ServiceTypeVersion>1.0.0</ows:ServiceTypeVersion>'
        '</ows:ServiceIdentification>'
        '<ows:OperationsMetadata>'
        '<ows:Operation name="GetCapabilities"><ows:DCP><ows:HTTP><ows:Get xlink:href="%(base)s/wmts?">'
        '<ows:Constraint name="GetEncoding"><ows:AllowedValues><ows:Value>KVP</ows:Value></ows:AllowedValues>'
        '</ows:Constraint></ows:Get></ows:HTTP></ows:DCP></ows:Operation>'
        '<ows:Operation name="GetTile"><ows:DCP><ows:HTTP><ows:Get xlink:href="%(base)s/wmts?">'
        '<ows:Constraint name="GetEncoding"><ows:AllowedValues><ows:Value>KVP</ows:Value></ows:AllowedValues>'
        '</ows:Constraint></ows:Get></ows:HTTP></ows:DCP></ows:Operation>'
        '</ows:OperationsMetadata><Contents><Layer><ows:Title>Bench</ows:Title>'
        '<ows:WGS84BoundingBox><ows:LowerCorner>-180 -85.051129</ows:LowerCorner>'
        '<ows:UpperCorner>180 85.051129</ows:UpperCorner></ows:WGS84BoundingBox>'
        '<ows:Identifier>%(layer)s</ows:Identifier><Style isDefault="true"><ows:Identifier>default'
        '</ows:Identifier></Style><Format>image/png</Format><TileMatrixSetLink><TileMatrixSet>%(set)s'
        '</TileMatrixSet></TileMatrixSetLink>'
        '<ResourceURL format="image/png" resourceType="tile" '
        'template="%(base)s/tiles/{TileMatrix}/{TileRow}/{TileCol}.png"/></Layer>'
        '<TileMatrixSet><ows:Identifier>%(set)s</ows:Identifier>'
        '<ows:SupportedCRS>urn:ogc:def:crs:EPSG::3857</ows:SupportedCRS>%(matrices)s</TileMatrixSet>'
        '</Contents></Capabilities>' % {"base": base, "layer": LAYER, "set": SET, "matrices": "".join(matrices)})


class Server:
    def __init__(self, latency):
        self.latency = latency
        self.tile = solid_png()
        self.base = ""
        self.tiles = 0
        self.waiting = 0
        self.most_waiting = 0

    def answer(self, status, kind, body, keep):
        head = ("HTTP/1.1 %s\r\nContent-Type: %s\r\nContent-Length: %d\r\nConnection: %s\r\n\r\n"
                % (status, kind, len(body), "keep-alive" if keep else "close"))
        return head.encode("ascii") + body

    async def respond(self, target):
        path, _, query = target.partition("?")
        lower = query.lower()
        if path == "/stats":
            return "200 OK", "text/plain", ("tiles %d most-waiting %d\n" % (self.tiles, self.most_waiting)).encode()
        if path.startswith("/tiles/") or "request=gettile" in lower:
            self.tiles += 1
            self.waiting += 1
            self.most_waiting = max(self.most_waiting, self.waiting)
            await asyncio.sleep(self.latency)
            self.waiting -= 1
            return "200 OK", "image/png", self.tile
        if "request=getcapabilities" in lower or path.endswith("WMTSCapabilities.xml"):
            return "200 OK", "application/xml", capabilities(self.base).encode()
        return "404 Not Found", "text/plain", b"no such resource\n"

    async def connection(self, reader, writer):
        sock = writer.get_extra_info("socket")
        if sock is not None:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        try:
            while True:
                request = await reader.readuntil(b"\r\n\r\n")
                lines = request.decode("latin-1").split("\r\n")
                parts = lines[0].split()
                if len(parts) < 2:
                    break
                headers = {k.strip().lower(): v.strip() for k, _, v in (l.partition(":") for l in lines[1:] if l)}
                keep = headers.get("connection", "").lower() != "close"
                status, kind, body = await self.respond(parts[1])
                writer.write(self.answer(status, kind, body, keep))
                await writer.drain()
                if not keep:
                    break
        except (asyncio.IncompleteReadError, ConnectionError, asyncio.LimitOverrunError):
            pass
        finally:
            writer.close()


async def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--latency-ms", type=float, default=50.0)
    parser.add_argument("--port", type=int, default=0)
    options = parser.parse_args()
    server = Server(options.latency_ms / 1000.0)
    listener = await asyncio.start_server(server.connection, "127.0.0.1", options.port, backlog=1024)
    port = listener.sockets[0].getsockname()[1]
    server.base = "http://127.0.0.1:%d" % port
    sys.stdout.write("listening on 127.0.0.1:%d\n" % port)
    sys.stdout.flush()
    async with listener:
        await listener.serve_forever()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass
