#!/usr/bin/env bash
# Whole-process time of one 1024x1024 map from the sample WMS on loopback:
# `ogcweb map` against `gdal_translate` reading the same GetMap through GDAL's
# WMS driver. Prints the mean of each over RUNS runs and the ratio ours/GDAL.
#
#   bench/wms_map_vs_gdal.sh [BUILD_DIR]      (RUNS=10 by default)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${RUNS:-10}
ogcweb="$build/apps/ogcweb"
work=$(mktemp -d /tmp/ogcweb-bench.XXXXXX)
export OGC_DEMO_RUN_DIR=$work/run
trap 'demo/server/stop.sh >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
demo/server/start.sh --port 0 >/dev/null
port=$(cat "$work/run/front.port")
url="http://127.0.0.1:$port/wms"
layers="demo:landuse,demo:lakes,demo:rivers,demo:roads,demo:cities"
getmap="$url?SERVICE=WMS&VERSION=1.1.1&REQUEST=GetMap&LAYERS=$layers&SRS=EPSG:4326&BBOX=5,45,15,55&FORMAT=image/png"

mean_ms() {  # runs a command $runs times, prints the mean wall time in ms
    local total=0 start end
    for _ in $(seq "$runs"); do
        start=$(date +%s%N)
        "$@" >/dev/null 2>&1
        end=$(date +%s%N)
        total=$((total + (end - start) / 1000000))
    done
    echo $((total / runs))
}

ours=$(mean_ms "$ogcweb" map "$url" --bbox 5,45,15,55 --size 1024x1024 -o "$work/ours.png" --no-progress)
gdal=$(mean_ms env GDAL_HTTP_TIMEOUT=30 CPL_VSIL_CURL_ALLOWED_EXTENSIONS=none gdal_translate -q -of PNG \
    -outsize 1024 1024 "WMS:$getmap" "$work/gdal.png")
echo "machine: $(nproc) cores, $(uname -m); runs: $runs"
echo "ogcweb map 1024x1024:      ${ours} ms"
echo "gdal_translate WMS driver: ${gdal} ms"
awk -v a="$ours" -v b="$gdal" 'BEGIN { printf "ratio ours/GDAL: %.2f\n", a / b }'
