#!/usr/bin/env bash
# 100,000 WFS 1.0.0 points to GeoJSON, as a new user would try it: `ogcweb
# features` against `ogr2ogr` reading the same through GDAL's WFS driver,
# each a whole process. The server is the test bed's MapServer (100,000
# generated points, bench/mapserver/, behind the sample service's front), or
# with SERVER=replay the loopback server that replays one recorded answer
# (bench/wfs_bench_server.py). Prints the feature counts, the mean wall time,
# processor time (user + system, the client's alone) and peak memory of each
# over RUNS runs, and the ratios ours / GDAL.
#
#   bench/wfs_features_vs_ogr.sh [BUILD_DIR]      (RUNS=3, SERVER=mapserver)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${RUNS:-3}
server=${SERVER:-mapserver}
ogcweb="$build/apps/ogcweb"
python=/usr/bin/python3

command -v ogr2ogr >/dev/null || { echo "ogr2ogr not found (Debian package gdal-bin)" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time not found (Debian package time)" >&2; exit 2; }
[ -x "$ogcweb" ] || { echo "$ogcweb not found (build first)" >&2; exit 2; }

. bench/servers.sh
bench_init ogcweb-wfs-bench
case "$server" in
mapserver)
    [ -x /usr/lib/cgi-bin/mapserv ] || { echo "MapServer not found (Debian package cgi-mapserver)" >&2; exit 2; }
    "$python" bench/mapserver/make-points.py "$work"
    cp bench/mapserver/points.map "$work/"
    start_server front "$python" demo/server/ogc_front.py --mapfile "$work/points.map" --port 0 >"$work/port"
    url="http://127.0.0.1:$(cat "$work/port")/ows"
    type=points ;;
replay)
    start_server wfs "$python" bench/wfs_bench_server.py >"$work/port"
    url="http://127.0.0.1:$(cat "$work/port")/wfs"
    type=bench:points ;;
*) echo "SERVER must be mapserver or replay" >&2; exit 2 ;;
esac

# runs "$@" once under /usr/bin/time; appends "wall cpu kbytes" to $1
measure() {
    local out=$1; shift
    local rc=0
    /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" "$@" >>"$work/cmd.log" 2>&1 || rc=$?
    awk '{ printf "%.3f %.3f %d\n", $1, $2 + $3, $4 }' "$work/time.txt" >>"$out"
    return $rc
}

count_features() {  # number of features in a GeoJSON file
    [ -s "$1" ] || { echo 0; return; }
    ogrinfo -ro -so -al "$1" 2>/dev/null | sed -n 's/^Feature Count: //p' | head -n1
}

ours_rc=0 gdal_rc=0
for _ in $(seq "$runs"); do
    rm -f "$work/ours.geojson"
    measure "$work/ours.times" "$ogcweb" features "$url" --kind wfs --type Points \
        -o "$work/ours.geojson" --no-progress --timeout 120 --temp "$work" \
        --log "$work/ogcweb.log" || ours_rc=$?
    rm -f "$work/gdal.geojson"
    measure "$work/gdal.times" env GDAL_HTTP_TIMEOUT=120 GDAL_HTTP_MAX_RETRY=0 \
        CPL_VSIL_CURL_ALLOWED_EXTENSIONS=none GDAL_DISABLE_READDIR_ON_OPEN=EMPTY_DIR \
        OGR_WFS_PAGING_ALLOWED=OFF OGR_WFS_LOAD_MULTIPLE_LAYER_DEFN=NO \
        ogr2ogr -f GeoJSON "$work/gdal.geojson" "WFS:$url?" "$type" || gdal_rc=$?
done

ours_n=$(count_features "$work/ours.geojson")
gdal_n=$(count_features "$work/gdal.geojson")
stats() {  # mean wall seconds, mean processor seconds, max RSS (KB) of a times file
    awk '{ w += $1; c += $2; if ($3 > m) m = $3 } END { printf "%.3f %.3f %d\n", w / NR, c / NR, m }' "$1"
}
read -r ours_w ours_c ours_m < <(stats "$work/ours.times")
read -r gdal_w gdal_c gdal_m < <(stats "$work/gdal.times")

echo "machine: $(nproc) cores, $(uname -m); server: $server; runs: $runs; $(ogr2ogr --version)"
echo "features written: ogcweb $ours_n, ogr2ogr $gdal_n (the server has 100000)"
printf '%-20s %7.3f s wall  %7.3f s processor  max RSS %8d KB\n' "ogcweb features:" "$ours_w" "$ours_c" "$ours_m"
printf '%-20s %7.3f s wall  %7.3f s processor  max RSS %8d KB\n' "ogr2ogr:" "$gdal_w" "$gdal_c" "$gdal_m"
awk -v a="$ours_w" -v b="$gdal_w" -v c="$ours_c" -v d="$gdal_c" -v e="$ours_m" -v f="$gdal_m" \
    'BEGIN { printf "ratio ours/GDAL: wall %.2f, processor %.2f, memory %.2f\n", a / b, c / d, e / f }'
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
