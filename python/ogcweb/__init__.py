"""OGC web services as Python data, through the OGC Web Engine.

The engine (the plug-in a GIS platform loads) is loaded here the same way and
does every request, parse and decision; this package gives its datasets a
Python shape:

    >>> import ogcweb
    >>> with ogcweb.open("http://127.0.0.1:18080/wms") as wms:
    ...     picture = wms.datasets[0].map((5, 45, 15, 55), (800, 800))
    ...     picture.array.shape          # rows x columns x bands, numpy
    (800, 800, 4)

- a WMS is one MapDataset: layers, styles, map(), feature_info();
- a WFS has one FeatureDataset per feature type: fields, query() returning a
  FeatureCollection that GeoPandas reads (__geo_interface__);
- a WCS has one CoverageDataset per coverage: description, coverage();
- a WMTS has one TileDataset per layer: levels, tile_size, view() through the
  local tile cache (cached areas work offline).

Every call that talks to a service runs without the interpreter's lock, so
other threads go on meanwhile. Failures raise ogcweb.Error, whose message and
.codes carry the log codes the engine wrote during that call.
"""

import numbers as _numbers
import os as _os

from . import _ogcweb
from ._ogcweb import Error

__all__ = ["open", "Error", "Service", "MapDataset", "FeatureDataset", "CoverageDataset", "TileDataset",
           "Picture", "FeatureCollection"]

_KINDS = ("wms", "wfs", "wcs", "wmts")
# Field type numbers of the engine, as names.
_FIELD_TYPES = {1: "boolean", 2: "integer", 3: "integer", 4: "integer", 5: "integer", 6: "real", 7: "real",
                8: "date", 9: "time", 10: "text", 128: "binary"}
_MAX_SIDE = 16384
_CHUNK = 2000


def _text(name, value, allow_none=True):
    if value is None and allow_none:
        return None
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    return value


def _bbox(value):
    """(minx, miny, maxx, maxy) as four floats with min below max."""
    if isinstance(value, (str, bytes)) or not hasattr(value, "__len__"):
        raise TypeError(f"bbox must be a sequence of four numbers, not {type(value).__name__}")
    if len(value) != 4:
        raise ValueError(f"bbox must hold four numbers (minx, miny, maxx, maxy), not {len(value)}")
    if not all(isinstance(v, _numbers.Real) and not isinstance(v, bool) for v in value):
        raise TypeError("bbox must hold numbers")
    box = [float(v) for v in value]
    if not all(v == v and abs(v) != float("inf") for v in box):
        raise ValueError("bbox must hold finite numbers")
    if not (box[0] < box[2] and box[1] < box[3]):
        raise ValueError(f"bbox must be (minx, miny, maxx, maxy) with min below max, not {tuple(value)}")
    return box


def _size(value):
    """(width, height) as two whole numbers from 1 to 16384."""
    if isinstance(value, (str, bytes)) or not hasattr(value, "__len__"):
        raise TypeError(f"size must be a (width, height) pair, not {type(value).__name__}")
    if len(value) != 2:
        raise ValueError(f"size must be (width, height), not {len(value)} numbers")
    if not all(isinstance(v, _numbers.Integral) and not isinstance(v, bool) for v in value):
        raise TypeError("size must hold whole numbers")
    if not all(1 <= v <= _MAX_SIDE for v in value):
        raise ValueError(f"size must be from 1 to {_MAX_SIDE} on each side, not {tuple(value)}")
    return int(value[0]), int(value[1])


class Picture:
    """A map, coverage or tile view that came back from the engine.

    .array      numpy array, rows x columns x bands, of the raster's own data type
                (tile views: RGBA bytes). Handed over without a copy, except for
                rasters whose bands the import left apart (.copied says so).
    .transform  GDAL-style geotransform (origin x, pixel width, 0, origin y, 0, -pixel height)
    .crs        the coordinate system of .transform, e.g. "EPSG:4326"
    .nodata     the no-data value of band 1, or None
    .save(path) writes it as ogcweb does: .tif (GeoTIFF) or .png with a world file
    """

    __slots__ = ("_picture", "_array")

    def __init__(self, picture):
        self._picture = picture
        self._array = None

    @property
    def array(self):
        """The pixels as a numpy array of rows x columns x bands."""
        if self._array is None:
            self._array = self._picture.array()
        return self._array

    @property
    def copied(self):
        """True when .array is a copy of the raster's pixels rather than their own memory."""
        return self._picture.copied

    @property
    def transform(self):
        """GDAL-style geotransform of the pixels."""
        return self._picture.transform

    @property
    def crs(self):
        """The coordinate system of the transform ("EPSG:4326")."""
        return self._picture.crs

    @property
    def nodata(self):
        """The no-data value of band 1, or None when it has none."""
        return self._picture.nodata

    def save(self, path):
        """Writes the picture to path: .tif/.tiff as GeoTIFF, .png with a world file (.pgw) beside it."""
        path = _os.fspath(path)
        if not isinstance(path, str):
            raise TypeError("path must be a str or path-like")
        if not path.lower().endswith((".tif", ".tiff", ".png")):
            raise ValueError(f"path must name a .tif or .png file, not {path!r}")
        self._picture.save(path)

    def __repr__(self):
        a = self.array
        return f"<ogcweb.Picture {a.shape[1]}x{a.shape[0]}x{a.shape[2]} {a.dtype} {self.crs}>"


class FeatureCollection:
    """The features a query found, read from the engine's recordset as they are iterated.

    len() is their number; iterating yields GeoJSON-like feature dicts
    ({"type": "Feature", "id", "properties", "geometry"}); __geo_interface__ makes
    geopandas.GeoDataFrame.from_features(collection) work. The records stay with
    the service: iterate before closing it.
    """

    __slots__ = ("_records", "crs")

    def __init__(self, records, crs):
        self._records = records
        self.crs = crs

    def __len__(self):
        return self._records.count

    def __iter__(self):
        for start in range(0, self._records.count, _CHUNK):
            yield from self._records.objects(start, _CHUNK)

    @property
    def __geo_interface__(self):
        return {"type": "FeatureCollection", "features": list(self)}

    def __repr__(self):
        return f"<ogcweb.FeatureCollection of {len(self)} features>"


class _Dataset:
    __slots__ = ("_dataset", "_service")

    def __init__(self, dataset, service):
        self._dataset = dataset
        self._service = service

    @property
    def name(self):
        """The dataset's name (a title where the service gives one)."""
        return self._dataset.name

    @property
    def crs(self):
        """The dataset's coordinate system, e.g. "EPSG:4326" ("" when none)."""
        return self._dataset.crs

    @property
    def bounds(self):
        """(minx, miny, maxx, maxy) in the dataset's system, or () when unknown."""
        return self._dataset.bounds

    def _check(self):
        if self._service.closed:
            raise Error("the service is closed")

    def __repr__(self):
        return f"<ogcweb.{type(self).__name__} {self.name!r} {self.crs}>"


class MapDataset(_Dataset):
    """A WMS: one raster drawn from the service's layers."""

    __slots__ = ()

    @property
    def layers(self):
        """The layers: dicts of name, title, style ("" for the default), queryable and visible."""
        return self._dataset.layers()

    @property
    def visible(self):
        """The names of the layers drawn; assign a list of names to choose them."""
        return [layer["name"] for layer in self.layers if layer["visible"]]

    @visible.setter
    def visible(self, names):
        if isinstance(names, str) or not all(isinstance(n, str) for n in names):
            raise TypeError("visible takes a list of layer names")
        known = {layer["name"] for layer in self.layers}
        unknown = [n for n in names if n not in known]
        if unknown:
            raise ValueError(f"no layer named {unknown[0]!r}")
        self._dataset.set_visible(list(names))

    def set_style(self, layer, style):
        """Draws layer with the named style ("" for the server's default)."""
        _text("layer", layer, False)
        _text("style", style, False)
        if layer not in {entry["name"] for entry in self.layers}:
            raise ValueError(f"no layer named {layer!r}")
        self._dataset.set_style(layer, style)

    def map(self, bbox, size, crs=None, transparent=False):
        """The map of bbox (minx, miny, maxx, maxy) at size (width, height) as a Picture.

        bbox is in the dataset's coordinate system (crs, when given, must be it;
        longitude first for EPSG:4326). transparent asks for a transparent
        background. Raises ogcweb.Error when the service sends no picture.
        """
        box, (width, height) = _bbox(bbox), _size(size)
        _text("crs", crs)
        if crs is not None and crs.upper() != self.crs.upper():
            raise ValueError(f"bbox must be in the dataset's system {self.crs}, not {crs}")
        return Picture(self._dataset.render(box, width, height, bool(transparent)))

    def feature_info(self, bbox, size, pixel):
        """What the service knows at pixel (column, row) of the map of bbox at size, as a dict.

        The map is drawn first (the service is asked about the map it drew).
        """
        box, (width, height) = _bbox(bbox), _size(size)
        if isinstance(pixel, (str, bytes)) or len(pixel) != 2 or \
                not all(isinstance(v, _numbers.Integral) for v in pixel):
            raise TypeError("pixel must be a (column, row) pair of whole numbers")
        if not (0 <= pixel[0] < width and 0 <= pixel[1] < height):
            raise ValueError(f"pixel {tuple(pixel)} lies outside the {width}x{height} map")
        return self._dataset.feature_info(box, width, height, int(pixel[0]), int(pixel[1]))


class FeatureDataset(_Dataset):
    """A WFS feature type: its features, queried through the engine's local store."""

    __slots__ = ()

    @property
    def fields(self):
        """The fields as (name, type, width) tuples; type is "integer", "real", "text", ..."""
        return [(name, _FIELD_TYPES.get(kind, "text"), width) for name, kind, width in self._dataset.fields()]

    def query(self, bbox=None, ids=None, where=None):
        """The features meeting one condition, as a FeatureCollection.

        bbox:  (minx, miny, maxx, maxy), longitude / latitude;
        ids:   feature numbers (1, 2, ...);
        where: an attribute condition such as "population > 100000".
        With none of them, every feature. An earlier download that covers the
        question answers it without a request.
        """
        given = [x is not None for x in (bbox, ids, where)]
        if sum(given) > 1:
            raise ValueError("bbox, ids and where exclude each other")
        if ids is not None:
            if isinstance(ids, (str, bytes)) or not all(isinstance(i, _numbers.Integral) and not isinstance(i, bool)
                                                        for i in ids):
                raise TypeError("ids must be whole numbers")
            return FeatureCollection(self._dataset.query("ids", [], [int(i) for i in ids], ""), self.crs)
        if where is not None:
            _text("where", where, False)
            if not where.strip():
                raise ValueError("where must not be empty")
            return FeatureCollection(self._dataset.query("where", [], [], where), self.crs)
        box = _bbox(bbox) if bbox is not None else []
        return FeatureCollection(self._dataset.query("bbox", box, [], ""), self.crs)


class CoverageDataset(_Dataset):
    """A WCS coverage: a grid of values."""

    __slots__ = ()

    @property
    def description(self):
        """The coverage's description: identifier, grid, crs (system to bounds), formats, bands, ..."""
        return self._dataset.description()

    def coverage(self, bbox, size):
        """The values of bbox (minx, miny, maxx, maxy, the dataset's system) at size (width, height).

        A Picture of the served data type; .nodata is the band's no-data value.
        """
        box, (width, height) = _bbox(bbox), _size(size)
        return Picture(self._dataset.render(box, width, height, False))


class TileDataset(_Dataset):
    """A WMTS layer, read through the local tile cache."""

    __slots__ = ()

    @property
    def levels(self):
        """The scale denominators of the layer's tile levels, coarsest first as the service lists them."""
        return self._dataset.tiles()[0]

    @property
    def tile_size(self):
        """The tiles' width (and height) in pixels."""
        return self._dataset.tiles()[1]

    def view(self, bbox, size, wait=300):
        """The tiles over bbox (the layer's system, e.g. EPSG:3857 metres) composed at size.

        The level nearest the resolution is used; tiles missing from the cache are
        downloaded first (waiting up to wait seconds). Cached areas need no service.
        A Picture of RGBA bytes.
        """
        box, (width, height) = _bbox(bbox), _size(size)
        if not isinstance(wait, _numbers.Real) or wait < 0:
            raise ValueError("wait must be a number of seconds")
        return Picture(self._dataset.view(box, width, height, float(wait)))


_DATASET_CLASSES = {"map": MapDataset, "features": FeatureDataset, "coverage": CoverageDataset,
                    "tiles": TileDataset}


class _Datasets(list):
    """The service's datasets: a list, also indexable by name."""

    def __getitem__(self, key):
        if isinstance(key, str):
            for dataset in self:
                if dataset.name == key:
                    return dataset
            raise KeyError(f"no dataset named {key!r}; there are {[d.name for d in self]}")
        return list.__getitem__(self, key)


class Service:
    """An opened OGC service; use ogcweb.open() to make one.

    .kind, .version (negotiated), .engine, .datasets. A context manager: leaving
    the with block closes it (its data source and downloads go); calls on a
    closed service raise ogcweb.Error. Arrays already taken stay valid.
    """

    __slots__ = ("_service", "datasets")

    def __init__(self, service):
        self._service = service
        self.datasets = _Datasets(_DATASET_CLASSES.get(d.kind, _Dataset)(d, self) for d in service.datasets)

    @property
    def kind(self):
        """"wms", "wfs", "wcs" or "wmts"."""
        return self._service.kind

    @property
    def version(self):
        """The protocol version agreed with the server."""
        return self._service.version

    @property
    def engine(self):
        """The engine's name."""
        return self._service.engine

    @property
    def closed(self):
        """True once close() ran."""
        return self._service.closed

    def close(self):
        """Closes the data source; idempotent."""
        self._service.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __repr__(self):
        state = "closed" if self.closed else f"{len(self.datasets)} datasets"
        return f"<ogcweb.Service {self.kind} {self.version}, {state}>"


def _default_cache():
    xdg = _os.environ.get("XDG_CACHE_HOME", "")
    base = xdg if xdg.startswith("/") else _os.path.join(_os.path.expanduser("~"), ".cache")
    return _os.path.join(base, "ogcweb")


def open(url, kind=None, user=None, password=None, cache=None, timeout=None, log=None):
    """Opens the OGC service at url and returns a Service.

    kind:     "wms" (default), "wfs", "wcs" or "wmts";
    user, password: for basic authentication;
    cache:    the tile cache folder (wmts; default ~/.cache/ogcweb);
    timeout:  give up any single request after this many seconds (process-wide; default 300);
    log:      append the engine's log to this file (process-wide).
    Raises ogcweb.Error with the engine's log codes when the service cannot be opened.
    """
    _text("url", url, False)
    if not url.lower().startswith(("http://", "https://")):
        raise ValueError(f"url must be an http or https address, not {url!r}")
    kind = "wms" if kind is None else _text("kind", kind, False).lower()
    if kind not in _KINDS:
        raise ValueError(f"kind must be one of {', '.join(_KINDS)}, not {kind!r}")
    for name, value in (("user", user), ("password", password)):
        _text(name, value)
    if cache is not None:
        cache = _os.fspath(cache)
    elif kind == "wmts":
        cache = _default_cache()
    if cache is not None:
        _os.makedirs(cache, exist_ok=True)
    if timeout is not None:
        if not isinstance(timeout, _numbers.Real) or isinstance(timeout, bool) or not timeout > 0:
            raise ValueError("timeout must be a positive number of seconds")
        _ogcweb.set_timeout(float(timeout))
    if log is not None:
        _ogcweb.set_log(_os.fspath(log))
    return Service(_ogcweb._Service(url, kind, user or "", password or "", cache or ""))
