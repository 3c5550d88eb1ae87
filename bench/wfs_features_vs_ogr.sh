#!/usr/bin/env bash
# Whole-process wall time and peak memory of downloading one WFS 1.0.0 feature
# type of 100,000 points from a loopback server (bench/wfs_bench_server.py):
# `ogcweb features` against `ogr2ogr` reading it through GDAL's WFS driver.
# Both write GeoJSON. Prints feature counts, mean wall time and max RSS of each
# over RUNS runs and the ratios ours/GDAL.
#
#   bench/wfs_features_vs_ogr.sh [BUILD_DIR]      (RUNS=3 by default)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${RUNS:-3}
ogcweb="$build/apps/ogcweb"
python=/usr/bin/python3

if [ ! -x /usr/bin/time ]; then
    echo "installing /usr/bin/time" >&2
    apt-get install -y time >/dev/null 2>&1 || { apt-get update >/dev/null 2>&1 && apt-get install -y time >/dev/null 2>&1; }
fi
command -v ogr2ogr >/dev/null || { echo "ogr2ogr not found" >&2; exit 2; }
[ -x "$ogcweb" ] || { echo "$ogcweb not found (build first)" >&2; exit 2; }

. bench/servers.sh
bench_init ogcweb-wfs-bench
start_server wfs "$python" bench/wfs_bench_server.py >"$work/port"
port=$(cat "$work/port")
url="http://127.0.0.1:$port/wfs"

# runs "$@" once under /usr/bin/time -v; appends "seconds kbytes" to $1's file
measure() {
    local out=$1; shift
    local rc=0
    /usr/bin/time -v -o "$work/time.txt" "$@" >>"$work/cmd.log" 2>&1 || rc=$?
    awk -F': ' '
        /Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = 0
            for (i = 1; i <= n; i++) s = s * 60 + t[i]; secs = s }
        /Maximum resident set size/ { rss = $2 }
        END { printf "%.3f %d\n", secs, rss }' "$work/time.txt" >>"$out"
    return $rc
}

count_features() {  # number of features in a GeoJSON file
    [ -s "$1" ] || { echo 0; return; }
    if command -v ogrinfo >/dev/null; then
        ogrinfo -ro -so -al "$1" 2>/dev/null | sed -n 's/^Feature Count: //p' | head -n1
    else
        grep -o '"type": *"Feature"' "$1" | wc -l
    fi
}

ours_rc=0 gdal_rc=0
for i in $(seq "$runs"); do
    rm -f "$work/ours.geojson"
    measure "$work/ours.times" "$ogcweb" features "$url" --kind wfs --type Points \
        -o "$work/ours.geojson" --no-progress --timeout 120 --temp "$work" \
        --log "$work/ogcweb.log" || ours_rc=$?
    rm -f "$work/gdal.geojson"
    measure "$work/gdal.times" env GDAL_HTTP_TIMEOUT=120 GDAL_HTTP_MAX_RETRY=0 \
        CPL_VSIL_CURL_ALLOWED_EXTENSIONS=none GDAL_DISABLE_READDIR_ON_OPEN=EMPTY_DIR \
        OGR_WFS_PAGING_ALLOWED=OFF OGR_WFS_LOAD_MULTIPLE_LAYER_DEFN=NO \
        ogr2ogr -f GeoJSON "$work/gdal.geojson" "WFS:$url?" bench:points || gdal_rc=$?
done

ours_n=$(count_features "$work/ours.geojson")
gdal_n=$(count_features "$work/gdal.geojson")
stats() {  # mean seconds and max RSS (KB) of a times file
    awk '{ s += $1; if ($2 > m) m = $2 } END { printf "%.3f %d\n", s / NR, m }' "$1"
}
read -r ours_t ours_m < <(stats "$work/ours.times")
read -r gdal_t gdal_m < <(stats "$work/gdal.times")

echo "machine: $(nproc) cores, $(uname -m); runs: $runs; $(ogr2ogr --version)"
echo "features written: ogcweb $ours_n, ogr2ogr $gdal_n (server has 100000)"
printf '%-28s %8.3f s  max RSS %8d KB\n' "ogcweb features:" "$ours_t" "$ours_m"
printf '%-28s %8.3f s  max RSS %8d KB\n' "ogr2ogr WFS driver:" "$gdal_t" "$gdal_m"
awk -v a="$ours_t" -v b="$gdal_t" -v c="$ours_m" -v d="$gdal_m" \
    'BEGIN { printf "ratio ours/GDAL: time %.2f, memory %.2f\n", a / b, c / d }'
status=0
if [ "$ours_rc" -ne 0 ] || [ "$ours_n" != 100000 ]; then
    echo "WARNING: ogcweb exit status $ours_rc, $ours_n features; end of its log:" >&2
    tail -n 20 "$work/ogcweb.log" >&2 2>/dev/null || true
    status=1
fi
if [ "$gdal_rc" -ne 0 ] || [ "$gdal_n" != 100000 ]; then
    echo "WARNING: ogr2ogr exit status $gdal_rc, $gdal_n features; its output:" >&2
    tail -n 20 "$work/cmd.log" >&2
    status=1
fi
exit $status
