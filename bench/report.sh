#!/usr/bin/env bash
# Measures the engine against its peers on loopback servers that replay
# prepared answers, and writes the comparison to docs/performance.md:
#
#   capabilities  a 10,000-layer WMS 1.3.0 document: ogcweb info, gdalinfo on
#                 GDAL's WMS driver, OWSLib listing the layers
#   features      100,000 WFS points to GeoJSON: ogcweb features, ogr2ogr
#                 (wall time and peak memory)
#   maps          100 GetMap requests of 512 x 512, decoded: the engine,
#                 GDAL's WMS driver (bench_getmap, the request loop only)
#   tiles warm    a 1024 x 1024 WMTS view from a warm cache to PNG: ogcweb
#                 view, gdal_translate on GDAL's WMTS driver
#   tiles cold    a 2048 x 2048 view into an empty cache, every tile answered
#                 after 50 ms, to a DEFLATE GeoTIFF: ogcweb view with 8 and
#                 with 16 connections, gdal_translate with 8
#   live server   100,000 points from the test bed's MapServer to GeoJSON,
#                 processor time of each client (bench/wfs_features_vs_ogr.sh)
#
# Then the same servers answer the in-process rows (bench/inprocess.sh).
#
# Every measurement runs RUNS times (5) for both sides in the same run; the
# table gives medians and ratios ours / peer (below 1: the engine is faster).
#
#   bench/report.sh [BUILD_DIR] [OUTPUT]     (build-bench, docs/performance.md)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
output=${2:-docs/performance.md}
runs=${RUNS:-5}
ogcweb="$build/apps/ogcweb"
getmap="$build/bench/bench_getmap"
for tool in "$ogcweb" "$getmap" "$build/bench/bench_engine" "$build/bench/bench_gdal"; do [ -x "$tool" ] || { echo "$tool not found (build first)" >&2; exit 2; }; done
for tool in gdalinfo gdal_translate ogr2ogr /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "$tool not found" >&2; exit 2; }
done
# Debian's Python, which has Debian's OWSLib (another python3 may come first
# in PATH).
python=/usr/bin/python3
[ -x "$python" ] || python=python3
"$python" -c "import owslib" 2>/dev/null || { echo "OWSLib not found (Debian package python3-owslib)" >&2; exit 2; }

. bench/servers.sh
bench_init ogcweb-report

# wall milliseconds of one run of "$@" (output discarded; a failure stops)
wall_ms() {
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null 2>>"$work/errors.log" || { echo "failed: $*" >&2; tail -5 "$work/errors.log" >&2; exit 1; }
    end=$(date +%s%N)
    echo $(((end - start) / 1000000))
}
median() { tr ' ' '\n' | grep -v '^$' | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
# RUNS runs of "$@" alternating with nothing else; prints the median ms
median_ms() {
    local all=""
    for _ in $(seq "$runs"); do all="$all $(wall_ms "$@")"; done
    echo "$all" | median
}

rows=()
row() { rows+=("| $1 | $2 | $3 | $4 | $5 |"); echo "  $1: ours $2, $3 $4, ratio $5" >&2; }

echo "starting the replay servers" >&2
# Started here rather than in $(...), where a failure would not stop the script.
start_server replay "$python" bench/replay_server.py >"$work/replay.port"
start_server wfs "$python" bench/wfs_bench_server.py >"$work/wfs.port"
start_server tiles "$python" bench/tile_bench_server.py --latency-ms 0 >"$work/tiles.port"
start_server slow "$python" bench/tile_bench_server.py --latency-ms 50 >"$work/slow.port"
replay=$(cat "$work/replay.port") wfs=$(cat "$work/wfs.port") tiles=$(cat "$work/tiles.port") slow=$(cat "$work/slow.port")

# --- capabilities
big="http://127.0.0.1:$replay/big"
ours_caps() { "$ogcweb" info "$big" --kind wms --no-progress --temp "$work" --log "$work/ogcweb.log"; }
gdal_caps() { GDAL_HTTP_MAX_RETRY=0 gdalinfo "WMS:$big?SERVICE=WMS&VERSION=1.3.0&REQUEST=GetCapabilities"; }
owslib_caps() {
    "$python" - "$big" <<'PY'
import sys
from owslib.wms import WebMapService
service = WebMapService(sys.argv[1], version="1.3.0", timeout=120)
print(len([name for name in service.contents]))
PY
}
echo "capabilities" >&2
ours=$(median_ms ours_caps); gdal=$(median_ms gdal_caps); owslib=$(median_ms owslib_caps)
row "capabilities, 10,000 layers (ms)" "$ours" "gdalinfo" "$gdal" "$(ratio "$ours" "$gdal")"
row "capabilities, 10,000 layers (ms)" "$ours" "OWSLib" "$owslib" "$(ratio "$ours" "$owslib")"

# --- features: time and peak memory
points="http://127.0.0.1:$wfs/wfs"
# "ms kb" of one run under /usr/bin/time
timed() {
    /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" >/dev/null 2>>"$work/errors.log" ||
        { echo "failed: $*" >&2; tail -5 "$work/errors.log" >&2; exit 1; }
    awk '{ printf "%d %d\n", $1 * 1000, $2 }' "$work/time.txt"
}
echo "features" >&2
ours_t="" ours_m="" gdal_t="" gdal_m=""
for _ in $(seq "$runs"); do
    rm -f "$work/ours.geojson" "$work/gdal.geojson"
    read -r t m < <(timed "$ogcweb" features "$points" --kind wfs --type Points -o "$work/ours.geojson" \
        --no-progress --timeout 120 --temp "$work" --log "$work/ogcweb.log")
    ours_t="$ours_t $t"; ours_m="$ours_m $m"
    read -r t m < <(timed env GDAL_HTTP_TIMEOUT=120 GDAL_HTTP_MAX_RETRY=0 CPL_VSIL_CURL_ALLOWED_EXTENSIONS=none \
        GDAL_DISABLE_READDIR_ON_OPEN=EMPTY_DIR OGR_WFS_PAGING_ALLOWED=OFF OGR_WFS_LOAD_MULTIPLE_LAYER_DEFN=NO \
        ogr2ogr -f GeoJSON "$work/gdal.geojson" "WFS:$points?" bench:points)
    gdal_t="$gdal_t $t"; gdal_m="$gdal_m $m"
done
ours=$(echo "$ours_t" | median); gdal=$(echo "$gdal_t" | median)
row "features, 100,000 points to GeoJSON (ms)" "$ours" "ogr2ogr" "$gdal" "$(ratio "$ours" "$gdal")"
ours=$(echo "$ours_m" | median); gdal=$(echo "$gdal_m" | median)
row "features, peak memory (KB)" "$ours" "ogr2ogr" "$gdal" "$(ratio "$ours" "$gdal")"

# --- maps: the loop's own time, as the program reports it
mapservice="http://127.0.0.1:$replay/map"
loop_ms() { "$getmap" "$1" "$mapservice" 100; }
echo "maps" >&2
ours_all="" gdal_all=""
for _ in $(seq "$runs"); do
    ours_all="$ours_all $(loop_ms ours)"
    gdal_all="$gdal_all $(loop_ms gdal)"
done
ours=$(echo "$ours_all" | median); gdal=$(echo "$gdal_all" | median)
row "maps, 100 GetMap of 512 x 512 (ms)" "$ours" "GDAL WMS" "$gdal" "$(ratio "$ours" "$gdal")"

# --- tiles from a warm cache
view_box="556597.453966368,5621521.48619207,1669792.36189910,7361866.11305118"
ours_view() {
    "$ogcweb" view "http://127.0.0.1:$tiles/wmts" --layer bench --bbox "$view_box" --size 1024x1024 \
        -o "$work/ours.png" --cache "$work/warm" --no-progress --log "$work/ogcweb.log"
}
gdal_view() {
    GDAL_DEFAULT_WMS_CACHE_PATH="$work/gdal-warm" gdal_translate -q -of PNG -outsize 1024 1024 \
        -projwin 556597.453966368 7361866.11305118 1669792.36189910 5621521.48619207 \
        "WMTS:http://127.0.0.1:$tiles/wmts?SERVICE=WMTS&REQUEST=GetCapabilities,layer=bench" "$work/gdal.png"
}
echo "tiles, warm" >&2
wall_ms ours_view >/dev/null; wall_ms gdal_view >/dev/null   # fill both caches
ours=$(median_ms ours_view); gdal=$(median_ms gdal_view)
row "tiles, 1024 x 1024 view, warm cache (ms)" "$ours" "gdal_translate" "$gdal" "$(ratio "$ours" "$gdal")"

# --- tiles into an empty cache, 50 ms per tile
cold_box() { awk 'BEGIN { x = 556597.45; y = 5621521.49; s = 2048 * 1222.99245256282
                          printf "%.2f %.2f %.2f %.2f\n", x, y, x + s, y + s }'; }
read -r minx miny maxx maxy < <(cold_box)
ours_cold() {
    rm -rf "$work/cold"
    "$ogcweb" view "http://127.0.0.1:$slow/wmts" --layer bench --bbox "$minx,$miny,$maxx,$maxy" --size 2048x2048 \
        -o "$work/cold.tif" --cache "$work/cold" --connections "$1" --no-progress --log "$work/ogcweb.log"
}
gdal_cold() {
    rm -rf "$work/gdal-cold"
    GDAL_DEFAULT_WMS_CACHE_PATH="$work/gdal-cold" GDAL_MAX_CONNECTIONS=8 GDAL_HTTP_MAX_RETRY=0 \
        gdal_translate -q -of GTiff -co COMPRESS=DEFLATE -outsize 2048 2048 -projwin "$minx" "$maxy" "$maxx" "$miny" \
        "WMTS:http://127.0.0.1:$slow/wmts?SERVICE=WMTS&REQUEST=GetCapabilities,layer=bench" "$work/gdal-cold.tif"
}
echo "tiles, cold" >&2
gdal=$(median_ms gdal_cold); ours8=$(median_ms ours_cold 8); ours16=$(median_ms ours_cold 16)
row "tiles, 2048 x 2048 cold fill at 50 ms a tile, 8 connections (ms)" "$ours8" "gdal_translate, 8" "$gdal" \
    "$(ratio "$ours8" "$gdal")"
row "tiles, the same with 16 connections (ms)" "$ours16" "gdal_translate, 8" "$gdal" "$(ratio "$ours16" "$gdal")"

# --- the live-server check: 100,000 points from the test bed's MapServer,
# the clients' processor time (the server's own work is the same for both)
echo "features from MapServer" >&2
live=$(RUNS=$runs bench/wfs_features_vs_ogr.sh "$build")
ours=$(echo "$live" | awk '/^ogcweb features:/ { printf "%d", $6 * 1000 }')
gdal=$(echo "$live" | awk '/^ogr2ogr:/ { printf "%d", $5 * 1000 }')
row "features, 100,000 points from MapServer to GeoJSON, processor time (ms, mean)" "$ours" "ogr2ogr" "$gdal" \
    "$(ratio "$ours" "$gdal")"

# --- the cost per call inside one process, on the same servers
inprocess=$(REPLAY_PORT=$replay WFS_PORT=$wfs TILES_PORT=$tiles SLOW_PORT=$slow bench/inprocess.sh "$build")

# --- the Python module against OWSLib, in the same Python
echo "python module against OWSLib" >&2
frompython=$(PYTHONPATH="$build/python" "$python" bench/python_vs_owslib.py "$big" "$points" "$runs")

mkdir -p "$(dirname "$output")"
{
    echo "# Performance against peers"
    echo
    echo "Written by \`make bench\` (bench/report.sh) on $(date -u '+%Y-%m-%d'); $(nproc) cores, $(uname -m);"
    echo "$(gdal-config --version 2>/dev/null | sed 's/^/GDAL /'), OWSLib $("$python" -c 'import owslib; print(owslib.__version__)')."
    echo "Medians of $runs runs per side, each side measured in the same run against the same"
    echo "loopback servers, which replay prepared answers. Ratio = ours / peer: below 1 the engine"
    echo "is faster (or smaller)."
    echo
    echo "## Whole processes"
    echo
    echo "| measurement | ours | peer | peer's | ratio |"
    echo "|---|---:|---|---:|---:|"
    printf '%s\n' "${rows[@]}"
    echo
    echo "## Per call inside one process"
    echo
    echo "\`bench_engine\` loads the plug-in with dlopen, opens the data source once and repeats one"
    echo "operation; \`bench_gdal\` does the same work through GDAL's library (its WMS, WFS and WMTS"
    echo "drivers, a Memory layer for the features). Medians of three rounds of each side in turns;"
    echo "speed-up = GDAL's time / ours."
    echo
    echo "$inprocess"
    echo
    echo "## From Python"
    echo
    echo "The \`ogcweb\` module (python/) against OWSLib, both in Debian's Python, each round opening"
    echo "the service afresh, the sides in turns; medians. Goals: 10x on capabilities; features as"
    echo "Python objects at least as fast as OWSLib's download and parse of the same GML."
    echo
    echo "$frompython"
    echo
    cat bench/performance-notes.md
} >"$output"
echo "wrote $output" >&2
