"""The module against a scripted loopback server: failures raise ogcweb.Error
with the engine's codes, a stall ends at the time-out without holding the
interpreter, and bad arguments are refused before anything is sent."""

import threading
import time
import unittest

import ogcweb
import support

EXCEPTION_REPORT = (b'<?xml version="1.0"?><ServiceExceptionReport version="1.3.0">'
                    b'<ServiceException code="InvalidRequest">nothing here</ServiceException></ServiceExceptionReport>')


class ExceptionReportTest(unittest.TestCase):
    def test_feature_query_raises_with_the_engines_code(self):
        def answer(path):
            if "GETCAPABILITIES" in path.upper():
                return 200, "text/xml", support.wfs_capabilities(server.url + "/wfs")
            return 200, "application/vnd.ogc.se_xml", EXCEPTION_REPORT
        server = support.ScriptedServer(answer)
        self.addCleanup(server.stop)
        with ogcweb.open(server.url + "/wfs", kind="wfs", timeout=10) as service:
            with self.assertRaises(ogcweb.Error) as raised:
                service.datasets[0].query(bbox=(1, 41, 9, 49))
        # "The service answered with an exception report".
        self.assertIn("ELj010", raised.exception.codes)
        self.assertIn("ELj010", str(raised.exception))

    def test_open_raises(self):
        server = support.ScriptedServer(lambda path: (200, "application/vnd.ogc.se_xml", EXCEPTION_REPORT))
        self.addCleanup(server.stop)
        with self.assertRaises(ogcweb.Error) as raised:
            ogcweb.open(server.url + "/wms", timeout=10)
        self.assertIn("cannot open", str(raised.exception))
        self.assertIsInstance(raised.exception.codes, list)


class StallTest(unittest.TestCase):
    def test_stalled_map_ends_at_the_time_out_without_the_interpreter_lock(self):
        def answer(path):
            if "GETMAP" in path.upper():
                return 3600  # until the server stops
            return 200, "text/xml", support.capabilities_130(server.url + "/wms")
        server = support.ScriptedServer(answer)
        self.addCleanup(server.stop)
        service = ogcweb.open(server.url + "/wms", timeout=2)
        self.addCleanup(service.close)
        outcome = []

        def draw():
            try:
                service.datasets[0].map((5, 45, 15, 55), (64, 64))
                outcome.append("picture")
            except ogcweb.Error as error:
                outcome.append(error)

        worker = threading.Thread(target=draw)
        worker.start()
        turns = 0
        while worker.is_alive():
            turns += 1
            time.sleep(0.01)
        worker.join()
        self.assertEqual(len(outcome), 1)
        self.assertIsInstance(outcome[0], ogcweb.Error)
        self.assertGreater(turns, 20, "this thread ran while the other one waited on the network")
        self.assertEqual(sum("GETMAP" in p.upper() for p in server.requests), 1)


class ArgumentTest(unittest.TestCase):
    def test_bad_arguments_are_refused_before_any_request(self):
        server = support.ScriptedServer(lambda path: (200, "text/xml", support.capabilities_130(server.url + "/wms")))
        self.addCleanup(server.stop)
        service = ogcweb.open(server.url + "/wms")
        self.addCleanup(service.close)
        wms = service.datasets[0]
        sent = len(server.requests)
        cases = [
            (TypeError, lambda: wms.map("5,45,15,55", (10, 10))),
            (ValueError, lambda: wms.map((5, 45, 15), (10, 10))),
            (ValueError, lambda: wms.map((15, 45, 5, 55), (10, 10))),
            (TypeError, lambda: wms.map((5, 45, 15, "55"), (10, 10))),
            (ValueError, lambda: wms.map((5, 45, 15, float("nan")), (10, 10))),
            (TypeError, lambda: wms.map((5, 45, 15, 55), (10.5, 10))),
            (ValueError, lambda: wms.map((5, 45, 15, 55), (0, 10))),
            (ValueError, lambda: wms.map((5, 45, 15, 55), (10, 10, 3))),
            (ValueError, lambda: wms.map((5, 45, 15, 55), (10, 10), crs="EPSG:3857")),
            (ValueError, lambda: wms.feature_info((5, 45, 15, 55), (10, 10), (10, 0))),
            (TypeError, lambda: wms.feature_info((5, 45, 15, 55), (10, 10), "1,2")),
            (ValueError, lambda: wms.set_style("no such layer", "x")),
            (TypeError, lambda: wms.set_style("roads", 3)),
            (ValueError, lambda: setattr(wms, "visible", ["nope"])),
            (TypeError, lambda: setattr(wms, "visible", "roads")),
            (TypeError, lambda: ogcweb.open(3)),
            (ValueError, lambda: ogcweb.open("ftp://example.org/wms")),
            (ValueError, lambda: ogcweb.open(server.url, kind="wps")),
            (ValueError, lambda: ogcweb.open(server.url, timeout=0)),
            (TypeError, lambda: ogcweb.open(server.url, user=1)),
        ]
        for expected, call in cases:
            with self.subTest(expected=expected.__name__):
                before = len(server.requests)
                with self.assertRaises(expected):
                    call()
                self.assertEqual(len(server.requests), before)
        self.assertGreaterEqual(len(server.requests), sent)

    def test_closed_service_raises_error(self):
        server = support.ScriptedServer(lambda path: (200, "text/xml", support.capabilities_130(server.url + "/wms")))
        self.addCleanup(server.stop)
        with ogcweb.open(server.url + "/wms") as service:
            wms = service.datasets[0]
        self.assertTrue(service.closed)
        for call in (lambda: wms.layers, lambda: wms.map((5, 45, 15, 55), (10, 10)), lambda: wms.visible):
            with self.assertRaises(ogcweb.Error):
                call()


if __name__ == "__main__":
    unittest.main()
