"""The module against the bundled sample service: every dataset kind, checked
against the sample's own data and against what the ogcweb command writes."""

import json
import os
import tempfile
import threading
import unittest

import numpy
from osgeo import gdal

import ogcweb
import support

gdal.UseExceptions()
sample = None

DEMOLAND = (5, 45, 15, 55)


def setUpModule():
    global sample
    sample = support.SampleService()


def tearDownModule():
    sample.stop()


def source_features(name):
    with open(os.path.join(support.SOURCE, "demo/data", name)) as f:
        return json.load(f)["features"]


class MapTest(unittest.TestCase):
    def setUp(self):
        self.service = ogcweb.open(sample.url + "/wms")
        self.addCleanup(self.service.close)
        self.wms = self.service.datasets[0]

    def test_listing(self):
        self.assertEqual(self.service.kind, "wms")
        self.assertEqual(self.service.engine, "OGC Web Engine")
        self.assertTrue(self.service.version)
        self.assertIs(self.service.datasets[self.wms.name], self.wms)
        with self.assertRaises(KeyError):
            self.service.datasets["no such dataset"]
        self.assertIsInstance(self.wms, ogcweb.MapDataset)
        names = [layer["name"] for layer in self.wms.layers]
        self.assertEqual(names[:2], ["demo:cities", "demo:roads"])
        self.assertTrue(all(layer["queryable"] for layer in self.wms.layers))
        self.wms.visible = ["demo:cities", "demo:lakes"]
        self.assertEqual(self.wms.visible, ["demo:cities", "demo:lakes"])

    def test_map_array_is_what_ogcweb_map_writes(self):
        with tempfile.TemporaryDirectory() as folder:
            cli = os.path.join(folder, "cli.tif")
            support.run_cli("map", sample.url + "/wms", "--bbox", "5,45,15,55", "--size", "320x240", "-o", cli,
                            "--log", os.path.join(folder, "log"))
            expected = gdal.Open(cli)
            picture = self.wms.map(DEMOLAND, (320, 240))
            self.assertEqual(picture.array.shape, (240, 320, expected.RasterCount))
            self.assertEqual(picture.array.dtype, numpy.uint8)
            numpy.testing.assert_array_equal(picture.array, numpy.dstack(
                [expected.GetRasterBand(b + 1).ReadAsArray() for b in range(expected.RasterCount)]))
            numpy.testing.assert_allclose(picture.transform, expected.GetGeoTransform())
            self.assertEqual(picture.crs, "EPSG:4326")
            self.assertFalse(picture.copied, "the imported pixels are handed over as they lie")
            saved = os.path.join(folder, "saved.png")
            picture.save(saved)
            self.assertTrue(os.path.exists(saved) and os.path.exists(os.path.join(folder, "saved.pgw")))
        # The array outlives its service.
        self.service.close()
        self.assertEqual(int(picture.array[..., 3].max()), 255)

    def test_feature_info_at_riverton(self):
        fields = self.wms.feature_info(DEMOLAND, (800, 800), (472, 472))
        self.assertEqual(fields.get("cities.name"), "Riverton")

    def test_closed_service(self):
        self.service.close()
        self.service.close()
        with self.assertRaises(ogcweb.Error):
            self.wms.map(DEMOLAND, (10, 10))


class FeatureTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.service = ogcweb.open(sample.url + "/ows", kind="wfs")
        cls.cities = cls.service.datasets["Cities"]
        cls.source = source_features("cities.geojson")

    @classmethod
    def tearDownClass(cls):
        cls.service.close()

    def names(self, collection):
        return sorted(f["properties"]["name"] for f in collection)

    def test_fields(self):
        names = [name.lower() for name, _, _ in self.cities.fields]
        self.assertEqual(names, ["fid", "id", "name", "population", "capital"])
        self.assertEqual(dict((n.lower(), t) for n, t, _ in self.cities.fields)["population"], "integer")

    def test_queries_match_the_source_data(self):
        every = self.cities.query()
        self.assertEqual(len(every), len(self.source))
        self.assertEqual(self.names(every), sorted(f["properties"]["name"] for f in self.source))
        box = (8, 48, 12, 52)
        inside = [f for f in self.source
                  if box[0] <= f["geometry"]["coordinates"][0] <= box[2]
                  and box[1] <= f["geometry"]["coordinates"][1] <= box[3]]
        self.assertEqual(self.names(self.cities.query(bbox=box)), sorted(f["properties"]["name"] for f in inside))
        large = [f for f in self.source if f["properties"]["population"] > 200000]
        self.assertEqual(self.names(self.cities.query(where="population > 200000")),
                         sorted(f["properties"]["name"] for f in large))
        # Numbers as the service counts them, from the download above.
        two = list(self.cities.query(ids=[1, 2]))
        self.assertEqual([f["id"] for f in two], [1, 2])
        self.assertEqual(self.names(two), sorted(f["properties"]["name"] for f in self.source
                                                 if f["properties"]["id"] in (1, 2)))
        riverton = [f for f in every if f["properties"]["name"] == "Riverton"][0]
        self.assertEqual(riverton["geometry"], {"type": "Point", "coordinates": [10.9, 49.1]})
        self.assertEqual(every.__geo_interface__["type"], "FeatureCollection")
        self.assertEqual(len(every.__geo_interface__["features"]), len(self.source))

    def test_refused_condition(self):
        with self.assertRaises(ogcweb.Error) as raised:
            self.cities.query(where="population >>> 3")
        self.assertIn("malformed attribute filter", raised.exception.codes)
        self.assertIn("malformed attribute filter", str(raised.exception))


class CoverageTest(unittest.TestCase):
    def test_value_at_a_known_point(self):
        with ogcweb.open(sample.url + "/ows", kind="wcs") as service:
            elevation = service.datasets["Elevation"]
            self.assertEqual(elevation.description["identifier"], "demo:elevation")
            picture = elevation.coverage((6, 46, 14, 54), (200, 200))
            self.assertEqual(picture.array.dtype, numpy.float32)
            self.assertEqual(picture.array.shape[2], 1)
            source = gdal.Open(os.path.join(support.SOURCE, "demo/data/generated/elevation.tif"))
            grid = source.GetRasterBand(1).ReadAsArray()
            t, s = picture.transform, source.GetGeoTransform()
            # The service resamples to the grid asked for: each value is one of
            # the source cells around the point.
            for lon, lat in ((10.9, 49.1), (7.3, 52.2), (13.1, 47.7)):
                column, row = int((lon - t[0]) / t[1]), int((lat - t[3]) / t[5])
                sc, sr = int((lon - s[0]) / s[1]), int((lat - s[3]) / s[5])
                around = grid[sr - 1:sr + 2, sc - 1:sc + 2].ravel().tolist()
                self.assertIn(float(picture.array[row, column, 0]), around, f"at {lon}, {lat}")


class TileTest(unittest.TestCase):
    def test_cached_view_with_the_service_stopped(self):
        tiles = support.TileService(sample.url + "/wms")
        cache = tempfile.mkdtemp(prefix="ogcweb-py-cache-")
        self.addCleanup(lambda: __import__("shutil").rmtree(cache, ignore_errors=True))
        region = (556597.45, 5621521.49, 1669792.36, 7361866.11)
        try:
            with ogcweb.open(tiles.url, kind="wmts", cache=cache) as service:
                layer = service.datasets["Demoland"]
                self.assertEqual(layer.tile_size, 256)
                self.assertGreater(len(layer.levels), 5)
                online = layer.view(region, (256, 400)).array.copy()
                self.assertEqual(online.shape[2], 4)
                self.assertGreater(int(online[..., 3].max()), 0)
        finally:
            tiles.stop()
        with ogcweb.open(tiles.url, kind="wmts", cache=cache) as service:
            offline = service.datasets["Demoland"].view(region, (256, 400), wait=5).array
            numpy.testing.assert_array_equal(offline, online)


class ThreadTest(unittest.TestCase):
    def test_two_services_in_two_threads(self):
        results, errors = {}, []

        def run(name, work):
            try:
                results[name] = work()
            except Exception as error:  # reported below
                errors.append(error)

        def maps():
            with ogcweb.open(sample.url + "/wms") as s:
                return [s.datasets[0].map(DEMOLAND, (256, 256)).array.shape for _ in range(5)]

        def features():
            with ogcweb.open(sample.url + "/ows", kind="wfs") as s:
                return [len(s.datasets["Roads"].query()) for _ in range(5)]

        threads = [threading.Thread(target=run, args=("maps", maps)),
                   threading.Thread(target=run, args=("features", features))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(errors, [])
        self.assertEqual(results["maps"], [(256, 256, 4)] * 5)
        self.assertEqual(results["features"], [len(source_features("roads.geojson"))] * 5)


if __name__ == "__main__":
    unittest.main()
