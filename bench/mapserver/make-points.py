#!/usr/bin/python3
"""Writes the feature test bed's points into FOLDER: points.csv (id, name,
value, x, y) and points.vrt, which lets MapServer read it through OGR as a
point layer. The same generator and seed as bench/wfs_bench_server.py, so
both servers hold the same points.

    make-points.py FOLDER [N]
"""
import os
import random
import sys


def main():
    folder = sys.argv[1]
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 100000
    rnd = random.Random(42)
    with open(os.path.join(folder, "points.csv"), "w", encoding="utf-8") as out:
        out.write("id,name,value,x,y\n")
        for i in range(1, n + 1):
            x = rnd.uniform(0, 10)
            y = rnd.uniform(40, 50)
            out.write("%d,point %d,%.3f,%.6f,%.6f\n" % (i, i, rnd.uniform(0, 1000), x, y))
    with open(os.path.join(folder, "points.vrt"), "w", encoding="utf-8") as out:
        out.write('<OGRVRTDataSource><OGRVRTLayer name="points">'
                  '<SrcDataSource>points.csv</SrcDataSource><SrcLayer>points</SrcLayer>'
                  '<GeometryType>wkbPoint</GeometryType><LayerSRS>EPSG:4326</LayerSRS>'
                  '<GeometryField encoding="PointFromColumns" x="x" y="y"/>'
                  '<Field name="id" type="Integer"/><Field name="name" type="String"/>'
                  '<Field name="value" type="Real"/>'
                  '</OGRVRTLayer></OGRVRTDataSource>\n')


if __name__ == "__main__":
    main()
