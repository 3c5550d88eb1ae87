#!/usr/bin/env bash
# A 1024x1024 view of Demoland from a warm tile cache: whole-process time of
# `ogcweb view` against `gdal_translate` of the same area through GDAL's WMTS
# driver with its own cache warm. The tiles come from MapProxy on loopback in
# front of the sample WMS; both clients fill their caches in a first run that
# is not counted. Prints the mean of each over RUNS runs and the ratio.
#
#   bench/wmts_view_vs_gdal.sh [BUILD_DIR]      (RUNS=10 by default)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${RUNS:-10}
ogcweb="$build/apps/ogcweb"
work=$(mktemp -d /tmp/ogcweb-bench-wmts.XXXXXX)
export OGC_DEMO_RUN_DIR=$work/run
proxy_pid=
cleanup() {
    [ -n "$proxy_pid" ] && kill "$proxy_pid" 2>/dev/null && wait "$proxy_pid" 2>/dev/null
    demo/server/stop.sh >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
demo/server/start.sh --port 0 >/dev/null
wms="http://127.0.0.1:$(cat "$work/run/front.port")/wms"
mkfifo "$work/proxy.out"
OGC_MAPPROXY_RUN_DIR=$work/proxy demo/mapproxy/serve.sh 0 "$wms" --quiet > "$work/proxy.out" &
proxy_pid=$!
read -r line < "$work/proxy.out"
tiles="http://127.0.0.1:${line##*127.0.0.1:}/service"
# Demoland in EPSG:3857 metres: minx, miny, maxx, maxy.
minx=556597.453966368 miny=5621521.48619207 maxx=1669792.36189910 maxy=7361866.11305118

ours() {
    "$ogcweb" view "$tiles" --layer basemap --bbox "$minx,$miny,$maxx,$maxy" --size 1024x1024 \
        -o "$work/ours.png" --cache "$work/cache" --no-progress
}
gdal() {
    GDAL_DEFAULT_WMS_CACHE_PATH="$work/gdal-cache" gdal_translate -q -of PNG -outsize 1024 1024 \
        -projwin "$minx" "$maxy" "$maxx" "$miny" \
        "WMTS:$tiles?SERVICE=WMTS&REQUEST=GetCapabilities,layer=basemap" "$work/gdal.png"
}
mean_ms() {
    local total=0 start end
    for _ in $(seq "$runs"); do
        start=$(date +%s%N)
        "$@" >/dev/null 2>&1
        end=$(date +%s%N)
        total=$((total + (end - start) / 1000000))
    done
    echo $((total / runs))
}
ours >/dev/null 2>&1; gdal >/dev/null 2>&1   # fill both caches
ours_ms=$(mean_ms ours)
gdal_ms=$(mean_ms gdal)
echo "machine: $(nproc) cores, $(uname -m); runs: $runs; warm caches"
echo "ogcweb view 1024x1024:      ${ours_ms} ms"
echo "gdal_translate WMTS driver: ${gdal_ms} ms"
awk -v a="$ours_ms" -v b="$gdal_ms" 'BEGIN { printf "ratio ours/GDAL: %.2f\n", a / b }'
