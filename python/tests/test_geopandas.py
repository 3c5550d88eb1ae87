"""A query of the sample's cities loaded into GeoPandas through __geo_interface__."""

import os
import re
import unittest

import geopandas

import ogcweb
import support


class GeoPandasTest(unittest.TestCase):
    def test_cities_into_a_geodataframe(self):
        sample = support.SampleService()
        self.addCleanup(sample.stop)
        with ogcweb.open(sample.url + "/ows", kind="wfs") as service:
            cities = service.datasets["Cities"]
            frame = geopandas.GeoDataFrame.from_features(cities.query(), crs=cities.crs)
        self.assertEqual(len(frame), 8)
        self.assertEqual(set(frame.geom_type), {"Point"})
        self.assertEqual(frame.crs.to_epsg(), 4326)
        riverton = frame[frame["name"] == "Riverton"].iloc[0]
        self.assertEqual((riverton.geometry.x, riverton.geometry.y), (10.9, 49.1))
        self.assertEqual(int(riverton["population"]), 305000)
        # A spatial question GeoPandas answers from the frame itself.
        self.assertEqual(len(frame.cx[8:12, 48:52]), 1)

    def test_the_readme_example_runs_as_shown(self):
        with open(os.path.join(support.SOURCE, "README.md")) as f:
            readme = f.read()
        code = re.search(r"<!-- python example -->\n```python\n(.*?)```", readme, re.S).group(1)
        self.assertLessEqual(len(code.strip().splitlines()), 5)
        sample = support.SampleService()
        self.addCleanup(sample.stop)
        scope = {}
        exec(code.replace("http://127.0.0.1:18080", sample.url), scope)
        self.assertEqual(scope["picture"].array.shape, (800, 800, 4))
        self.assertEqual(len(scope["cities"]), 8)
        self.assertIn("Riverton", set(scope["cities"]["name"]))
        scope["wms"].close()
        scope["wfs"].close()


if __name__ == "__main__":
    unittest.main()
