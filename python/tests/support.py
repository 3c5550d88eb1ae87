"""What the module's tests share: the sample service and its tile service
started for a test module, a scripted loopback server for faults, and the
ogcweb command line for comparisons."""

import http.server
import os
import subprocess
import tempfile
import threading
import shutil

SOURCE = os.environ.get("OGCWEB_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
CLI = os.environ.get("OGCWEB_CLI", "")


class SampleService:
    """demo/server/start.sh on a free port, in a run folder of its own."""

    def __init__(self):
        self.run = tempfile.mkdtemp(prefix="ogcweb-py-sample-")
        self.env = dict(os.environ, OGC_DEMO_RUN_DIR=self.run)
        subprocess.run([os.path.join(SOURCE, "demo/server/start.sh"), "--port", "0"], env=self.env, check=True,
                       stdout=subprocess.DEVNULL)
        with open(os.path.join(self.run, "front.port")) as f:
            self.url = f"http://127.0.0.1:{f.read().strip()}"

    def stop(self):
        subprocess.run([os.path.join(SOURCE, "demo/server/stop.sh")], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        shutil.rmtree(self.run, ignore_errors=True)


class TileService:
    """MapProxy (demo/mapproxy/serve.sh) in front of a WMS."""

    def __init__(self, wms_url):
        self.run = tempfile.mkdtemp(prefix="ogcweb-py-tiles-")
        self.process = subprocess.Popen([os.path.join(SOURCE, "demo/mapproxy/serve.sh"), "0", wms_url, "--quiet"],
                                        env=dict(os.environ, OGC_MAPPROXY_RUN_DIR=self.run), stdout=subprocess.PIPE,
                                        stdin=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        if not line.startswith("listening on 127.0.0.1:"):
            self.stop()
            raise RuntimeError(f"MapProxy did not start: {line!r}")
        self.url = f"http://127.0.0.1:{line.strip().rsplit(':', 1)[1]}/service"

    def stop(self):
        for pipe in (self.process.stdin, self.process.stdout):
            pipe.close()
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        shutil.rmtree(self.run, ignore_errors=True)


class ScriptedServer:
    """A loopback HTTP server answering from `answer(path_and_query)`, which
    returns (status, content type, body) or a number of seconds to stall
    before closing without an answer. Records every request target."""

    def __init__(self, answer):
        self.answer = answer
        self.requests = []
        self.stopping = threading.Event()
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                server.requests.append(self.path)
                reply = server.answer(self.path)
                if isinstance(reply, (int, float)):
                    server.stopping.wait(reply)
                    return
                status, content_type, body = reply
                self.send_response(status)
                self.send_header("Content-Type", content_type)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.stopping.set()
        self.httpd.shutdown()
        self.httpd.server_close()


def run_cli(*args):
    """ogcweb with args; its completed process (check=True)."""
    return subprocess.run([CLI, *args], check=True, capture_output=True, text=True)


def capabilities_130(endpoint, layers="<Layer><Name>roads</Name><Title>Roads</Title><CRS>EPSG:4326</CRS>"
                                      "<BoundingBox CRS=\"EPSG:4326\" minx=\"45\" miny=\"5\" maxx=\"55\" maxy=\"15\"/>"
                                      "</Layer>"):
    """A WMS 1.3.0 capabilities document whose operations are at endpoint."""
    online = f'<OnlineResource xmlns:xlink="http://www.w3.org/1999/xlink" xlink:href="{endpoint}?"/>'
    get = f"<DCPType><HTTP><Get>{online}</Get></HTTP></DCPType>"
    return (f'<?xml version="1.0"?><WMS_Capabilities version="1.3.0" xmlns="http://www.opengis.net/wms">'
            f"<Service><Name>WMS</Name><Title>Scripted</Title></Service><Capability><Request>"
            f"<GetCapabilities><Format>text/xml</Format>{get}</GetCapabilities>"
            f"<GetMap><Format>image/png</Format>{get}</GetMap></Request>"
            f"<Exception><Format>XML</Format></Exception><Layer><Title>All</Title><CRS>EPSG:4326</CRS>{layers}"
            f"</Layer></Capability></WMS_Capabilities>").encode()


def wfs_capabilities(endpoint, name="roads"):
    """A WFS 1.0.0 capabilities document with one feature type, its
    operations at endpoint."""
    return (f'<WFS_Capabilities version="1.0.0"><Service><Name>WFS</Name></Service><Capability><Request>'
            f"<DescribeFeatureType><SchemaDescriptionLanguage><XMLSCHEMA/></SchemaDescriptionLanguage>"
            f'<DCPType><HTTP><Get onlineResource="{endpoint}?"/></HTTP></DCPType></DescribeFeatureType>'
            f"<GetFeature><ResultFormat><GML2/></ResultFormat>"
            f'<DCPType><HTTP><Get onlineResource="{endpoint}?"/></HTTP></DCPType></GetFeature>'
            f"</Request></Capability><FeatureTypeList><Operations><Query/></Operations>"
            f"<FeatureType><Name>{name}</Name><Title>Roads</Title><SRS>EPSG:4326</SRS>"
            f'<LatLongBoundingBox minx="0" miny="40" maxx="10" maxy="50"/></FeatureType>'
            f"</FeatureTypeList></WFS_Capabilities>").encode()
