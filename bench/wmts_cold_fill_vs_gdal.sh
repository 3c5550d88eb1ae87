#!/usr/bin/env bash
# Whole-process wall time of filling an empty tile cache: a 2048x2048 view of
# a WMTS layer whose every tile answers after 50 ms (bench/tile_bench_server.py
# on loopback), through `ogcweb view` and through `gdal_translate` on GDAL's
# WMTS driver with 8 connections (GDAL_MAX_CONNECTIONS=8). Both start from an
# empty cache on every run and write the same GeoTIFF (DEFLATE, as ogcweb
# writes it), so that both do the same work besides the downloads. Prints mean times, the tiles
# each asked for, and the ratios ours/GDAL.
#
#   bench/wmts_cold_fill_vs_gdal.sh [BUILD_DIR]
#   (RUNS=5, LATENCY_MS=50, OURS_CONNECTIONS="8 16" by default)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${RUNS:-5}
latency=${LATENCY_MS:-50}
connections=${OURS_CONNECTIONS:-8 16}
ogcweb="$build/apps/ogcweb"
[ -x "$ogcweb" ] || { echo "$ogcweb not found (build first)" >&2; exit 2; }
command -v gdal_translate >/dev/null || { echo "gdal_translate not found" >&2; exit 2; }

. bench/servers.sh
bench_init ogcweb-bench-coldfill
# A subshell's exit in $(...) would not stop the script: start first, then read.
start_server tiles python3 bench/tile_bench_server.py --latency-ms "$latency" >"$work/port"
port=$(cat "$work/port")
service="http://127.0.0.1:$port/wmts"

# Level 7 (1222.99 m per pixel): 2048 pixels span a little over eight tiles
# on each side, so some 80 tiles are downloaded.
size=2048
minx=556597.45 miny=5621521.49
maxx=$(awk -v a="$minx" -v s="$size" 'BEGIN { printf "%.2f", a + s * 1222.99245256282 }')
maxy=$(awk -v a="$miny" -v s="$size" 'BEGIN { printf "%.2f", a + s * 1222.99245256282 }')

tiles_so_far() { curl -s "http://127.0.0.1:$port/stats" | awk '{ print $2 }'; }

ours() {  # $1 connections
    rm -rf "$work/cache"
    "$ogcweb" view "$service" --layer bench --bbox "$minx,$miny,$maxx,$maxy" --size "${size}x${size}" \
        -o "$work/ours.tif" --cache "$work/cache" --connections "$1" --no-progress --log "$work/ogcweb.log"
}
gdal() {
    rm -rf "$work/gdal-cache"
    GDAL_DEFAULT_WMS_CACHE_PATH="$work/gdal-cache" GDAL_MAX_CONNECTIONS=8 GDAL_HTTP_MAX_RETRY=0 \
        gdal_translate -q -of GTiff -co COMPRESS=DEFLATE -outsize "$size" "$size" -projwin "$minx" "$maxy" "$maxx" "$miny" \
        "WMTS:$service?SERVICE=WMTS&REQUEST=GetCapabilities,layer=bench" "$work/gdal.tif"
}
# mean wall milliseconds of RUNS runs of "$@", and the tiles asked per run
measure() {
    local total=0 start end before after
    before=$(tiles_so_far)
    for _ in $(seq "$runs"); do
        start=$(date +%s%N)
        "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
        end=$(date +%s%N)
        total=$((total + (end - start) / 1000000))
    done
    after=$(tiles_so_far)
    echo "$((total / runs)) $(((after - before) / runs))"
}

echo "machine: $(nproc) cores, $(uname -m); runs: $runs; tile latency ${latency} ms; view ${size}x${size}, cold cache"
read -r gdal_ms gdal_tiles < <(measure gdal)
echo "gdal_translate WMTS, 8 connections:  ${gdal_ms} ms  (${gdal_tiles} tiles)"
for n in $connections; do
    read -r ours_ms ours_tiles < <(measure ours "$n")
    echo "ogcweb view, $n connections:        ${ours_ms} ms  (${ours_tiles} tiles)  ratio ours/GDAL: $(awk -v a="$ours_ms" -v b="$gdal_ms" 'BEGIN { printf "%.2f", a / b }')"
done
