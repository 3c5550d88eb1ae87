#!/usr/bin/python3
"""Loopback WFS 1.0.0 server for bench/wfs_features_vs_ogr.sh.

Serves one feature type, bench:points, with a recorded GetFeature answer of
N point features (100,000 by default). The documents are generated once into
a temporary folder and served as they are, whatever BBOX, paging or other
parameters a client sends, so every client gets every feature.

    wfs_bench_server.py [--port PORT] [--features N]

Prints "listening on 127.0.0.1:PORT" once ready; runs until killed.
"""
import argparse
import os
import random
import shutil
import signal
import sys
import tempfile
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qsl, urlsplit


def capabilities(base):
    return f"""<?xml version="1.0" encoding="UTF-8"?>
<WFS_Capabilities version="1.0.0" xmlns="http://www.opengis.net/wfs"
    xmlns:ogc="http://www.opengis.net/ogc" xmlns:bench="http://example.org/bench">
  <Service>
    <Name>WFS</Name>
    <Title>Benchmark WFS</Title>
    <OnlineResource>{base}</OnlineResource>
  </Service>
  <Capability>
    <Request>
      <GetCapabilities>
        <DCPType><HTTP><Get onlineResource="{base}"/></HTTP></DCPType>
      </GetCapabilities>
      <DescribeFeatureType>
        <SchemaDescriptionLanguage><XMLSCHEMA/></SchemaDescriptionLanguage>
        <DCPType><HTTP><Get onlineResource="{base}"/></HTTP></DCPType>
      </DescribeFeatureType>
      <GetFeature>
        <ResultFormat><GML2/></ResultFormat>
        <DCPType><HTTP><Get onlineResource="{base}"/></HTTP></DCPType>
      </GetFeature>
    </Request>
  </Capability>
  <FeatureTypeList>
    <Operations><Query/></Operations>
    <FeatureType>
      <Name>bench:points</Name>
      <Title>Points</Title>
      <SRS>EPSG:4326</SRS>
      <LatLongBoundingBox minx="0" miny="40" maxx="10" maxy="50"/>
    </FeatureType>
  </FeatureTypeList>
</WFS_Capabilities>
"""


# The feature element comes after its complexType on purpose (as some
# servers write it); the engine picks the element name up from there.
SCHEMA = """<?xml version="1.0" encoding="UTF-8"?>
<schema targetNamespace="http://example.org/bench"
    xmlns:bench="http://example.org/bench"
    xmlns:ogc="http://www.opengis.net/ogc"
    xmlns:xsd="http://www.w3.org/2001/XMLSchema"
    xmlns="http://www.w3.org/2001/XMLSchema"
    xmlns:gml="http://www.opengis.net/gml"
    elementFormDefault="qualified" version="0.1">
  <import namespace="http://www.opengis.net/gml"
      schemaLocation="http://schemas.opengis.net/gml/2.1.2/feature.xsd"/>
  <complexType name="pointsType">
    <complexContent>
      <extension base="gml:AbstractFeatureType">
        <sequence>
          <element name="the_geom" type="gml:PointPropertyType" minOccurs="0" maxOccurs="1"/>
          <element name="id" type="integer"/>
          <element name="name" type="string"/>
          <element name="value" type="double"/>
        </sequence>
      </extension>
    </complexContent>
  </complexType>
  <element name="points" type="bench:pointsType" substitutionGroup="gml:_Feature"/>
</schema>
"""

HEAD = """<?xml version="1.0" encoding="UTF-8"?>
<wfs:FeatureCollection xmlns:bench="http://example.org/bench"
    xmlns:wfs="http://www.opengis.net/wfs" xmlns:gml="http://www.opengis.net/gml"
    xmlns:ogc="http://www.opengis.net/ogc"
    xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"%s>
  <gml:boundedBy>
    <gml:Box srsName="EPSG:4326"><gml:coordinates>0,40 10,50</gml:coordinates></gml:Box>
  </gml:boundedBy>
"""


def write_features(path, n):
    rnd = random.Random(42)
    with open(path, "w", encoding="utf-8") as f:
        f.write(HEAD % "")
        for i in range(1, n + 1):
            x = rnd.uniform(0, 10)
            y = rnd.uniform(40, 50)
            f.write(
                f'  <gml:featureMember><bench:points fid="points.{i}">'
                f'<bench:the_geom><gml:Point srsName="EPSG:4326">'
                f"<gml:coordinates>{x:.6f},{y:.6f}</gml:coordinates>"
                f"</gml:Point></bench:the_geom>"
                f"<bench:id>{i}</bench:id><bench:name>point {i}</bench:name>"
                f"<bench:value>{rnd.uniform(0, 1000):.3f}</bench:value>"
                f"</bench:points></gml:featureMember>\n"
            )
        f.write("</wfs:FeatureCollection>\n")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--features", type=int, default=100000)
    args = ap.parse_args()

    server = ThreadingHTTPServer(("127.0.0.1", args.port), None)
    port = server.server_address[1]
    base = f"http://127.0.0.1:{port}/wfs?"

    tmp = tempfile.mkdtemp(prefix="wfs-bench-")
    files = {}
    for name, text in (("caps.xml", capabilities(base)), ("schema.xsd", SCHEMA),
                       ("hits.xml", (HEAD % f' numberOfFeatures="{args.features}"')
                        + "</wfs:FeatureCollection>\n")):
        p = os.path.join(tmp, name)
        with open(p, "w", encoding="utf-8") as f:
            f.write(text)
        files[name] = p
    files["features.xml"] = os.path.join(tmp, "features.xml")
    write_features(files["features.xml"], args.features)

    def load(name):
        with open(files[name], "rb") as f:
            return f.read()

    bodies = {k: load(k) for k in files}
    shutil.rmtree(tmp, ignore_errors=True)

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, fmt, *a):
            if os.environ.get("WFS_BENCH_LOG"):
                sys.stderr.write("%s\n" % (fmt % a))

        def send(self, code, body, ctype="text/xml; charset=UTF-8"):
            head = (f"HTTP/1.1 {code} {'OK' if code == 200 else 'Error'}\r\n"
                    f"Content-Type: {ctype}\r\n"
                    f"Content-Length: {len(body)}\r\n\r\n").encode("ascii")
            self.log_request(code, len(body))
            self.wfile.write(head + body if self.command != "HEAD" else head)
            self.wfile.flush()

        def do_GET(self):
            parts = urlsplit(self.path)
            q = {k.upper(): v for k, v in parse_qsl(parts.query, keep_blank_values=True)}
            req = q.get("REQUEST", "").lower()
            if req == "getcapabilities":
                self.send(200, bodies["caps.xml"])
            elif req == "describefeaturetype":
                self.send(200, bodies["schema.xsd"])
            elif req == "getfeature":
                if q.get("RESULTTYPE", "").lower() == "hits":
                    self.send(200, bodies["hits.xml"])
                else:
                    self.send(200, bodies["features.xml"])
            else:
                self.send(400, b'<?xml version="1.0"?><ServiceExceptionReport version="1.0.0">'
                          b'<ServiceException>unknown request</ServiceException>'
                          b'</ServiceExceptionReport>')

        do_HEAD = do_GET

    server.RequestHandlerClass = Handler
    signal.signal(signal.SIGTERM, lambda *a: sys.exit(0))
    print(f"listening on 127.0.0.1:{port}", flush=True)
    try:
        server.serve_forever()
    except (KeyboardInterrupt, SystemExit):
        pass
    finally:
        server.server_close()


if __name__ == "__main__":
    main()
