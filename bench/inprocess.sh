#!/usr/bin/env bash
# The cost per call inside one process, as a platform pays it: bench_engine
# (the plug-in loaded with dlopen, a data source opened once) against
# bench_gdal (GDAL's library doing the same work), row by row. Prints the
# Markdown table that bench/report.sh puts into docs/performance.md.
#
#   bench/inprocess.sh [BUILD_DIR]          (build-bench)
#
# The loopback servers are bench/report.sh's; it passes their ports in
# REPLAY_PORT, WFS_PORT, TILES_PORT and SLOW_PORT, and without them this
# script starts its own. Each side runs every row ROUNDS times (3), in
# turns; a row's figure is the median of the rounds' medians.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
rounds=${ROUNDS:-3}
ours="$build/bench/bench_engine"
peer="$build/bench/bench_gdal"
for tool in "$ours" "$peer"; do [ -x "$tool" ] || { echo "$tool not found (build first)" >&2; exit 2; }; done

if [ -z "${REPLAY_PORT:-}" ]; then
    python=/usr/bin/python3
    . bench/servers.sh
    bench_init ogcweb-inprocess
    echo "starting the replay servers" >&2
    start_server replay "$python" bench/replay_server.py >"$work/replay.port"
    start_server wfs "$python" bench/wfs_bench_server.py >"$work/wfs.port"
    start_server tiles "$python" bench/tile_bench_server.py --latency-ms 0 >"$work/tiles.port"
    start_server slow "$python" bench/tile_bench_server.py --latency-ms 50 >"$work/slow.port"
    REPLAY_PORT=$(cat "$work/replay.port") WFS_PORT=$(cat "$work/wfs.port")
    TILES_PORT=$(cat "$work/tiles.port") SLOW_PORT=$(cat "$work/slow.port")
fi
local_url() { echo "http://127.0.0.1:$1"; }

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# "median_ms peak_kb" of one side over the rounds: each round is one
# process that repeats the row RUNS times and prints
# "ROW median min max peak runs".
declare -A result
measure() {
    local key=$1 row=$2 url=$3 runs=$4 side line
    local -a times_ours=() times_peer=() peak_ours=() peak_peer=()
    for _ in $(seq "$rounds"); do
        for side in ours peer; do
            local program=$ours
            [ "$side" = peer ] && program=$peer
            line=$(GDAL_HTTP_TIMEOUT=120 "$program" "$row" "$url" "$runs") ||
                { echo "$side $row failed" >&2; exit 1; }
            read -r _ median _ _ peak _ <<<"$line"
            if [ "$side" = ours ]; then times_ours+=("$median"); peak_ours+=("$peak"); else
                times_peer+=("$median"); peak_peer+=("$peak"); fi
        done
    done
    result[$key.ours]=$(printf '%s\n' "${times_ours[@]}" | median)
    result[$key.peer]=$(printf '%s\n' "${times_peer[@]}" | median)
    result[$key.ours_kb]=$(printf '%s\n' "${peak_ours[@]}" | median)
    result[$key.peer_kb]=$(printf '%s\n' "${peak_peer[@]}" | median)
    echo "  $key: ours ${result[$key.ours]} ms, GDAL ${result[$key.peer]} ms" >&2
}

echo "in-process rows" >&2
measure open open "$(local_url "$REPLAY_PORT")/big" 10
measure getmap getmap "$(local_url "$REPLAY_PORT")/map" 100
measure features features "$(local_url "$WFS_PORT")/wfs" 5
measure bounds bounds "$(local_url "$WFS_PORT")/wfs" 50
measure view view "$(local_url "$TILES_PORT")/wmts" 20
BENCH_CONNECTIONS=8 measure cold8 cold "$(local_url "$SLOW_PORT")/wmts" 5
# GDAL keeps 8 connections; only the engine's side changes.
BENCH_CONNECTIONS=16 measure cold16 cold "$(local_url "$SLOW_PORT")/wmts" 5

# | what | ours | GDAL | GDAL / ours | goal | peak memory ours / GDAL |
row() {
    local what=$1 key=$2 goal=$3
    awk -v what="$what" -v a="${result[$key.ours]}" -v b="${result[$key.peer]}" -v goal="$goal" \
        -v ma="${result[$key.ours_kb]}" -v mb="${result[$key.peer_kb]}" 'BEGIN {
        speed = b / a
        verdict = goal == "" ? "report" : (speed >= goal ? "met" : "not met")
        goaltext = goal == "" ? "-" : sprintf("%sx", goal)
        printf "| %s | %.2f | %.2f | %.2fx | %s, %s | %.0f / %.0f MB |\n",
            what, a, b, speed, goaltext, verdict, ma / 1024, mb / 1024 }'
}

echo "| operation (median ms per call) | ours | GDAL | speed-up | goal | peak memory ours / GDAL |"
echo "|---|---:|---:|---:|---|---:|"
row "open a 10,000-layer WMS 1.3.0 (negotiation, capabilities, datasets)" open 10
row "one 512 x 512 GetMap into an in-memory raster (100 windows)" getmap 1.5
row "100,000 WFS points into the recordset / a Memory layer" features 2
row "a bounds query answered from that download (25,000 points visited)" bounds 5
row "a 1024 x 1024 WMTS view from a warm cache, in memory" view 3
row "a 2048 x 2048 WMTS view into an empty cache at 50 ms a tile, 8 connections" cold8 ""
row "the same with 16 connections for the engine (GDAL with 8)" cold16 ""
