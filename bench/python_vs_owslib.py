#!/usr/bin/python3
"""The ogcweb Python module against OWSLib, both in Debian's Python, on the
loopback replay servers of bench/report.sh. Prints a Markdown table.

    PYTHONPATH=BUILD/python python_vs_owslib.py CAPABILITIES_URL WFS_URL [ROUNDS]

Rows: listing the 10,000-layer capabilities (open, then every layer's name);
reading 100,000 WFS points as Python objects (ours: feature dicts from the
module's collection) against OWSLib downloading the GetFeature answer and
parsing it with its own parser (no objects made). Each round opens afresh;
the sides take turns; medians.
"""
import statistics
import sys
import time

import ogcweb
from owslib.etree import etree
from owslib.util import openURL
from owslib.wms import WebMapService


def ours_capabilities(url):
    with ogcweb.open(url) as service:
        return len([layer["name"] for layer in service.datasets[0].layers])


def owslib_capabilities(url):
    return len([name for name in WebMapService(url, version="1.3.0", timeout=120).contents])


def ours_features(url):
    with ogcweb.open(url, kind="wfs", timeout=120) as service:
        return sum(1 for _ in service.datasets[0].query())


def owslib_features(url):
    # OWSLib's own GetFeature goes through its capabilities reader, which
    # fails on a document without keywords; its HTTP layer and parser are
    # what the row compares.
    answer = openURL(url, {"SERVICE": "WFS", "VERSION": "1.0.0", "REQUEST": "GetFeature",
                           "TYPENAME": "bench:points"}, timeout=120).read()
    return len(etree.fromstring(answer))


def median_ms(work, url, rounds, results):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        results.append(work(url))
        times.append((time.perf_counter() - start) * 1000)
    return statistics.median(times)


def main():
    caps, wfs = sys.argv[1], sys.argv[2]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    rows = []
    for title, ours, peer, url in (
            ("list the layers of a 10,000-layer WMS 1.3.0 (open included)", ours_capabilities,
             owslib_capabilities, caps),
            ("100,000 WFS points: as Python feature dicts / OWSLib's download and parse", ours_features,
             owslib_features, wfs)):
        a, b, counts = [], [], []
        for _ in range(rounds):
            a.append(median_ms(ours, url, 1, counts))
            b.append(median_ms(peer, url, 1, counts))
        ms_ours, ms_peer = statistics.median(a), statistics.median(b)
        rows.append(f"| {title} | {ms_ours:.0f} | {ms_peer:.0f} | {ms_peer / ms_ours:.2f}x |")
        print(f"  {title}: ours {ms_ours:.0f} ms, OWSLib {ms_peer:.0f} ms ({sorted(set(counts))} items)",
              file=sys.stderr)
    print("| operation (median ms) | ogcweb module | OWSLib | speed-up |")
    print("|---|---:|---:|---:|")
    print("\n".join(rows))


if __name__ == "__main__":
    main()
