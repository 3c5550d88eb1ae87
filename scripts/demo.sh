#!/usr/bin/env bash
# The demo: starts the bundled sample service on loopback, shows what the
# engine makes of its map, feature and coverage services with the ogcweb
# host program, writes the results to demo-out/ and stops the service again.
# Needs gdal-bin for checking the files written (gdalinfo, ogrinfo).
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
rm -rf "$out"/*

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

# Feature and coverage services answer at /ows (as does the map service).
ows="http://127.0.0.1:$port/ows"

echo
echo "== ogcweb info $ows --kind wfs"
"$ogcweb" info "$ows" --kind wfs --log "$out/ogcweb.log" | tee "$out/info-wfs.txt"

echo
echo "== ogcweb features: every city, the roads, the large cities"
"$ogcweb" features "$ows" --type Cities -o "$out/cities.geojson" --log "$out/ogcweb.log"
"$ogcweb" features "$ows" --type Roads -o "$out/roads.geojson" --log "$out/ogcweb.log"
"$ogcweb" features "$ows" --type Cities --where "population > 200000" -o "$out/large-cities.geojson" \
    --log "$out/ogcweb.log"
"$ogcweb" features "$ows" --type Cities --bbox 8,48,12,52 -o "$out/central-cities.geojson" --log "$out/ogcweb.log"
for file in cities roads large-cities central-cities; do
    ogrinfo -ro -so -al "$out/$file.geojson" | sed -n 's/^\(Geometry\|Feature Count\): /  '"$file"': \1: /p'
done

echo
echo "== ogcweb info $ows --kind wcs"
"$ogcweb" info "$ows" --kind wcs --log "$out/ogcweb.log" | tee "$out/info-wcs.txt"

echo
echo "== ogcweb coverage: the colour relief (3 x Byte) and the elevation (Float32)"
"$ogcweb" coverage "$ows" --dataset "Colour relief" --bbox 6,46,14,54 --size 400x400 -o "$out/relief.tif" \
    --log "$out/ogcweb.log"
"$ogcweb" coverage "$ows" --dataset demo:elevation --bbox 6,46,14,54 --size 200x200 -o "$out/elevation.tif" \
    --log "$out/ogcweb.log"
"$ogcweb" coverage "$ows" --dataset Elevation --bbox 9,47,12,49 --size 150x100 -o "$out/elevation-detail.tif" \
    --log "$out/ogcweb.log"
for file in relief elevation elevation-detail; do
    GDAL_PAM_ENABLED=NO gdalinfo -stats "$out/$file.tif" > "$out/$file.gdalinfo.txt"
    echo "  $file.tif: $(sed -n 's/^Size is \([0-9]*\), \([0-9]*\)/\1x\2/p' "$out/$file.gdalinfo.txt") pixels," \
        "$(grep -c '^Band ' "$out/$file.gdalinfo.txt") band(s) of" \
        "$(sed -n 's/^Band 1 .*Type=\([A-Za-z0-9]*\).*/\1/p' "$out/$file.gdalinfo.txt"), origin" \
        "$(sed -n 's/^Origin = //p' "$out/$file.gdalinfo.txt")," \
        "band 1 $(sed -n 's/^ *Minimum=\([^,]*\), Maximum=\([^,]*\),.*/\1..\2/p' "$out/$file.gdalinfo.txt" | head -n 1)"
done
# A picture of the relief to look at.
GDAL_PAM_ENABLED=NO gdal_translate -q -of PNG "$out/relief.tif" "$out/relief.png"

echo
echo "== ogcweb featureinfo: the pixel over Riverton (10.9, 49.1) in the whole region at 800x800"
# The front gives the engine's GetFeatureInfo the VERSION MapServer wants and
# asks for the text layout the engine reads (demo/README.md).
"$ogcweb" featureinfo "$url" --bbox 5,45,15,55 --size 800x800 --pixel 472,472 --log "$out/ogcweb.log" \
    | tee "$out/featureinfo.txt"

# --- The tile service: MapProxy cutting the sample WMS's maps into Web
# Mercator tiles. ogcweb downloads the tiles of Demoland into a fresh cache
# and composes a picture of them; with MapProxy stopped it composes the same
# picture from the cache alone.
tiles_run=$(mktemp -d /tmp/ogcweb-demo-tiles.XXXXXX)
tiles_pid=
stop_tiles() {
    if [ -n "$tiles_pid" ]; then kill "$tiles_pid" 2>/dev/null || true; wait "$tiles_pid" 2>/dev/null || true; fi
    tiles_pid=
}
trap 'stop_tiles; rm -rf "$tiles_run"; stop' EXIT
mkfifo "$tiles_run/out"
OGC_MAPPROXY_RUN_DIR=$tiles_run demo/mapproxy/serve.sh 0 "$url" --quiet > "$tiles_run/out" &
tiles_pid=$!
read -r tiles_line < "$tiles_run/out"
tiles_url="http://127.0.0.1:${tiles_line##*127.0.0.1:}/service"
tile_cache="$out/tile-cache"
rm -rf "$tile_cache"
# Demoland (longitude 5..15, latitude 45..55) in the layer's EPSG:3857 metres.
demoland=556597.453966368,5621521.48619207,1669792.36189910,7361866.11305118

echo
echo "== ogcweb info $tiles_url --kind wmts"
"$ogcweb" info "$tiles_url" --kind wmts --cache "$tile_cache" --log "$out/ogcweb.log" | tee "$out/info-wmts.txt"

echo
echo "== ogcweb view: Demoland from the tile service"
"$ogcweb" view "$tiles_url" --layer basemap --bbox "$demoland" --size 512x800 -o "$out/tiles-view.png" \
    --cache "$tile_cache" --log "$out/ogcweb.log"

echo
echo "== ogcweb serve: every kind on one map in the browser (demo-out/viewer.png)"
scripts/viewer-screenshot.sh "$build" "$out/viewer.png" "$url" "$ows" "$tiles_url" "$out/ogcweb.log"

stop_tiles
echo
echo "== ogcweb view: the same with the tile service stopped, from the cache"
"$ogcweb" view "$tiles_url" --layer basemap --bbox "$demoland" --size 512x800 -o "$out/tiles-view-offline.png" \
    --cache "$tile_cache" --log "$out/ogcweb.log"
cmp -s "$out/tiles-view.png" "$out/tiles-view-offline.png" && echo "  the two pictures are identical"

echo
echo "demo results in $out/:"
ls -l "$out"
