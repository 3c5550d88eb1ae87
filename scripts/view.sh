#!/usr/bin/env bash
# make view: the bundled sample service, MapProxy's tile service in front of
# it, and `ogcweb serve` showing all four kinds (WMS, WFS, WCS, WMTS) on one
# map. Prints the page's address; Ctrl-C stops everything again.
#
#   scripts/view.sh            (the viewer on port 8080, or $OGCWEB_VIEW_PORT)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
port=${OGCWEB_VIEW_PORT:-8080}
run_dir=$(mktemp -d /tmp/ogcweb-view.XXXXXX)
export OGC_DEMO_RUN_DIR=$run_dir/sample
tiles_pid=

stop() {
    if [ -n "$tiles_pid" ]; then kill "$tiles_pid" 2>/dev/null || true; wait "$tiles_pid" 2>/dev/null || true; fi
    demo/server/stop.sh >/dev/null 2>&1 || true
    rm -rf "$run_dir"
}
trap stop EXIT

demo/server/start.sh --port 0 >/dev/null
sample="http://127.0.0.1:$(cat "$OGC_DEMO_RUN_DIR/front.port")"
mkfifo "$run_dir/tiles.out"
OGC_MAPPROXY_RUN_DIR=$run_dir/tiles demo/mapproxy/serve.sh 0 "$sample/wms" --quiet > "$run_dir/tiles.out" &
tiles_pid=$!
read -r tiles_line < "$run_dir/tiles.out"
tiles="http://127.0.0.1:${tiles_line##*127.0.0.1:}/service"

echo "sample service at $sample, tile service at $tiles"
# The viewer runs in the foreground: its own Ctrl-C handling closes the
# services before the trap stops the servers.
"$build/apps/ogcweb" serve "$sample/wms" --service "wfs=$sample/ows" --service "wcs=$sample/ows" \
    --service "wmts=$tiles" --cache "$run_dir/tile-cache" --log "$run_dir/ogcweb.log" --port "$port" || true
