#!/usr/bin/env bash
# The demo: starts the bundled sample service on loopback, shows what the
# engine makes of it with the ogcweb host program, writes the results to
# demo-out/ and stops the service again.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
out=demo-out
ogcweb="$build/apps/ogcweb"
run_dir=$(mktemp -d /tmp/ogcweb-demo-run.XXXXXX)
export OGC_DEMO_RUN_DIR=$run_dir

stop() { demo/server/stop.sh >/dev/null 2>&1 || true; rm -rf "$run_dir"; }
trap stop EXIT

demo/server/start.sh --port 0
port=$(cat "$run_dir/front.port")
url="http://127.0.0.1:$port/wms"
mkdir -p "$out"
rm -f "$out"/*

echo
echo "== ogcweb info $url"
"$ogcweb" info "$url" --log "$out/ogcweb.log" | tee "$out/info.txt"

echo
echo "== ogcweb map: the whole region as PNG and GeoTIFF"
"$ogcweb" map "$url" --bbox 5,45,15,55 --size 800x800 -o "$out/map.png" --log "$out/ogcweb.log"
"$ogcweb" map "$url" --bbox 5,45,15,55 --size 800x800 -o "$out/map.tif" --log "$out/ogcweb.log"
echo
echo "== ogcweb map: water and roads only, cities in their plain style"
"$ogcweb" map "$url" --bbox 8,48,12,52 --size 600x600 --layers demo:lakes,demo:rivers,demo:roads,demo:cities \
    --style demo:cities=plain --transparent -o "$out/detail.png" --log "$out/ogcweb.log"

echo
echo "demo results in $out/:"
ls -l "$out"
