#!/usr/bin/env bash
# A screenshot of `ogcweb serve` showing a map, a feature, a coverage and a
# tile service at once, taken with Debian's chromium (puppeteer-core from
# tests/browser, installed into the build tree).
#
#   scripts/viewer-screenshot.sh BUILD OUTPUT.png WMS_URL OWS_URL WMTS_URL LOG
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1 output=$2 wms=$3 ows=$4 wmts=$5 log=$6
modules=$build/viewer-browser
mkdir -p "$modules"
cp tests/browser/package.json tests/browser/package-lock.json tests/browser/harness.js tests/browser/screenshot.js \
    "$modules/"
[ -d "$modules/node_modules/puppeteer-core" ] || npm ci --prefix "$modules" --no-audit --no-fund --loglevel=error

run=$(mktemp -d /tmp/ogcweb-viewer-shot.XXXXXX)
viewer_pid=
finish() {
    if [ -n "$viewer_pid" ]; then kill -INT "$viewer_pid" 2>/dev/null || true; wait "$viewer_pid" 2>/dev/null || true; fi
    rm -rf "$run"
}
trap finish EXIT
mkfifo "$run/out"
"$build/apps/ogcweb" serve "$wms" --service "wfs=$ows" --service "wcs=$ows" --service "wmts=$wmts" --port 0 \
    --cache "$run/tile-cache" --log "$log" > "$run/out" 2>"$run/err" &
viewer_pid=$!
read -r line < "$run/out"
page="http://127.0.0.1:${line##*127.0.0.1:}"
# The map service's water, roads and cities over the coverage and tiles.
curl -sf -o /dev/null -d service=0 -d dataset=0 -d layers=demo:cities,demo:roads,demo:rivers,demo:lakes \
    "$page/api/layers"
node "$modules/screenshot.js" "$page/?show=all" "$output"
echo "  $output: the viewer with the WMS, WFS, WCS and WMTS layers of the sample on one map"
