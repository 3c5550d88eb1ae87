#!/bin/sh
# Makes the rasters of the sample coverage service in demo/data/generated/:
#
#   elevation.tif  one Float32 band, metres above sea level
#   relief.tif     three Byte bands (RGB), the elevation coloured and shaded
#
# Both cover longitude 6..14 and latitude 46..54 (EPSG:4326); the elevation
# has 200 x 200 cells of 0.04 degrees, the relief 400 x 400 of 0.02. The
# surface is computed here (a few smooth hills and a valley), so that
# nothing is downloaded and a test can compare what the service returns
# with these files.
#
#   make-rasters.sh [--force] [DIR]
#
# Does nothing when both files exist (unless --force). Needs awk and
# gdal_translate/gdalbuildvrt (Debian package gdal-bin). Several runs at
# once are safe: each builds in a folder of its own and moves finished files
# into place, so a reader never sees half a file.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
force=no
if [ "${1:-}" = "--force" ]; then force=yes; shift; fi
out=${1:-$here/generated}

if [ $force = no ] && [ -s "$out/elevation.tif" ] && [ -s "$out/relief.tif" ]; then exit 0; fi
for tool in gdal_translate gdalbuildvrt; do
    if ! command -v $tool >/dev/null 2>&1; then
        echo "make-rasters.sh: $tool not found (Debian package gdal-bin)" >&2
        exit 1
    fi
done

mkdir -p "$out"
work=$(mktemp -d "$out/.work.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The surface, shared by both grids so that the relief shows the same hills.
surface='
function h(x, y,    v) {
    v = 250
    v += 1400 * exp(-((x - 11.2) ^ 2 + (y - 47.3) ^ 2) / 1.6)
    v += 900 * exp(-((x - 7.6) ^ 2 + (y - 48.6) ^ 2) / 0.9)
    v += 600 * exp(-((x - 12.4) ^ 2 + (y - 52.4) ^ 2) / 2.5)
    v -= 180 * exp(-((x - 9.5) ^ 2) / 0.08) * (1 - (y - 46) / 12)
    v += 40 * sin(3 * x) * cos(2.5 * y)
    return v
}'

# AAIGrid headers name the lower-left corner; rows run north to south.
awk -v n=200 -v step=0.04 "$surface"'
BEGIN {
    printf "ncols %d\nnrows %d\nxllcorner 6\nyllcorner 46\ncellsize %s\n", n, n, step
    for (r = 0; r < n; r++) {
        y = 54 - (r + 0.5) * step
        for (c = 0; c < n; c++) printf "%.2f%s", h(6 + (c + 0.5) * step, y), c < n - 1 ? " " : "\n"
    }
}' > "$work/elevation.asc"

# Colour by height (green lowlands, brown hills, white tops), shaded by a
# light from the north-west with the slopes exaggerated forty times.
awk -v n=400 -v step=0.02 -v dir="$work" "$surface"'
# Colour stops: height, red, green, blue; linear in between.
function ramp(v, i,    k) {
    for (k = 2; k < ns && v > sh[k]; k++);
    t = (v - sh[k - 1]) / (sh[k] - sh[k - 1])
    t = t < 0 ? 0 : t > 1 ? 1 : t
    return sc[k - 1, i] + t * (sc[k, i] - sc[k - 1, i])
}
function clamp(v) { v = int(v + 0.5); return v < 0 ? 0 : v > 255 ? 255 : v }
BEGIN {
    ns = split("0 70 140 60|350 120 170 80|700 215 200 120|1100 160 110 60|1500 240 240 240", stops, "|")
    for (k = 1; k <= ns; k++) {
        split(stops[k], s, " ")
        sh[k] = s[1]
        for (i = 1; i <= 3; i++) sc[k, i] = s[i + 1]
    }
    for (b = 1; b <= 3; b++)
        printf "ncols %d\nnrows %d\nxllcorner 6\nyllcorner 46\ncellsize %s\n", n, n, step > (dir "/band" b ".asc")
    # Heights on the cells and a ring around them, so that each slope is the
    # difference of two neighbours.
    for (r = -1; r <= n; r++)
        for (c = -1; c <= n; c++) z[r, c] = h(6 + (c + 0.5) * step, 54 - (r + 0.5) * step)
    f1 = dir "/band1.asc"; f2 = dir "/band2.asc"; f3 = dir "/band3.asc"
    for (r = 0; r < n; r++) {
        for (c = 0; c < n; c++) {
            v = z[r, c]
            # Slopes in metres per metre, a degree being about 111 km.
            dx = (z[r, c + 1] - z[r, c - 1]) / (2 * step * 111000 * 0.68)
            dy = (z[r - 1, c] - z[r + 1, c]) / (2 * step * 111000)
            shade = (1 + 40 * (dx - dy) / sqrt(2)) / sqrt(1 + 1600 * (dx * dx + dy * dy))
            shade = 0.45 + 0.55 * (shade < 0 ? 0 : shade > 1.3 ? 1.3 : shade)
            sep = c < n - 1 ? " " : "\n"
            printf "%d%s", clamp(ramp(v, 1) * shade), sep > f1
            printf "%d%s", clamp(ramp(v, 2) * shade), sep > f2
            printf "%d%s", clamp(ramp(v, 3) * shade), sep > f3
        }
    }
}'

quiet() { "$@" >/dev/null; }
quiet gdal_translate -of GTiff -ot Float32 -a_srs EPSG:4326 -co COMPRESS=DEFLATE \
    "$work/elevation.asc" "$work/elevation.tif"
quiet gdalbuildvrt -separate "$work/relief.vrt" "$work/band1.asc" "$work/band2.asc" "$work/band3.asc"
quiet gdal_translate -of GTiff -ot Byte -a_srs EPSG:4326 -co PHOTOMETRIC=RGB -co COMPRESS=DEFLATE \
    "$work/relief.vrt" "$work/relief.tif"

mv -f "$work/elevation.tif" "$out/elevation.tif"
mv -f "$work/relief.tif" "$out/relief.tif"
